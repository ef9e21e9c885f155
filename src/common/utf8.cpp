#include "common/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace velno {

namespace {

// Allowed range of the second byte for each lead byte; the later bytes are 80..BF.
// These ranges exclude overlongs (E0 80..9F, F0 80..8F), surrogates (ED A0..BF) and
// code points above U+10FFFF (F4 90..BF).
struct LeadRule {
  unsigned char lo, hi, len;
};

inline bool lead_rule(unsigned char b, LeadRule& r) {
  if (b >= 0xC2 && b <= 0xDF) r = {0x80, 0xBF, 2};
  else if (b == 0xE0) r = {0xA0, 0xBF, 3};
  else if (b == 0xED) r = {0x80, 0x9F, 3};
  else if (b >= 0xE1 && b <= 0xEF) r = {0x80, 0xBF, 3};
  else if (b == 0xF0) r = {0x90, 0xBF, 4};
  else if (b >= 0xF1 && b <= 0xF3) r = {0x80, 0xBF, 4};
  else if (b == 0xF4) r = {0x80, 0x8F, 4};
  else return false;
  return true;
}

// Bytes from `i` up to the first byte >= 0x80 (eight at a time).
inline std::size_t ascii_run_end(std::string_view s, std::size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(s.data());
  const std::size_t n = s.size();
  while (i + 8 <= n) {
    uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ULL) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  return i;
}

}  // namespace

Utf8Step utf8_step(std::string_view bytes, std::size_t i) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t left = bytes.size() - i;
  const unsigned char b = p[i];
  if (b < 0x80) return {Utf8Step::Valid, 1};
  LeadRule r;
  if (!lead_rule(b, r)) return {Utf8Step::Invalid, 1};
  for (unsigned char k = 1; k < r.len; ++k) {
    if (k >= left) return {Utf8Step::Incomplete, k};
    const unsigned char c = p[i + k];
    const unsigned char lo = k == 1 ? r.lo : 0x80;
    const unsigned char hi = k == 1 ? r.hi : 0xBF;
    if (c < lo || c > hi) return {Utf8Step::Invalid, k};
  }
  return {Utf8Step::Valid, r.len};
}

std::string Utf8Error::text() const {
  if (error_len) {
    return "invalid utf-8 sequence of " + std::to_string(*error_len) + " bytes from index " +
           std::to_string(valid_up_to);
  }
  return "incomplete utf-8 byte sequence from index " + std::to_string(valid_up_to);
}

std::optional<Utf8Error> check_utf8(std::string_view bytes) {
  std::size_t i = 0;
  while (true) {
    i = ascii_run_end(bytes, i);
    if (i >= bytes.size()) return std::nullopt;
    const Utf8Step st = utf8_step(bytes, i);
    if (st.status == Utf8Step::Invalid) return Utf8Error{i, st.len};
    if (st.status == Utf8Step::Incomplete) return Utf8Error{i, std::nullopt};
    i += st.len;
  }
}

void append_utf8_repaired(std::string& out, std::string_view bytes) {
  std::size_t start = 0;  // first byte not yet copied
  std::size_t i = 0;
  while (true) {
    i = ascii_run_end(bytes, i);
    if (i >= bytes.size()) break;
    const Utf8Step st = utf8_step(bytes, i);
    if (st.status != Utf8Step::Valid) {
      out.append(bytes.substr(start, i - start));
      out.append(kUtf8Replacement);
      start = i + st.len;
    }
    i += st.len;
  }
  out.append(bytes.substr(start));
}

}  // namespace velno
