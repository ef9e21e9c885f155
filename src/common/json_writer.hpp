// Compact JSON writing with the library's exact escaping.
//
// Strings: '"' and '\\' get a backslash; 0x08 0x09 0x0A 0x0C 0x0D are \b \t \n \f \r;
// every other byte below 0x20 is \u00XX (lower-case hex); everything else, '/', 0x7F
// and UTF-8 included, is written unchanged. A text that is not valid UTF-8 is written
// with each ill-formed sequence replaced by U+FFFD, so the output is always JSON.
// Value trees are written with object members in ascending byte order of their keys.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace velno {

class JsonWriter {
 public:
  JsonWriter() = default;
  explicit JsonWriter(std::string& out) : out_(&out) {}

  void raw(std::string_view text) { buf().append(text); }
  void raw(char c) { buf().push_back(c); }
  void string(std::string_view text);        // a JSON string, escaped as above
  void key(std::string_view name) { string(name); raw(':'); }
  void boolean(bool v) { raw(v ? std::string_view("true") : std::string_view("false")); }
  void null() { raw(std::string_view("null")); }
  void integer(int64_t v);
  void unsigned_integer(uint64_t v);
  void floating(double v);                   // shortest text that reads back the same
  void value(const nlohmann::json& v);       // a whole value tree

  std::string& buf() { return out_ ? *out_ : own_; }
  std::string take() { return std::move(buf()); }

 private:
  std::string own_;
  std::string* out_ = nullptr;
};

// Appends `text` as a JSON string to `out` (the escaping above).
void append_json_string(std::string& out, std::string_view text);

// The size append_json_string adds for `text`, computed without allocating.
std::size_t json_string_size(std::string_view text) noexcept;

}  // namespace velno
