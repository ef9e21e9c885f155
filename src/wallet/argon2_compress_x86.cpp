// The compression function with SSE2, AVX2 and AVX-512F. Each function carries its own
// target, so that the rest of the build keeps the baseline instruction set and the
// dispatcher (argon2_compress.cpp) runs a version only on a processor that has it.
#include "wallet/argon2_compress.hpp"

#if defined(__x86_64__)

#include <immintrin.h>

#define VELNO_SSE2 __attribute__((target("sse2")))
#define VELNO_AVX2 __attribute__((target("avx2")))
#define VELNO_AVX512F __attribute__((target("avx512f")))

namespace velno::argon2 {

// ---- SSE2: a row is eight registers of two words ----------------------------------------

namespace {

VELNO_SSE2 inline __m128i mix2(__m128i a, __m128i b) {
  const __m128i p = _mm_mul_epu32(a, b);
  return _mm_add_epi64(_mm_add_epi64(a, b), _mm_add_epi64(p, p));
}

template <int N>
VELNO_SSE2 inline __m128i rotr2(__m128i x) {
  if constexpr (N == 32) {
    return _mm_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1));
  } else if constexpr (N == 63) {
    return _mm_or_si128(_mm_srli_epi64(x, 63), _mm_add_epi64(x, x));
  } else {
    return _mm_or_si128(_mm_srli_epi64(x, N), _mm_slli_epi64(x, 64 - N));
  }
}

VELNO_SSE2 inline void quarter2(__m128i& a, __m128i& b, __m128i& c, __m128i& d) {
  a = mix2(a, b);
  d = rotr2<32>(_mm_xor_si128(d, a));
  c = mix2(c, d);
  b = rotr2<24>(_mm_xor_si128(b, c));
  a = mix2(a, b);
  d = rotr2<16>(_mm_xor_si128(d, a));
  c = mix2(c, d);
  b = rotr2<63>(_mm_xor_si128(b, c));
}

// (x[1], y[0])
VELNO_SSE2 inline __m128i high_low(__m128i x, __m128i y) {
  return _mm_castpd_si128(_mm_shuffle_pd(_mm_castsi128_pd(x), _mm_castsi128_pd(y), 1));
}

// s[i] holds words 2i and 2i+1 of the 16.
VELNO_SSE2 inline void round_sse2(__m128i (&s)[8]) {
  quarter2(s[0], s[2], s[4], s[6]);
  quarter2(s[1], s[3], s[5], s[7]);
  // Diagonals: (0,5,10,15) (1,6,11,12) in one set, (2,7,8,13) (3,4,9,14) in the other.
  __m128i b0 = high_low(s[2], s[3]), b1 = high_low(s[3], s[2]);
  __m128i d0 = high_low(s[7], s[6]), d1 = high_low(s[6], s[7]);
  quarter2(s[0], b0, s[5], d0);
  quarter2(s[1], b1, s[4], d1);
  s[2] = high_low(b1, b0);
  s[3] = high_low(b0, b1);
  s[6] = high_low(d0, d1);
  s[7] = high_low(d1, d0);
}

}  // namespace

VELNO_SSE2 void fill_block_sse2(const Block& prev, const Block& ref, Block& next, Block& scratch,
                                bool xor_into) noexcept {
  auto* out = reinterpret_cast<__m128i*>(next.words);
  auto* keep = reinterpret_cast<__m128i*>(scratch.words);
  const auto* a = reinterpret_cast<const __m128i*>(prev.words);
  const auto* b = reinterpret_cast<const __m128i*>(ref.words);
  __m128i s[8];
  for (int row = 0; row < 8; ++row) {
    for (int i = 0; i < 8; ++i) {
      const int at = 8 * row + i;
      s[i] = _mm_xor_si128(_mm_load_si128(a + at), _mm_load_si128(b + at));
      _mm_store_si128(keep + at, xor_into ? _mm_xor_si128(s[i], _mm_load_si128(out + at)) : s[i]);
    }
    round_sse2(s);
    for (int i = 0; i < 8; ++i) _mm_store_si128(out + 8 * row + i, s[i]);
  }
  for (int col = 0; col < 8; ++col) {
    for (int k = 0; k < 8; ++k) s[k] = _mm_load_si128(out + col + 8 * k);
    round_sse2(s);
    for (int k = 0; k < 8; ++k) {
      const int at = col + 8 * k;
      _mm_store_si128(out + at, _mm_xor_si128(s[k], _mm_load_si128(keep + at)));
    }
  }
}

// ---- AVX2: a row is four registers of four words ----------------------------------------

namespace {

VELNO_AVX2 inline __m256i mix4(__m256i a, __m256i b) {
  const __m256i p = _mm256_mul_epu32(a, b);
  return _mm256_add_epi64(_mm256_add_epi64(a, b), _mm256_add_epi64(p, p));
}

VELNO_AVX2 inline __m256i rotr4_32(__m256i x) { return _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1)); }
VELNO_AVX2 inline __m256i rotr4_24(__m256i x) {
  const __m256i bytes = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7, 0, 1, 2,
                                         11, 12, 13, 14, 15, 8, 9, 10);
  return _mm256_shuffle_epi8(x, bytes);
}
VELNO_AVX2 inline __m256i rotr4_16(__m256i x) {
  const __m256i bytes = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6, 7, 0, 1,
                                         10, 11, 12, 13, 14, 15, 8, 9);
  return _mm256_shuffle_epi8(x, bytes);
}
VELNO_AVX2 inline __m256i rotr4_63(__m256i x) { return _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x)); }

VELNO_AVX2 inline void quarter4(__m256i& a, __m256i& b, __m256i& c, __m256i& d) {
  a = mix4(a, b);
  d = rotr4_32(_mm256_xor_si256(d, a));
  c = mix4(c, d);
  b = rotr4_24(_mm256_xor_si256(b, c));
  a = mix4(a, b);
  d = rotr4_16(_mm256_xor_si256(d, a));
  c = mix4(c, d);
  b = rotr4_63(_mm256_xor_si256(b, c));
}

// y[j] holds words 4j..4j+3 of the 16: the columns of the 4x4 matrix are lanes, and its
// diagonals become lanes once rows 1-3 are rotated by 1-3 words.
VELNO_AVX2 inline void round_avx2(__m256i (&y)[4]) {
  quarter4(y[0], y[1], y[2], y[3]);
  y[1] = _mm256_permute4x64_epi64(y[1], _MM_SHUFFLE(0, 3, 2, 1));
  y[2] = _mm256_permute4x64_epi64(y[2], _MM_SHUFFLE(1, 0, 3, 2));
  y[3] = _mm256_permute4x64_epi64(y[3], _MM_SHUFFLE(2, 1, 0, 3));
  quarter4(y[0], y[1], y[2], y[3]);
  y[1] = _mm256_permute4x64_epi64(y[1], _MM_SHUFFLE(2, 1, 0, 3));
  y[2] = _mm256_permute4x64_epi64(y[2], _MM_SHUFFLE(1, 0, 3, 2));
  y[3] = _mm256_permute4x64_epi64(y[3], _MM_SHUFFLE(0, 3, 2, 1));
}

}  // namespace

VELNO_AVX2 void fill_block_avx2(const Block& prev, const Block& ref, Block& next, Block& scratch,
                                bool xor_into) noexcept {
  auto* out = reinterpret_cast<__m256i*>(next.words);
  auto* keep = reinterpret_cast<__m256i*>(scratch.words);
  const auto* a = reinterpret_cast<const __m256i*>(prev.words);
  const auto* b = reinterpret_cast<const __m256i*>(ref.words);
  __m256i y[4];
  for (int row = 0; row < 8; ++row) {
    for (int j = 0; j < 4; ++j) {
      const int at = 4 * row + j;
      y[j] = _mm256_xor_si256(_mm256_load_si256(a + at), _mm256_load_si256(b + at));
      _mm256_store_si256(keep + at, xor_into ? _mm256_xor_si256(y[j], _mm256_load_si256(out + at)) : y[j]);
    }
    round_avx2(y);
    for (int j = 0; j < 4; ++j) _mm256_store_si256(out + 4 * row + j, y[j]);
  }
  // Columns two at a time: words 2c..2c+3 of row k are column c's cell and column c+1's.
  for (int pair = 0; pair < 4; ++pair) {
    __m256i rows[8], left[4], right[4];
    for (int k = 0; k < 8; ++k) rows[k] = _mm256_load_si256(out + 4 * k + pair);
    for (int j = 0; j < 4; ++j) {
      left[j] = _mm256_permute2x128_si256(rows[2 * j], rows[2 * j + 1], 0x20);
      right[j] = _mm256_permute2x128_si256(rows[2 * j], rows[2 * j + 1], 0x31);
    }
    round_avx2(left);
    round_avx2(right);
    for (int j = 0; j < 4; ++j) {
      rows[2 * j] = _mm256_permute2x128_si256(left[j], right[j], 0x20);
      rows[2 * j + 1] = _mm256_permute2x128_si256(left[j], right[j], 0x31);
    }
    for (int k = 0; k < 8; ++k) {
      const int at = 4 * k + pair;
      _mm256_store_si256(out + at, _mm256_xor_si256(rows[k], _mm256_load_si256(keep + at)));
    }
  }
}

// ---- AVX-512F: the AVX2 layout, two instances per register --------------------------------

// GCC 12's AVX-512 intrinsics give their unused merge operand a self-initialised value,
// which -Wuninitialized reports wherever they are inlined under a target attribute.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace {

VELNO_AVX512F inline __m512i mix8(__m512i a, __m512i b) {
  const __m512i p = _mm512_mul_epu32(a, b);
  return _mm512_add_epi64(_mm512_add_epi64(a, b), _mm512_add_epi64(p, p));
}

VELNO_AVX512F inline void quarter8(__m512i& a, __m512i& b, __m512i& c, __m512i& d) {
  a = mix8(a, b);
  d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 32);
  c = mix8(c, d);
  b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 24);
  a = mix8(a, b);
  d = _mm512_ror_epi64(_mm512_xor_si512(d, a), 16);
  c = mix8(c, d);
  b = _mm512_ror_epi64(_mm512_xor_si512(b, c), 63);
}

// Each 256-bit half of z[j] is y[j] of round_avx2, for two independent sets of 16 words.
VELNO_AVX512F inline void round_avx512(__m512i (&z)[4]) {
  quarter8(z[0], z[1], z[2], z[3]);
  z[1] = _mm512_permutex_epi64(z[1], _MM_SHUFFLE(0, 3, 2, 1));
  z[2] = _mm512_permutex_epi64(z[2], _MM_SHUFFLE(1, 0, 3, 2));
  z[3] = _mm512_permutex_epi64(z[3], _MM_SHUFFLE(2, 1, 0, 3));
  quarter8(z[0], z[1], z[2], z[3]);
  z[1] = _mm512_permutex_epi64(z[1], _MM_SHUFFLE(2, 1, 0, 3));
  z[2] = _mm512_permutex_epi64(z[2], _MM_SHUFFLE(1, 0, 3, 2));
  z[3] = _mm512_permutex_epi64(z[3], _MM_SHUFFLE(0, 3, 2, 1));
}

// Four words at `lo` and four at `hi`, as one register, and back.
VELNO_AVX512F inline __m512i load_halves(const uint64_t* lo, const uint64_t* hi) {
  return _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_load_si256(reinterpret_cast<const __m256i*>(lo))),
                            _mm256_load_si256(reinterpret_cast<const __m256i*>(hi)), 1);
}
VELNO_AVX512F inline void store_halves(__m512i z, uint64_t* lo, uint64_t* hi) {
  _mm256_store_si256(reinterpret_cast<__m256i*>(lo), _mm512_castsi512_si256(z));
  _mm256_store_si256(reinterpret_cast<__m256i*>(hi), _mm512_extracti64x4_epi64(z, 1));
}

}  // namespace

VELNO_AVX512F void fill_block_avx512f(const Block& prev, const Block& ref, Block& next, Block& scratch,
                                      bool xor_into) noexcept {
  uint64_t* out = next.words;
  uint64_t* keep = scratch.words;
  // Rows two at a time: row 2p in the low halves, row 2p+1 in the high.
  for (int p = 0; p < 4; ++p) {
    __m512i z[4];
    for (int j = 0; j < 4; ++j) {
      const int lo = 32 * p + 4 * j, hi = lo + 16;
      z[j] = _mm512_xor_si512(load_halves(prev.words + lo, prev.words + hi), load_halves(ref.words + lo, ref.words + hi));
      store_halves(xor_into ? _mm512_xor_si512(z[j], load_halves(out + lo, out + hi)) : z[j], keep + lo, keep + hi);
    }
    round_avx512(z);
    for (int j = 0; j < 4; ++j) store_halves(z[j], out + 32 * p + 4 * j, out + 32 * p + 4 * j + 16);
  }
  // Columns c and c+1 as in the AVX2 version, one in each half: the four words 2c..2c+3
  // of rows 2j and 2j+1 are arranged (row 2j col c, row 2j+1 col c, row 2j col c+1,
  // row 2j+1 col c+1), an exchange of the middle 128-bit quarters that undoes itself.
  constexpr int kMiddleSwap = _MM_SHUFFLE(3, 1, 2, 0);
  for (int pair = 0; pair < 4; ++pair) {
    __m512i z[4];
    for (int j = 0; j < 4; ++j) {
      const __m512i rows = load_halves(out + 32 * j + 4 * pair, out + 32 * j + 16 + 4 * pair);
      z[j] = _mm512_shuffle_i64x2(rows, rows, kMiddleSwap);
    }
    round_avx512(z);
    for (int j = 0; j < 4; ++j) {
      uint64_t* lo = out + 32 * j + 4 * pair;
      uint64_t* hi = lo + 16;
      const __m512i rows = _mm512_shuffle_i64x2(z[j], z[j], kMiddleSwap);
      store_halves(_mm512_xor_si512(rows, load_halves(keep + (lo - out), keep + (hi - out))), lo, hi);
    }
  }
}

#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

}  // namespace velno::argon2

#endif  // __x86_64__
