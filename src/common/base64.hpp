// Base64, standard alphabet with "=" padding; decoding accepts only the canonical form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "common/secret.hpp"

namespace velno {

struct Base64Error {
  // "Invalid symbol N, offset M.", "Invalid input length: N",
  // "Invalid last symbol N, offset M." or "Invalid padding".
  std::string message;
};

std::string base64_encode(std::span<const uint8_t> bytes);
// The same text for a secret's bytes, in a buffer zeroed when it is released.
SecretString base64_encode_secret(std::span<const uint8_t> bytes);
// Decoding checks, in this order (the first fault found is reported):
//  1. The trailing run of "=" is the padding. Scanning left to right, the first other
//     byte outside the alphabet, "=" included, is "Invalid symbol <byte>, offset <i>.".
//  2. N symbols with N % 4 == 1 cannot be completed: "Invalid input length: N".
//  3. The padding must be exactly what the last group needs (none for a full group,
//     "==" after two symbols, "=" after three): else "Invalid padding".
//  4. The unused low bits of the last symbol of a partial group must be zero:
//     else "Invalid last symbol <byte>, offset <i>.".
// An empty text decodes to no bytes.
Result<std::vector<uint8_t>, Base64Error> base64_decode(std::string_view text);
// The same decoding for secrets: every buffer that held decoded bytes is zeroed when
// released, also when the text is refused.
Result<SecretBytes, Base64Error> base64_decode_secret(std::string_view text);

}  // namespace velno
