// Base58 with the Bitcoin alphabet, no checksum: used for keys, DIDs, salts, nonces
// and ciphertexts in the wallet, and for public keys passed in by the host.
#pragma once

#include <cstddef>
#include <cstdint>
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

std::string base58_encode(std::span<const uint8_t> bytes);
Result<std::vector<uint8_t>, Base58Error> base58_decode(std::string_view text);

// The same codec for secret keys: its working buffers, and the text it answers, are
// zeroed when released; the answer is sized once, so it is the only copy.
SecretString base58_encode_secret(std::span<const uint8_t> bytes);
Result<std::vector<uint8_t>, Base58Error> base58_decode_secret(std::string_view text);

}  // namespace velno
