#include "common/base58.hpp"

#include <array>
#include <memory>

#include "common/secret.hpp"

namespace velno {

namespace {

constexpr char kAlphabet[] = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";

// 58^5 fits in 32 bits: the big-number loops work on five digits at a time.
constexpr uint64_t kBig = 58ULL * 58 * 58 * 58 * 58;

constexpr std::array<int8_t, 256> make_digits() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 58; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kDigits = make_digits();

void append_escaped_char(std::string& out, unsigned char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  switch (c) {
    case '\t': out.append("\\t"); return;
    case '\n': out.append("\\n"); return;
    case '\r': out.append("\\r"); return;
    case '\0': out.append("\\0"); return;
    case '\'': out.append("\\'"); return;
    case '\\': out.append("\\\\"); return;
    default: break;
  }
  if (c < 0x20 || c == 0x7F) {
    out.append("\\u{");
    if (c >= 0x10) out.push_back(kHex[c >> 4]);
    out.push_back(kHex[c & 0x0F]);
    out.push_back('}');
    return;
  }
  out.push_back(static_cast<char>(c));
}

// Alloc holds the working buffers and the answer: std::allocator, or SecretAllocator
// for secrets.
template <template <class> class Alloc>
std::basic_string<char, std::char_traits<char>, Alloc<char>> encode(std::span<const uint8_t> bytes) {
  std::size_t zeros = 0;
  while (zeros < bytes.size() && bytes[zeros] == 0) ++zeros;

  // The number as little-endian limbs in base 58^5, fed with up to three bytes at a time.
  std::vector<uint32_t, Alloc<uint32_t>> limbs;
  limbs.reserve(bytes.size() * 138 / 100 / 5 + 2);
  for (std::size_t i = zeros; i < bytes.size();) {
    const std::size_t take = std::min<std::size_t>(3, bytes.size() - i);
    uint64_t carry = 0;
    for (std::size_t k = 0; k < take; ++k) carry = (carry << 8) | bytes[i + k];
    const uint64_t mul = 1ULL << (8 * take);
    i += take;
    for (auto& limb : limbs) {
      const uint64_t x = limb * mul + carry;
      limb = static_cast<uint32_t>(x % kBig);
      carry = x / kBig;
    }
    while (carry) {
      limbs.push_back(static_cast<uint32_t>(carry % kBig));
      carry /= kBig;
    }
  }

  std::vector<char, Alloc<char>> digits;  // least significant first
  digits.reserve(limbs.size() * 5 + zeros);
  for (std::size_t li = 0; li < limbs.size(); ++li) {
    uint32_t v = limbs[li];
    const bool top = li + 1 == limbs.size();
    for (int k = 0; k < 5 && (!top || v != 0); ++k) {
      digits.push_back(kAlphabet[v % 58]);
      v /= 58;
    }
  }
  digits.insert(digits.end(), zeros, '1');
  return std::basic_string<char, std::char_traits<char>, Alloc<char>>(digits.rbegin(), digits.rend());
}

// The number of bytes of the little-endian limbs' value, leading zero bytes left out.
template <class Limbs>
std::size_t value_bytes(const Limbs& limbs) {
  if (limbs.empty()) return 0;
  std::size_t top = 4;
  while (top > 0 && (limbs.back() >> (8 * (top - 1))) == 0) --top;
  return (limbs.size() - 1) * 4 + top;
}

template <template <class> class Alloc>
Result<Base58Bytes, Base58Error> decode(std::string_view text, std::size_t max_bytes) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (kDigits[c] >= 0) continue;
    return Base58Error{c >= 0x80, i, c};
  }

  std::size_t ones = 0;
  while (ones < text.size() && text[ones] == '1') ++ones;
  // Each digit makes at most one byte, so only a text longer than the bound can exceed
  // it. After the ones, the first digit is not zero: more digits than the longest text
  // of the bytes left can hold make a larger number, whatever they are.
  if (max_bytes < text.size() && (ones > max_bytes || text.size() - ones > base58_max_digits(max_bytes - ones)))
    return Base58Bytes{};

  // The number as little-endian 32-bit limbs, fed with up to five digits at a time.
  std::vector<uint32_t, Alloc<uint32_t>> limbs;
  limbs.reserve(text.size() * 733 / 1000 / 4 + 2);
  for (std::size_t i = ones; i < text.size();) {
    const std::size_t take = std::min<std::size_t>(5, text.size() - i);
    uint64_t carry = 0;
    uint64_t mul = 1;
    for (std::size_t k = 0; k < take; ++k) {
      carry = carry * 58 + static_cast<uint64_t>(kDigits[static_cast<unsigned char>(text[i + k])]);
      mul *= 58;
    }
    i += take;
    for (auto& limb : limbs) {
      const uint64_t x = limb * mul + carry;
      limb = static_cast<uint32_t>(x);
      carry = x >> 32;
    }
    while (carry) {
      limbs.push_back(static_cast<uint32_t>(carry));
      carry >>= 32;
    }
  }
  // The longest text of a length may still hold a larger number than its bytes can.
  if (ones + value_bytes(limbs) > max_bytes) return Base58Bytes{};

  // Sized once: no copy of the bytes is left behind by a reallocation.
  std::vector<uint8_t> out;
  out.reserve(ones + value_bytes(limbs));
  out.assign(ones, 0);
  bool leading = true;
  for (std::size_t li = limbs.size(); li-- > 0;) {
    for (int shift = 24; shift >= 0; shift -= 8) {
      const auto b = static_cast<uint8_t>(limbs[li] >> shift);
      if (leading && b == 0) continue;
      leading = false;
      out.push_back(b);
    }
  }
  return Base58Bytes(std::move(out));
}

}  // namespace

std::string Base58Error::text() const {
  if (non_ascii) return "provided string contained non-ascii character starting at byte " + std::to_string(index);
  std::string out = "provided string contained invalid character '";
  append_escaped_char(out, byte);
  out.append("' at byte ");
  out.append(std::to_string(index));
  return out;
}

std::string base58_encode(std::span<const uint8_t> bytes) { return encode<std::allocator>(bytes); }
Result<Base58Bytes, Base58Error> base58_decode(std::string_view text, std::size_t max_bytes) {
  return decode<std::allocator>(text, max_bytes);
}

SecretString base58_encode_secret(std::span<const uint8_t> bytes) { return encode<SecretAllocator>(bytes); }
Result<Base58Bytes, Base58Error> base58_decode_secret(std::string_view text, std::size_t max_bytes) {
  return decode<SecretAllocator>(text, max_bytes);
}

}  // namespace velno
