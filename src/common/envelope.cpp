#include "common/envelope.hpp"

#include "common/host_text.hpp"
#include "common/json_writer.hpp"

namespace velno {

namespace {

constexpr std::string_view kOkPrefix = R"({"code":"OK","value":)";

}  // namespace

std::string envelope_ok_text() { return R"({"code":"OK"})"; }

std::string envelope_ok_with(const std::string& value_json) {
  std::string out;
  out.reserve(kOkPrefix.size() + value_json.size() + 1);
  out.append(kOkPrefix);
  out.append(value_json);
  out.push_back('}');
  return out;
}

std::string envelope_failure(const DidError& error) {
  std::string out;
  out.reserve(error.raw_message().size() + 48);
  JsonWriter w(out);
  w.raw('{');
  w.key("code");
  w.string(kind_name(error.kind()));
  w.raw(',');
  w.key("value");
  w.string(error.raw_message());
  w.raw('}');
  return out;
}

char* envelope_to_host(const std::string& envelope) { return string_to_host_text(envelope); }

char* prepared_ok_answer() noexcept { return host_text_or_null(R"({"code":"OK"})"); }

char* error_to_host_json(DidErrorKind kind, std::string message) {
  return result_to_host_json(DidResult<void>(DidError::with_message(kind, std::move(message))));
}

char* static_error_to_host_json(DidErrorKind kind, const char* message) {
  return result_to_host_json(DidResult<void>(DidError::with_static_message(kind, message)));
}

std::string payload_json(bool v) { return v ? "true" : "false"; }

std::string payload_json(const std::string& text) {
  std::string out;
  append_json_string(out, text);
  return out;
}

std::string payload_json(const nlohmann::json& tree) {
  JsonWriter w;
  w.value(tree);
  return w.take();
}

std::string payload_json(const DidResultCodeDescription& d) {
  JsonWriter w;
  w.raw('{');
  w.key("code");
  w.string(d.code);
  w.raw(',');
  w.key("description");
  w.string(d.description);
  w.raw('}');
  return w.take();
}

std::string payload_json(const DidResult<std::string>& value_or_error) {
  JsonWriter w;
  w.raw('{');
  if (value_or_error.ok()) {
    w.key("Ok");
    w.string(value_or_error.value());
  } else {
    const DidError& e = value_or_error.error();
    w.key("Err");
    w.raw('{');
    w.key("code");
    w.string(kind_name(e.kind()));
    w.raw(',');
    w.key("msg");
    w.string(e.raw_message());
    w.raw('}');
  }
  w.raw('}');
  return w.take();
}

std::string fetched_data_envelope(const DidResult<DidResult<std::string>>& outcome) {
  if (!outcome.ok() || !outcome.value().ok()) return serialize_envelope(outcome);
  const std::string& text = outcome.value().value();
  constexpr std::string_view kOk = R"({"Ok":)";
  std::string out;
  // No byte takes more than six (an escaped control byte), so the buffer never grows.
  out.reserve(kOkPrefix.size() + kOk.size() + text.size() * 6 + 4);
  JsonWriter w(out);
  w.raw(kOkPrefix);
  w.raw(kOk);
  w.string(text);
  w.raw("}}");
  return out;
}

}  // namespace velno
