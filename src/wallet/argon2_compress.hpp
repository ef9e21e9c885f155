// Argon2's compression function G (BlaMka rounds over a 1 KiB block), in a portable
// version and, on x86-64, versions that use the vector units the processor has; the best
// one is chosen at run time.
#pragma once

#include <atomic>

#include "wallet/argon2id.hpp"

namespace velno::argon2 {

// next = G(prev, ref), or with `xor_into` next ^= G(prev, ref). `scratch` holds
// prev ^ ref (^ next) between the two halves of the rounds: password-dependent, wiped by
// the caller when the derivation ends. prev, ref and scratch never alias next.
using FillBlock = void (*)(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept;

enum class Compression { kPortable, kSse2, kAvx2, kAvx512F };
inline constexpr Compression kCompressions[] = {Compression::kPortable, Compression::kSse2, Compression::kAvx2,
                                                Compression::kAvx512F};
const char* compression_name(Compression c) noexcept;

// Whether this build and processor can run `c`.
bool compression_available(Compression c) noexcept;
// The fastest available, or the one forced below.
FillBlock fill_block() noexcept;

void fill_block_portable(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept;
#if defined(__x86_64__)
void fill_block_sse2(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept;
void fill_block_avx2(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept;
void fill_block_avx512f(const Block& prev, const Block& ref, Block& next, Block& scratch, bool xor_into) noexcept;
#endif

namespace test_hooks {
// -1: the fastest available; otherwise a Compression, used if available.
extern std::atomic<int> forced_compression;
}  // namespace test_hooks

}  // namespace velno::argon2
