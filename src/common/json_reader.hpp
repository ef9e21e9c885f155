// A streaming JSON text reader with positions. It knows JSON syntax and where each
// token stands; the typed readers built on it (records, DID descriptions, key pairs)
// know members and their messages.
//
// Every failing call records its error in the reader and returns false (or
// Step::Error); the caller stops and hands take_error() upward. Positions are
// one-based line and byte column: a fault points at the byte where it is found, an
// escape fault at the escape's backslash, a fault found after a closing bracket
// (a missing member, a short array) at that bracket, and an unexpected end of input
// just past the last byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "common/json_error.hpp"
#include "common/json_tree.hpp"
#include "common/secret.hpp"

namespace velno {

struct JsonNumber {
  enum class Kind : uint8_t { Int, UInt, Double };
  Kind kind = Kind::Int;
  int64_t i = 0;   // Kind::Int
  uint64_t u = 0;  // Kind::UInt: integers from 2^63 to 2^64 - 1
  double d = 0;    // Kind::Double: a fraction, an exponent, or an integer beyond 64 bits
};

class JsonReader {
 public:
  // An object or array entered at this depth fails with "recursion limit exceeded";
  // the outermost value is at depth 1.
  static constexpr unsigned kDepthLimit = 128;

  enum class Step : uint8_t { Item, End, Error };

  explicit JsonReader(std::string_view text) : begin_(text.data()), p_(text.data()), end_(text.data() + text.size()) {}
  ~JsonReader();  // wipes the decoding buffer: decoded strings may be secrets
  JsonReader(const JsonReader&) = delete;
  JsonReader& operator=(const JsonReader&) = delete;

  // Skips whitespace and returns the next byte ('\0' at the end of input) without
  // consuming it; the value starting there becomes the current token.
  char peek();

  // Objects: begin_object() at a '{', then next_member() until it gives End (the '}'
  // consumed, now the current token). The name's view lasts until the next read.
  bool begin_object();
  Step next_member(std::string_view& name);
  // Arrays: begin_array() at a '[', then next_element() before each element.
  bool begin_array();
  Step next_element();
  // Closes an array read as a fixed number of elements: a further element is
  // "trailing characters", a comma before the ']' "trailing comma".
  bool end_fixed_array();

  // Scalars at the current position. A string's view lasts until the next read.
  bool read_string(std::string_view& out);
  bool read_string(std::string& out);
  bool read_number(JsonNumber& out);
  bool read_bool(bool& out);
  bool read_null();

  bool skip_value();                      // still validated
  bool read_value(nlohmann::json& out);   // a later duplicate key replaces the earlier
  // Only whitespace may follow: "trailing characters" otherwise.
  bool finish();

  // Errors at the current token. fail_invalid_type reads the scalar value there to
  // describe it: "invalid type: <found>, expected <expected>".
  bool fail(std::string message);
  bool fail_invalid_type(std::string_view expected);
  bool fail_expected_value();  // the syntax error for a place where no value may start

  JsonError take_error() { return std::move(error_); }

 private:
  bool fail_at(const char* at, std::string message);
  bool fail_eof(const char* what);
  void skip_ws() {
    while (p_ != end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) ++p_;
  }
  bool enter(const char* at);
  bool read_string_slow(const char* start, std::string_view& out);
  bool skip_utf8();  // one UTF-8 sequence inside a string
  // Decoded strings may be secrets: even the buffers it outgrows are zeroed.
  using Scratch = std::basic_string<char, std::char_traits<char>, SecretAllocator<char>>;
  bool read_escape(Scratch& out);
  bool read_literal(std::string_view word);
  bool number_to_double(const char* start, JsonNumber& out);

  const char* begin_;
  const char* p_;
  const char* end_;
  const char* tok_ = begin_;  // start of the current token
  unsigned depth_ = 0;
  bool first_ = false;  // just inside a container: no comma expected
  Scratch scratch_;
  JsonError error_;
};

// "null", "boolean `true`", "integer `5`", "floating point `1.5`", `string "text"`,
// "sequence", "map": what a wrong-typed value is called in messages.
std::string found_text(const nlohmann::json& value);
std::string found_float_text(double v);
std::string invalid_type_message(std::string_view found, std::string_view expected);

// Exactly one JSON value, with only whitespace around it. The tree is wiped when it
// ends, since the text may be a decrypted value.
JsonResult<JsonTree> parse_json_text(std::string_view text);

}  // namespace velno
