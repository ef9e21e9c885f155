// Base58 with the Bitcoin alphabet, no checksum: used for keys, DIDs, salts, nonces
// and ciphertexts in the wallet, and for public keys passed in by the host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"
#include "common/secret.hpp"

namespace velno {

struct Base58Error {
  bool non_ascii = false;   // a byte from 0x80 up
  std::size_t index = 0;    // zero-based byte index of the first offending byte
  unsigned char byte = 0;   // the offending byte

  // "provided string contained non-ascii character starting at byte I" or
  // "provided string contained invalid character 'C' at byte I" (C escaped).
  std::string text() const;
};

// How long the text of `bytes` bytes can be: 22 digits for 16 bytes, 33 for 24, 44 for
// 32, 66 for 48, 88 for 64. Every longer text decodes to more bytes. (For `bytes` up to
// 2^40.)
constexpr std::size_t base58_max_digits(std::size_t bytes) {
  // 8 / log2(58) digits per byte, rounded up (1e6 / 5857980 is a little above it).
  return static_cast<std::size_t>((static_cast<unsigned long long>(bytes) * 8000000 + 5857979) / 5857980);
}

std::string base58_encode(std::span<const uint8_t> bytes);

// The bytes of a text, or none when they would be more than `max_bytes` (leading zero
// bytes included). Decoding takes time that grows with the square of the length, so
// it is bounded by what the caller can use: a longer text is answered none without
// being decoded, in time linear in its length. Every byte is checked against the
// alphabet first, so an invalid byte is the error wherever it stands. A text of n
// bytes decodes to at most n, so `text.size()` asks for no bound.
using Base58Bytes = std::optional<std::vector<uint8_t>>;
Result<Base58Bytes, Base58Error> base58_decode(std::string_view text, std::size_t max_bytes);

// The same codec for secret keys: its working buffers, and the text it answers, are
// zeroed when released; the answer is sized once, so it is the only copy.
SecretString base58_encode_secret(std::span<const uint8_t> bytes);
Result<Base58Bytes, Base58Error> base58_decode_secret(std::string_view text, std::size_t max_bytes);

}  // namespace velno
