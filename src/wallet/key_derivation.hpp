// Argon2id key derivation, the library's hot path: the bytes crypto_pwhash gives with
// ARGON2ID13, opslimit 2 and 64 MiB, computed by the library's own Argon2id (argon2id.hpp)
// in memory the process keeps and reuses instead of a fresh mapping that the kernel
// populates and zeroes on every call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velno {

inline constexpr uint32_t kArgon2Passes = 2;
inline constexpr uint32_t kArgon2MemoryKiB = 65536;
inline constexpr std::size_t kArgon2RegionBytes = std::size_t{kArgon2MemoryKiB} * 1024;  // 64 MiB
inline constexpr std::size_t kArgon2SaltBytes = 16;
inline constexpr std::size_t kMaxArgon2PasswordBytes = 0xffffffff;

// The most regions the process keeps: 8 x 64 MiB. It keeps no more than the most
// derivations that ran at once; a derivation that finds none free maps one, populated,
// and leaves it kept while the process has fewer (beyond the bound it unmaps it). Once no derivation
// runs, all kept regions but one are handed back to the system (MADV_FREE: it takes their
// pages when it needs them; the address range stays for the next burst), or unmapped where
// that is missing.
inline constexpr std::size_t kMaxKeptArgon2Regions = 8;

// Argon2id v1.3, 2 passes, 64 MiB, one lane, into `out` (16 bytes or more). False when
// no region could be had, and for what crypto_pwhash refuses: a password above
// 4 GiB - 1 bytes or a salt of another length than 16. The password is only read.
bool argon2id_derive(std::span<const uint8_t> password, std::span<const uint8_t> salt, std::span<uint8_t> out);

namespace test_hooks {
// While true, no region can be had: every derivation fails as if the memory were refused.
extern std::atomic<bool> refuse_argon2_regions;
// While true, the kernel is taken to refuse MADV_POPULATE_WRITE, MADV_WIPEONFORK and
// MADV_FREE, as one before Linux 5.14, 4.14 and 4.5 does.
extern std::atomic<bool> kernel_lacks_new_advice;

// What becomes of the regions beyond one once no derivation runs. kLazyRelease is the
// library's; the others are measured against it (kKeepAll keeps them all resident).
enum class Argon2IdleChoice { kLazyRelease, kKeepOne, kFreshRegionPerCall, kKeepAll };
extern std::atomic<Argon2IdleChoice> argon2_idle_choice;

// Regions the process keeps (handed back or not), and whether each of them is all zeros.
std::size_t kept_argon2_regions();
bool kept_argon2_regions_are_wiped();
// Whether a new region would get transparent huge pages: the system offers them and this
// process has not turned them off.
bool argon2_huge_pages_in_force();
// The pool's own two steps, so that a test can hold many regions at once.
uint8_t* take_argon2_region();
void give_back_argon2_region(uint8_t* region);
}  // namespace test_hooks

}  // namespace velno
