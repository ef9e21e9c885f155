// UTF-8 validation with the position of the first fault, and repair for output.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace velno {

struct Utf8Error {
  std::size_t valid_up_to = 0;              // bytes before the fault that are valid UTF-8
  std::optional<std::size_t> error_len;     // 1..3: length of the ill-formed sequence; none: input ends inside one

  // "invalid utf-8 sequence of N bytes from index I" or
  // "incomplete utf-8 byte sequence from index I".
  std::string text() const;
};

// The sequence that starts at bytes[i]: well-formed (`len` bytes), ill-formed (`len` is
// its maximal subpart, 1..3), or cut off by the end of the text (`len` bytes are left,
// all a valid start). One ASCII byte is a well-formed sequence of 1.
struct Utf8Step {
  enum Status : unsigned char { Valid, Invalid, Incomplete };
  Status status;
  unsigned char len;
};
Utf8Step utf8_step(std::string_view bytes, std::size_t i);

// Validates `bytes`; the first fault, or none when the whole text is UTF-8.
std::optional<Utf8Error> check_utf8(std::string_view bytes);

// U+FFFD REPLACEMENT CHARACTER, written for each ill-formed sequence.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

// Appends `bytes` to `out` with each ill-formed sequence (maximal subpart) replaced by U+FFFD.
void append_utf8_repaired(std::string& out, std::string_view bytes);

}  // namespace velno
