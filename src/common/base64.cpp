#include "common/base64.hpp"

#include <array>
#include <memory>

#include "common/secret.hpp"

namespace velno {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

constexpr std::array<int8_t, 256> make_values() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kValues = make_values();

Base64Error symbol_error(const char* what, unsigned char byte, std::size_t offset) {
  return Base64Error{std::string(what) + std::to_string(byte) + ", offset " + std::to_string(offset) + "."};
}

}  // namespace

namespace {

template <class Text>
Text encode(std::span<const uint8_t> bytes) {
  Text out;
  out.resize((bytes.size() + 2) / 3 * 4);
  char* o = out.data();
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = kAlphabet[(v >> 6) & 63];
    *o++ = kAlphabet[v & 63];
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = uint32_t{bytes[i]} << 16;
    if (rest == 2) v |= uint32_t{bytes[i + 1]} << 8;
    *o++ = kAlphabet[v >> 18];
    *o++ = kAlphabet[(v >> 12) & 63];
    *o++ = rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    *o++ = '=';
  }
  return out;
}

}  // namespace

std::string base64_encode(std::span<const uint8_t> bytes) { return encode<std::string>(bytes); }
SecretString base64_encode_secret(std::span<const uint8_t> bytes) { return encode<SecretString>(bytes); }

namespace {

// Decodes into a buffer of `Alloc`: std::allocator, or SecretAllocator, which zeroes
// the buffer when it is released, also when the text is refused after decoding.
template <template <class> class Alloc>
Result<std::vector<uint8_t, Alloc<uint8_t>>, Base64Error> decode(std::string_view text) {
  // The trailing run of "=" is the padding; every other byte must be a symbol.
  std::size_t n = text.size();
  while (n > 0 && text[n - 1] == '=') --n;
  const std::size_t pad = text.size() - n;
  const std::size_t tail = n % 4;  // symbols in the last, partial group

  // One pass decodes and notes whether any byte was not a symbol (its value -1 makes the
  // OR negative); the faults are then reported in their fixed order.
  std::vector<uint8_t, Alloc<uint8_t>> out(n / 4 * 3 + (tail > 1 ? tail - 1 : 0));
  uint8_t* o = out.data();
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  int bad = 0;
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const int a = kValues[p[i]], b = kValues[p[i + 1]], c = kValues[p[i + 2]], d = kValues[p[i + 3]];
    bad |= a | b | c | d;
    const uint32_t v = (uint32_t(a) << 18) | (uint32_t(b) << 12) | (uint32_t(c) << 6) | uint32_t(d);
    *o++ = static_cast<uint8_t>(v >> 16);
    *o++ = static_cast<uint8_t>(v >> 8);
    *o++ = static_cast<uint8_t>(v);
  }
  for (std::size_t j = i; j < n; ++j) bad |= kValues[p[j]];
  if (bad < 0) {
    for (std::size_t j = 0; j < n; ++j)
      if (kValues[p[j]] < 0) return symbol_error("Invalid symbol ", p[j], j);
  }
  if (tail == 1) return Base64Error{"Invalid input length: " + std::to_string(n)};
  if (pad != (tail == 0 ? 0 : 4 - tail)) return Base64Error{"Invalid padding"};
  if (tail > 0) {
    // Two symbols carry one byte (4 bits unused), three carry two (2 bits unused);
    // the canonical form leaves the unused bits zero.
    const std::size_t last = n - 1;
    const uint32_t unused_mask = tail == 2 ? 0x0F : 0x03;
    if (uint32_t(kValues[p[last]]) & unused_mask) return symbol_error("Invalid last symbol ", p[last], last);
    uint32_t v = (uint32_t(kValues[p[i]]) << 18) | (uint32_t(kValues[p[i + 1]]) << 12);
    if (tail == 3) v |= uint32_t(kValues[p[i + 2]]) << 6;
    *o++ = static_cast<uint8_t>(v >> 16);
    if (tail == 3) *o = static_cast<uint8_t>(v >> 8);
  }
  return out;
}

}  // namespace

Result<std::vector<uint8_t>, Base64Error> base64_decode(std::string_view text) { return decode<std::allocator>(text); }

Result<SecretBytes, Base64Error> base64_decode_secret(std::string_view text) {
  auto decoded = decode<SecretAllocator>(text);
  if (!decoded.ok()) return std::move(decoded).error();
  return SecretBytes(decoded.value().data(), decoded.value().size());
}

}  // namespace velno
