// The result envelope every export answers, written into a text the host owns.
//
//   success: {"code":"OK"} or {"code":"OK","value":<payload>}
//   failure: {"code":"<kind name>","value":"<raw_message>"}
#pragma once

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/did_error.hpp"

namespace velno {

// Payload types become the envelope's "value" through `payload_json` (overloads below,
// and further ones beside the types of other layers, found by argument lookup).
// DidResult<void> and a null value tree write no "value" member.
struct NoPayload {};

// Writes the whole envelope of `result` into a new string.
template <class T>
std::string serialize_envelope(const DidResult<T>& result);

// The three ways an export turns its outcome into its answer.
template <class T>
char* result_to_host_json(DidResult<T>&& result);
char* error_to_host_json(DidErrorKind kind, std::string message);
char* static_error_to_host_json(DidErrorKind kind, const char* message);

// A task's success answer {"code":"OK"}, made before the task commits its work; null
// without memory for it.
char* prepared_ok_answer() noexcept;
// Releases an answer that is not handed to the host after all.
struct FreeHostText {
  void operator()(char* text) const noexcept { std::free(text); }
};
// The message of General when not even an answer could be made.
inline constexpr const char* kOutOfMemoryMessage = "Out of memory";

// Building blocks used by the templates above.
std::string envelope_ok_text();                                  // {"code":"OK"}
std::string envelope_ok_with(const std::string& value_json);     // {"code":"OK","value":<value_json>}
std::string envelope_failure(const DidError& error);             // {"code":"<kind>","value":"<msg>"}
char* envelope_to_host(const std::string& envelope);

// Payload conversions into JSON text (compact, members in ascending key order).
std::string payload_json(bool v);
std::string payload_json(const std::string& text);
std::string payload_json(const nlohmann::json& tree);
std::string payload_json(const DidResultCodeDescription& d);
// The value-or-error payload of wallet_get_data: {"Ok":"<text>"} or {"Err":{"code":..,"msg":..}}.
std::string payload_json(const DidResult<std::string>& value_or_error);
// The whole envelope of wallet_get_data. A fetched text goes straight into one buffer
// sized for its longest escaping, so that no other buffer ever holds a copy; the caller
// wipes the answer.
std::string fetched_data_envelope(const DidResult<DidResult<std::string>>& outcome);

template <class T>
std::string serialize_envelope(const DidResult<T>& result) {
  if (!result.ok()) return envelope_failure(result.error());
  if constexpr (std::is_void_v<T> || std::is_same_v<T, NoPayload>) {
    return envelope_ok_text();
  } else if constexpr (std::is_same_v<T, nlohmann::json>) {
    if (result.value().is_null()) return envelope_ok_text();
    return envelope_ok_with(payload_json(result.value()));
  } else {
    return envelope_ok_with(payload_json(result.value()));
  }
}

template <class T>
char* result_to_host_json(DidResult<T>&& result) {
  DidResult<T> owned = std::move(result);
  return envelope_to_host(serialize_envelope(owned));
}

}  // namespace velno
