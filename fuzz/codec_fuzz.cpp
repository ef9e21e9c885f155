// Feeds arbitrary bytes to the codecs and the envelope writer: nothing may crash, a
// successful decoding must encode back to the same text, and every answer to the host
// must be JSON that carries the (repaired) message.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "common/envelope.hpp"
#include "common/utf8.hpp"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  if (auto b58 = velno::base58_decode(text, text.size()); b58.ok()) {
    check(b58->has_value() && velno::base58_encode(**b58) == text);
    // A bound from the input: the bytes when they fit it, else none.
    const std::size_t bound = size == 0 ? 0 : data[0] % 80;
    auto bounded = velno::base58_decode(text, bound);
    check(bounded.ok() && bounded->has_value() == ((*b58)->size() <= bound));
    if (bounded->has_value()) check(**bounded == **b58);
  } else {
    check(!b58.error().text().empty());
    check(!velno::base58_decode(text, 0).ok());
  }

  if (auto b64 = velno::base64_decode(text); b64.ok()) {
    check(velno::base64_encode(*b64) == text);
  } else {
    check(!b64.error().message.empty());
  }

  std::string repaired;
  velno::append_utf8_repaired(repaired, text);
  const bool valid = !velno::check_utf8(text).has_value();
  check(valid == (repaired == text));
  check(!velno::check_utf8(repaired).has_value());

  char* answer = velno::error_to_host_json(velno::DidErrorKind::JsonProcessing, std::string(text));
  check(answer != nullptr);
  const std::string envelope(answer);
  std::free(answer);
  const auto parsed = nlohmann::json::parse(envelope, nullptr, /*allow_exceptions=*/false);
  check(!parsed.is_discarded());
  check(parsed.is_object() && parsed.size() == 2);
  check(parsed.value("code", std::string()) == "JsonProcessing");
  const auto value = parsed.find("value");
  check(value != parsed.end() && value->is_string() && value->get_ref<const std::string&>() == repaired);
  return 0;
}
