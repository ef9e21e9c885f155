// What every answer of an export must be: a JSON envelope {"code":<string>[,"value":...]},
// with a string value on failure. A fuzz target traps on anything else.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

namespace velno::fuzz {

// Checks the envelope's shape and frees it; answers it parsed for the caller.
inline nlohmann::json check_envelope(char* raw) {
  if (raw == nullptr) __builtin_trap();
  const std::string text(raw);
  std::free(raw);
  if (!nlohmann::json::accept(text)) {
    std::fprintf(stderr, "not JSON: %.300s\n", text.c_str());
    __builtin_trap();
  }
  nlohmann::json j = nlohmann::json::parse(text, nullptr, false);
  const bool shape = j.is_object() && j.contains("code") && j["code"].is_string() &&
                     (j.size() == 1 || (j.size() == 2 && j.contains("value"))) &&
                     (j["code"] == "OK" || (j.contains("value") && j["value"].is_string()));
  if (!shape) {
    std::fprintf(stderr, "not an envelope: %.300s\n", text.c_str());
    __builtin_trap();
  }
  return j;
}

}  // namespace velno::fuzz
