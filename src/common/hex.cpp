#include "common/hex.hpp"

namespace velno {

namespace {

std::string hex(std::span<const uint8_t> bytes, const char* digits) {
  std::string out(bytes.size() * 2, '\0');
  char* o = out.data();
  for (uint8_t b : bytes) {
    *o++ = digits[b >> 4];
    *o++ = digits[b & 0x0F];
  }
  return out;
}

}  // namespace

std::string hex_upper(std::span<const uint8_t> bytes) { return hex(bytes, "0123456789ABCDEF"); }
std::string hex_lower(std::span<const uint8_t> bytes) { return hex(bytes, "0123456789abcdef"); }

}  // namespace velno
