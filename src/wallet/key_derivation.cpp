#include "wallet/key_derivation.hpp"

#include <sys/mman.h>

#include <array>
#include <mutex>
#include <new>

#include <argon2.h>
#include <sodium.h>

namespace velno {

namespace test_hooks {
std::atomic<bool> refuse_argon2_regions{false};
}  // namespace test_hooks

namespace {

constexpr std::size_t kMinOutputBytes = 16;  // crypto_pwhash's least, above libargon2's

uint8_t* map_region() {
#ifdef MADV_HUGEPAGE
  // Aligned to a huge page, so that the kernel can back the whole region with them.
  constexpr std::size_t kHugePage = std::size_t{2} << 20;
  const std::size_t length = kArgon2RegionBytes + kHugePage;
  void* mapped = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(mapped);
  const uintptr_t aligned = (start + kHugePage - 1) & ~uintptr_t{kHugePage - 1};
  if (aligned > start) munmap(mapped, aligned - start);
  const uintptr_t end = aligned + kArgon2RegionBytes;
  if (start + length > end) munmap(reinterpret_cast<void*>(end), start + length - end);
  madvise(reinterpret_cast<void*>(aligned), kArgon2RegionBytes, MADV_HUGEPAGE);  // a hint; small pages otherwise
  return reinterpret_cast<uint8_t*>(aligned);
#else
  void* mapped = mmap(nullptr, kArgon2RegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  return mapped == MAP_FAILED ? nullptr : static_cast<uint8_t*>(mapped);
#endif
}

// Regions kept between derivations. A region is only ever created when none is kept, so
// the pool never holds more than the most derivations that ran at once.
class RegionPool {
 public:
  uint8_t* take() noexcept {
    if (test_hooks::refuse_argon2_regions.load(std::memory_order_relaxed)) return nullptr;
    {
      std::lock_guard lock(mutex_);
      if (kept_ > 0) return regions_[--kept_];
    }
    return map_region();
  }

  // Argon2 writes every block before it reads it, so a kept region need not be clean for
  // the next derivation; it is wiped so that no password-dependent state rests in it.
  void give_back(uint8_t* region) noexcept {
    sodium_memzero(region, kArgon2RegionBytes);
    {
      std::lock_guard lock(mutex_);
      if (kept_ < regions_.size()) {
        regions_[kept_++] = region;
        return;
      }
    }
    munmap(region, kArgon2RegionBytes);
  }

  std::size_t kept() {
    std::lock_guard lock(mutex_);
    return kept_;
  }

  bool kept_are_wiped() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < kept_; ++i) {
      if (!sodium_is_zero(regions_[i], kArgon2RegionBytes)) return false;
    }
    return true;
  }

 private:
  std::mutex mutex_;
  std::array<uint8_t*, kMaxKeptArgon2Regions> regions_{};
  std::size_t kept_ = 0;
};

// Never destroyed, and made without allocating: derivations may run on other threads while
// the process exits, and the callbacks below must not throw.
RegionPool& pool() {
  alignas(RegionPool) static unsigned char storage[sizeof(RegionPool)];
  static RegionPool* const instance = new (storage) RegionPool;
  return *instance;
}

int allocate_region(uint8_t** memory, std::size_t bytes) {
  *memory = bytes == kArgon2RegionBytes ? pool().take() : nullptr;
  return *memory != nullptr ? ARGON2_OK : ARGON2_MEMORY_ALLOCATION_ERROR;
}

void free_region(uint8_t* memory, std::size_t bytes) {
  if (memory != nullptr && bytes == kArgon2RegionBytes) pool().give_back(memory);
}

}  // namespace

bool argon2id_derive(std::span<const uint8_t> password, std::span<const uint8_t> salt, std::span<uint8_t> out) {
  static_assert(kMaxArgon2PasswordBytes == ARGON2_MAX_PWD_LENGTH);
  if (password.size() > kMaxArgon2PasswordBytes || salt.size() != kArgon2SaltBytes || out.size() < kMinOutputBytes ||
      out.size() > ARGON2_MAX_OUTLEN) {
    sodium_memzero(out.data(), out.size());
    return false;
  }
  // The context wants writable pointers; without ARGON2_FLAG_CLEAR_PASSWORD nothing is
  // written through them, and the empty password still gets a pointer.
  static const uint8_t kNoPassword = 0;
  argon2_context context{};
  context.out = out.data();
  context.outlen = static_cast<uint32_t>(out.size());
  context.pwd = const_cast<uint8_t*>(password.empty() ? &kNoPassword : password.data());
  context.pwdlen = static_cast<uint32_t>(password.size());
  context.salt = const_cast<uint8_t*>(salt.data());
  context.saltlen = static_cast<uint32_t>(salt.size());
  context.t_cost = kArgon2Passes;
  context.m_cost = kArgon2MemoryKiB;
  context.lanes = 1;
  context.threads = 1;
  context.version = ARGON2_VERSION_13;
  context.allocate_cbk = allocate_region;
  context.free_cbk = free_region;
  context.flags = ARGON2_DEFAULT_FLAGS;
  if (argon2_ctx(&context, Argon2_id) != ARGON2_OK) {
    sodium_memzero(out.data(), out.size());
    return false;
  }
  return true;
}

namespace test_hooks {
std::size_t kept_argon2_regions() { return pool().kept(); }
bool kept_argon2_regions_are_wiped() { return pool().kept_are_wiped(); }
uint8_t* take_argon2_region() { return pool().take(); }
void give_back_argon2_region(uint8_t* region) { pool().give_back(region); }
}  // namespace test_hooks

}  // namespace velno
