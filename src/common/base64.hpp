// Base64, standard alphabet with "=" padding; decoding accepts only the canonical form.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.hpp"

namespace velno {

struct Base64Error {
  // "Invalid symbol N, offset M.", "Invalid input length: N",
  // "Invalid last symbol N, offset M." or "Invalid padding".
  std::string message;
};

std::string base64_encode(std::span<const uint8_t> bytes);
Result<std::vector<uint8_t>, Base64Error> base64_decode(std::string_view text);

}  // namespace velno
