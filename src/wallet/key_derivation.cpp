#include "wallet/key_derivation.hpp"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif
#ifdef __APPLE__
#include <mach/vm_inherit.h>
#endif

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

#include <sodium.h>

#include "wallet/argon2id.hpp"

// Advice that older C library headers lack; a kernel without it answers EINVAL.
#ifdef __linux__
#ifndef MADV_FREE
#define MADV_FREE 8  // Linux 4.5
#endif
#ifndef MADV_WIPEONFORK
#define MADV_WIPEONFORK 18  // Linux 4.14
#endif
#ifndef MADV_POPULATE_WRITE
#define MADV_POPULATE_WRITE 23  // Linux 5.14
#endif
#endif

namespace velno {

namespace test_hooks {
std::atomic<bool> refuse_argon2_regions{false};
std::atomic<bool> kernel_lacks_new_advice{false};
std::atomic<Argon2IdleChoice> argon2_idle_choice{Argon2IdleChoice::kLazyRelease};
}  // namespace test_hooks

namespace {


int advise(uint8_t* region, int advice) noexcept {
#ifdef __linux__
  if (test_hooks::kernel_lacks_new_advice.load(std::memory_order_relaxed) &&
      (advice == MADV_POPULATE_WRITE || advice == MADV_WIPEONFORK || advice == MADV_FREE)) {
    errno = EINVAL;
    return -1;
  }
#endif
  return madvise(region, kArgon2RegionBytes, advice);
}

void unmap(uint8_t* region) noexcept { munmap(region, kArgon2RegionBytes); }

// Whether the kernel may back a new region with transparent huge pages. The system setting
// is not enough: a process (or an ancestor, since it is inherited) can turn them off for
// itself with prctl(PR_SET_THP_DISABLE).
bool huge_pages_in_force() noexcept {
#ifdef __linux__
  // 1: off for this process; newer kernels add bit 1 for "off except where advised", and
  // every region is advised (MADV_HUGEPAGE).
  const int disabled = prctl(PR_GET_THP_DISABLE, 0, 0, 0, 0);
  if (disabled > 0 && (disabled & 2) == 0) return false;
  FILE* f = std::fopen("/sys/kernel/mm/transparent_hugepage/enabled", "re");
  if (f == nullptr) return false;
  char setting[128] = {};
  const bool offered = std::fgets(setting, sizeof setting, f) != nullptr && std::strstr(setting, "[never]") == nullptr;
  std::fclose(f);
  return offered;
#else
  return false;
#endif
}

// Writes one byte of each page. Not checked by AddressSanitizer: its check of each write
// would give every 64 MiB touched 8 MiB of shadow memory that stays after the region goes.
#if defined(__clang__) || defined(__GNUC__)
__attribute__((no_sanitize_address))
#endif
void touch_every_page(uint8_t* region) noexcept {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  volatile uint8_t* bytes = region;
  for (std::size_t at = 0; at < kArgon2RegionBytes; at += page) bytes[at] = 0;
}

// Gives the region all its pages before Argon2 runs in it, so that its first pass takes no
// page faults: otherwise, without huge pages, a new region costs 16,384 faults inside the
// derivation, where the kernel's populate of one call does the same work in one step.
bool populate(uint8_t* region) noexcept {
#ifdef __linux__
  for (int tries = 0; tries < 3; ++tries) {
    if (advise(region, MADV_POPULATE_WRITE) == 0) return true;
    if (errno != EAGAIN && errno != EINTR) break;
  }
  if (errno != EINVAL) return false;  // the memory was refused
  // A kernel before 5.14. Without huge pages, map the range anew, populated; with them,
  // touching it below costs one fault per huge page.
#ifdef MAP_POPULATE
  if (!huge_pages_in_force()) {
    return mmap(region, kArgon2RegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_POPULATE,
                -1, 0) == region;
  }
#endif
#endif
  touch_every_page(region);
  return true;
}

// A forked child must not get a region's contents: an in-flight region holds a
// derivation's state. On Linux the child sees the range zeroed (MADV_WIPEONFORK, 4.14) or,
// on older kernels, not at all (MADV_DONTFORK); on macOS not at all (VM_INHERIT_NONE).
// Elsewhere a child inherits the regions as they are: the kept ones are wiped, an
// in-flight one is not.
bool keep_from_children(uint8_t* region) noexcept {
#if defined(__linux__)
  if (advise(region, MADV_WIPEONFORK) == 0) return true;
  return errno == EINVAL && advise(region, MADV_DONTFORK) == 0;
#elif defined(__APPLE__)
  return minherit(region, kArgon2RegionBytes, VM_INHERIT_NONE) == 0;
#else
  (void)region;
  return true;
#endif
}

// Readies a region for a derivation: populated, and kept from children. Populating
// can map the range anew, which drops its advice, so both come in this order.
bool prepare(uint8_t* region) noexcept { return populate(region) && keep_from_children(region); }

uint8_t* map_region() noexcept {
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
  auto* region = reinterpret_cast<uint8_t*>(aligned);
  advise(region, MADV_HUGEPAGE);  // a hint; small pages otherwise
#else
  void* mapped = mmap(nullptr, kArgon2RegionBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) return nullptr;
  auto* region = static_cast<uint8_t*>(mapped);
#endif
  if (prepare(region)) return region;
  unmap(region);
  return nullptr;
}

// Gives a wiped region's pages back to the system lazily: it takes them when it needs
// memory, and until then they stay in place for the next use. False where the kernel
// cannot (the region is then unmapped instead).
bool hand_back(uint8_t* region) noexcept {
#ifdef MADV_FREE
  return advise(region, MADV_FREE) == 0;
#else
  (void)region;
  return false;
#endif
}

// Regions kept between derivations, at most as many as ran at once. A derivation that finds
// none kept maps one (populated) and, while the process keeps fewer than its bound, leaves
// it for the next. When the last derivation running ends, every kept region but the one it
// used is handed back (or unmapped): an idle process holds at most one region the system
// cannot take back. The library starts no thread, so that work falls to the derivation
// that ends last; the lock covers the bookkeeping alone, never a system call on a region.
class RegionPool {
 public:
  RegionPool() noexcept {
    // A child's pool starts empty (see after_fork_in_child). Without the handlers (no
    // memory for them) a child could find the pool's lock held by a thread it lacks.
    pthread_atfork(&before_fork, &after_fork_in_parent, &after_fork_in_child);
  }

  // Starts a derivation: a kept region, or a new one; nullptr when none could be mapped.
  // Every take ends with give_back or, without a region, end_without_region.
  uint8_t* take() noexcept {
    Kept kept;
    {
      std::lock_guard lock(mutex_);
      ++in_flight_;
      kept = pop_preferring_resident();
      if (kept.region != nullptr) ++lent_;
    }
    if (kept.region != nullptr) {
      if (!kept.handed_back || prepare(kept.region)) return kept.region;
      unmap(kept.region);
      lent_back();
    }
    uint8_t* fresh = map_region();
    if (fresh != nullptr) {
      std::lock_guard lock(mutex_);
      ++lent_;
    }
    return fresh;
  }

  // Argon2 writes every block before it reads it, so a kept region need not be clean for
  // the next derivation; it is wiped so that no password-dependent state rests in it.
  void give_back(uint8_t* region) noexcept {
    sodium_memzero(region, kArgon2RegionBytes);
    end_use(region, true);
  }

  // Ends a derivation that could have no region.
  void end_without_region() noexcept { end_use(nullptr, false); }

  std::size_t kept() {
    std::lock_guard lock(mutex_);
    return kept_;
  }

  bool kept_are_wiped() {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < kept_; ++i) {
      if (!sodium_is_zero(regions_[i].region, kArgon2RegionBytes)) return false;
    }
    return true;
  }

 private:
  struct Kept {
    uint8_t* region = nullptr;
    bool handed_back = false;  // its pages may be gone: populate it before use
  };
  using Regions = std::array<uint8_t*, kMaxKeptArgon2Regions>;

  static test_hooks::Argon2IdleChoice choice() noexcept {
    return test_hooks::argon2_idle_choice.load(std::memory_order_relaxed);
  }

  void lent_back() noexcept {
    std::lock_guard lock(mutex_);
    --lent_;
  }

  static void before_fork() noexcept;
  static void after_fork_in_parent() noexcept;
  static void after_fork_in_child() noexcept;

  // The child has one thread, the one that forked, which was in no derivation. The kept
  // regions are zeroed or absent there; they are unmapped, so that its first derivation
  // is a process's first.
  void reset_in_child() noexcept {
    for (std::size_t i = 0; i < kept_; ++i) unmap(regions_[i].region);
    kept_ = 0;
    in_flight_ = 0;
    lent_ = 0;
  }

  Kept pop_preferring_resident() noexcept {
    if (kept_ == 0) return {};
    std::size_t pick = kept_ - 1;
    for (std::size_t i = kept_; i-- > 0;) {
      if (!regions_[i].handed_back) {
        pick = i;
        break;
      }
    }
    const Kept out = regions_[pick];
    regions_[pick] = regions_[--kept_];
    return out;
  }

  // One derivation ends; `region`, when there is one (`lent` when the derivation had it),
  // goes into the pool unless the process would then have more regions, kept and in use,
  // than its bound (beyond it each derivation maps one of its own).
  void end_use(uint8_t* region, bool lent) noexcept {
    using test_hooks::Argon2IdleChoice;
    const Argon2IdleChoice choice = RegionPool::choice();
    uint8_t* surplus = nullptr;
    Regions idle{};
    std::size_t idle_count = 0;
    {
      std::lock_guard lock(mutex_);
      --in_flight_;
      if (lent) --lent_;
      if (region != nullptr) {
        if (choice != Argon2IdleChoice::kFreshRegionPerCall && kept_ + lent_ < regions_.size()) {
          regions_[kept_++] = {region, false};
        } else {
          surplus = region;
        }
      }
      // Idle now: out go the regions still resident, but the most recently used one.
      if (in_flight_ == 0 && choice != Argon2IdleChoice::kKeepAll) {
        bool kept_one = choice == Argon2IdleChoice::kFreshRegionPerCall;  // then none stays
        for (std::size_t i = kept_; i-- > 0;) {
          if (regions_[i].handed_back) continue;
          if (!kept_one) {
            kept_one = true;
            continue;
          }
          idle[idle_count++] = regions_[i].region;
          regions_[i] = regions_[--kept_];
        }
      }
    }
    if (surplus != nullptr) unmap(surplus);
    if (idle_count == 0) return;
    std::size_t handed = 0;
    for (std::size_t i = 0; i < idle_count; ++i) {
      if (choice == Argon2IdleChoice::kLazyRelease && hand_back(idle[i])) {
        idle[handed++] = idle[i];
      } else {
        unmap(idle[i]);
      }
    }
    std::size_t returned = 0;
    {
      std::lock_guard lock(mutex_);
      for (; returned < handed && kept_ < regions_.size(); ++returned) regions_[kept_++] = {idle[returned], true};
    }
    for (; returned < handed; ++returned) unmap(idle[returned]);
  }

  std::mutex mutex_;
  std::array<Kept, kMaxKeptArgon2Regions> regions_{};
  std::size_t kept_ = 0;
  std::size_t in_flight_ = 0;  // derivations begun (take) and not yet ended
  std::size_t lent_ = 0;       // regions in those derivations
};

// Never destroyed, and made without allocating: derivations may run on other threads while
// the process exits, and the callbacks below must not throw.
RegionPool& pool() {
  alignas(RegionPool) static unsigned char storage[sizeof(RegionPool)];
  static RegionPool* const instance = new (storage) RegionPool;
  return *instance;
}

// Held across fork, so that the child's copy of the bookkeeping is whole and its lock free.
void RegionPool::before_fork() noexcept { pool().mutex_.lock(); }
void RegionPool::after_fork_in_parent() noexcept { pool().mutex_.unlock(); }
void RegionPool::after_fork_in_child() noexcept {
  RegionPool& p = pool();
  p.reset_in_child();
  p.mutex_.unlock();
}

bool derive_in_region(uint8_t* region, std::span<const uint8_t> password, std::span<const uint8_t> salt,
                      std::span<uint8_t> out) {
  argon2::Inputs inputs;
  inputs.password = password;
  inputs.salt = salt;
  inputs.passes = kArgon2Passes;
  inputs.memory_kib = kArgon2MemoryKiB;
  static_assert(kArgon2RegionBytes % alignof(argon2::Block) == 0 && kArgon2RegionBytes / argon2::kBlockBytes == kArgon2MemoryKiB);
  const std::span<argon2::Block> memory(reinterpret_cast<argon2::Block*>(region), kArgon2MemoryKiB);
  const bool derived = argon2::argon2id(inputs, memory, out);
  pool().give_back(region);
  return derived;
}

}  // namespace

bool argon2id_derive(std::span<const uint8_t> password, std::span<const uint8_t> salt, std::span<uint8_t> out) {
  if (password.size() > kMaxArgon2PasswordBytes || salt.size() != kArgon2SaltBytes ||
      out.size() < argon2::kMinTagBytes || out.size() > argon2::kMaxTagBytes) {
    sodium_memzero(out.data(), out.size());
    return false;
  }
  bool derived = false;
  if (!test_hooks::refuse_argon2_regions.load(std::memory_order_relaxed)) {
    uint8_t* region = pool().take();
    if (region != nullptr) {
      derived = derive_in_region(region, password, salt, out);
    } else {
      pool().end_without_region();
    }
  }
  if (!derived) sodium_memzero(out.data(), out.size());
  return derived;
}

namespace test_hooks {
std::size_t kept_argon2_regions() { return pool().kept(); }
bool kept_argon2_regions_are_wiped() { return pool().kept_are_wiped(); }
uint8_t* take_argon2_region() {
  uint8_t* region = pool().take();
  if (region == nullptr) pool().end_without_region();
  return region;
}
void give_back_argon2_region(uint8_t* region) { pool().give_back(region); }
bool argon2_huge_pages_in_force() { return huge_pages_in_force(); }
}  // namespace test_hooks

}  // namespace velno
