#include "wallet/argon2_compress.hpp"

namespace velno::argon2 {

namespace test_hooks {
std::atomic<int> forced_compression{-1};
}  // namespace test_hooks

namespace {

inline uint64_t rotr(uint64_t x, int n) { return (x >> n) | (x << (64 - n)); }

// The multiply-hardened addition of BlaMka: a + b + 2 * lo32(a) * lo32(b).
inline uint64_t mix(uint64_t a, uint64_t b) { return a + b + 2 * (a & 0xffffffffU) * (b & 0xffffffffU); }

inline void quarter(uint64_t& a, uint64_t& b, uint64_t& c, uint64_t& d) {
  a = mix(a, b);
  d = rotr(d ^ a, 32);
  c = mix(c, d);
  b = rotr(b ^ c, 24);
  a = mix(a, b);
  d = rotr(d ^ a, 16);
  c = mix(c, d);
  b = rotr(b ^ c, 63);
}

// One round over 16 words: four columns of the 4x4 matrix, then its four diagonals.
inline void round16(uint64_t (&v)[16]) {
  quarter(v[0], v[4], v[8], v[12]);
  quarter(v[1], v[5], v[9], v[13]);
  quarter(v[2], v[6], v[10], v[14]);
  quarter(v[3], v[7], v[11], v[15]);
  quarter(v[0], v[5], v[10], v[15]);
  quarter(v[1], v[6], v[11], v[12]);
  quarter(v[2], v[7], v[8], v[13]);
  quarter(v[3], v[4], v[9], v[14]);
}

}  // namespace

// The block is an 8x8 matrix of 16-byte cells: row r is words 16r..16r+15, column c the
// cells c, c+8, ..., c+56, that is words 2c + 16k and 2c + 16k + 1 for k = 0..7.
void fill_block_portable(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept {
  uint64_t* r = scratch.words;
  for (std::size_t i = 0; i < kBlockWords; ++i) r[i] = prev.words[i] ^ ref.words[i];
  uint64_t* out = next.words;
  // next receives the rounds' state, scratch what is added to it at the end.
  for (std::size_t i = 0; i < kBlockWords; ++i) {
    const uint64_t x = r[i];
    r[i] = xor_into ? x ^ out[i] : x;
    out[i] = x;
  }
  uint64_t v[16];
  for (std::size_t row = 0; row < 8; ++row) {
    for (std::size_t i = 0; i < 16; ++i) v[i] = out[16 * row + i];
    round16(v);
    for (std::size_t i = 0; i < 16; ++i) out[16 * row + i] = v[i];
  }
  for (std::size_t col = 0; col < 8; ++col) {
    for (std::size_t k = 0; k < 8; ++k) {
      v[2 * k] = out[2 * col + 16 * k];
      v[2 * k + 1] = out[2 * col + 16 * k + 1];
    }
    round16(v);
    for (std::size_t k = 0; k < 8; ++k) {
      out[2 * col + 16 * k] = v[2 * k];
      out[2 * col + 16 * k + 1] = v[2 * k + 1];
    }
  }
  for (std::size_t i = 0; i < kBlockWords; ++i) out[i] ^= r[i];
}

const char* compression_name(Compression c) noexcept {
  switch (c) {
    case Compression::kPortable:
      return "portable";
    case Compression::kSse2:
      return "sse2";
    case Compression::kAvx2:
      return "avx2";
    case Compression::kAvx512F:
      return "avx512f";
  }
  return "?";
}

bool compression_available(Compression c) noexcept {
  switch (c) {
    case Compression::kPortable:
      return true;
#if defined(__x86_64__)
    case Compression::kSse2:
      return true;  // every x86-64 processor has it
    case Compression::kAvx2:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx2");
    case Compression::kAvx512F:
      __builtin_cpu_init();
      return __builtin_cpu_supports("avx512f");
#else
    default:
      return false;
#endif
  }
  return false;
}

namespace {

FillBlock implementation(Compression c) noexcept {
  switch (c) {
#if defined(__x86_64__)
    case Compression::kSse2:
      return fill_block_sse2;
    case Compression::kAvx2:
      return fill_block_avx2;
    case Compression::kAvx512F:
      return fill_block_avx512f;
#endif
    default:
      return fill_block_portable;
  }
}

FillBlock fastest() noexcept {
  for (std::size_t i = std::size(kCompressions); i-- > 0;) {
    if (compression_available(kCompressions[i])) return implementation(kCompressions[i]);
  }
  return fill_block_portable;
}

}  // namespace

FillBlock fill_block() noexcept {
  const int forced = test_hooks::forced_compression.load(std::memory_order_relaxed);
  if (forced >= 0 && forced < static_cast<int>(std::size(kCompressions))) {
    const Compression c = kCompressions[forced];
    if (compression_available(c)) return implementation(c);
  }
  static const FillBlock best = fastest();
  return best;
}

}  // namespace velno::argon2
