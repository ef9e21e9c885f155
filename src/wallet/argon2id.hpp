// Argon2id, version 1.3, computed in memory the caller owns: the key derivation runs it in
// a region it keeps, so that a derivation maps, faults and zeroes nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace velno::argon2 {

inline constexpr std::size_t kBlockWords = 128;
inline constexpr std::size_t kBlockBytes = kBlockWords * 8;  // 1 KiB
inline constexpr std::size_t kMinTagBytes = 16;
inline constexpr std::size_t kMaxTagBytes = 0xffffffff;
inline constexpr uint32_t kSyncPoints = 4;  // slices per pass

struct alignas(64) Block {
  uint64_t words[kBlockWords];
};

struct Inputs {
  std::span<const uint8_t> password;
  std::span<const uint8_t> salt;
  std::span<const uint8_t> secret = {};
  std::span<const uint8_t> associated = {};
  uint32_t passes = 0;      // 1 or more
  uint32_t memory_kib = 0;  // 8 per lane or more
  uint32_t lanes = 1;       // computed one after another, slice by slice
};

// Blocks of working memory the inputs need: the memory rounded down to 4 per lane.
std::size_t memory_blocks(const Inputs& in) noexcept;

// Computes the tag into `tag` (16 bytes to 4 GiB - 1) in `memory`, which must hold
// memory_blocks(in) blocks; its contents before are never read, after they are the state
// of the last pass (the caller wipes it). False, with nothing written, for inputs outside
// the algorithm's bounds. The values of the computation kept outside `memory` (the first
// hash, the block being computed, the final block) are wiped before it returns.
bool argon2id(const Inputs& in, std::span<Block> memory, std::span<uint8_t> tag) noexcept;

}  // namespace velno::argon2
