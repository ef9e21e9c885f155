// Hexadecimal texts of byte strings, for debug (upper case) and trace (lower case) lines.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace velno {

std::string hex_upper(std::span<const uint8_t> bytes);
std::string hex_lower(std::span<const uint8_t> bytes);

}  // namespace velno
