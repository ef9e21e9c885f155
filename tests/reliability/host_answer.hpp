// Envelopes as a host sees them.
#pragma once

#include <cstdlib>
#include <string>

#include <nlohmann/json.hpp>

#include "watchdog.hpp"

namespace velno::reliability {

struct Answer {
  std::string code;       // "<not an envelope>" when the text is not one
  nlohmann::json value;   // null when absent
  std::string text;
  bool ok() const { return code == "OK"; }
};

// Parses an export's answer and frees it.
inline Answer take(char* raw) {
  note_progress();
  Answer a;
  if (raw == nullptr) {
    a.code = "<null answer>";
    return a;
  }
  a.text = raw;
  std::free(raw);
  auto j = nlohmann::json::parse(a.text, nullptr, false);
  if (j.is_object() && j.contains("code") && j["code"].is_string()) {
    a.code = j["code"].get<std::string>();
    if (j.contains("value")) a.value = j["value"];
  } else {
    a.code = "<not an envelope>";
  }
  return a;
}

}  // namespace velno::reliability
