#include "wallet/key_derivation.hpp"

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>
#ifdef __linux__
#include <sys/prctl.h>
#endif

#include <algorithm>
#include <array>
#include <barrier>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/sanitized.hpp"
#include "wallet/argon2_compress.hpp"
#include "wallet/record_encryption.hpp"
#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using Key = std::array<uint8_t, kDerivedKeyBytes>;

Key stock_key(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  static const char kNoPassword = 0;
  Key key{};
  EXPECT_EQ(crypto_pwhash(key.data(), key.size(),
                          password.empty() ? &kNoPassword : reinterpret_cast<const char*>(password.data()),
                          password.size(), salt.data(), kPwhashOpsLimit, kPwhashMemLimit,
                          crypto_pwhash_ALG_ARGON2ID13),
            0);
  return key;
}

Key derived_key(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  Key key{};
  EXPECT_TRUE(argon2id_derive(password, salt, key));
  return key;
}

std::vector<uint8_t> random_bytes(std::size_t n) {
  std::vector<uint8_t> out(n);
  if (n > 0) randombytes_buf(out.data(), out.size());
  return out;
}

std::vector<uint8_t> stock_tag(std::span<const uint8_t> password, std::span<const uint8_t> salt, uint32_t passes,
                               uint32_t memory_kib, std::size_t tag_bytes) {
  static const char kNoPassword = 0;
  std::vector<uint8_t> tag(tag_bytes);
  EXPECT_EQ(crypto_pwhash(tag.data(), tag.size(),
                          password.empty() ? &kNoPassword : reinterpret_cast<const char*>(password.data()),
                          password.size(), salt.data(), passes, std::size_t{memory_kib} * 1024,
                          crypto_pwhash_ALG_ARGON2ID13),
            0);
  return tag;
}

// Each way of computing the compression function this processor has, forced in turn.
class Argon2idCompression : public ::testing::TestWithParam<argon2::Compression> {
 protected:
  void SetUp() override {
    ASSERT_GE(sodium_init(), 0);
    if (!argon2::compression_available(GetParam())) GTEST_SKIP() << "not on this processor";
    argon2::test_hooks::forced_compression = static_cast<int>(GetParam());
  }
  void TearDown() override { argon2::test_hooks::forced_compression = -1; }
};
INSTANTIATE_TEST_SUITE_P(Paths, Argon2idCompression, ::testing::ValuesIn(argon2::kCompressions),
                         [](const auto& info) { return std::string(argon2::compression_name(info.param)); });

// The published Argon2id vector (four lanes, a secret and associated data), and agreement
// with libsodium over passes, memory sizes and tag lengths at sizes small enough for every
// build: every index rule (data-independent first half of pass 1, data-dependent after,
// wrapping in later passes) and the variable-length hash's every branch.
TEST_P(Argon2idCompression, MatchesThePublishedVectorAndCryptoPwhashOnSmallMemory) {
  const std::vector<uint8_t> password(32, 0x01), salt(16, 0x02), secret(8, 0x03), associated(12, 0x04);
  argon2::Inputs in{password, salt, secret, associated, 3, 32, 4};
  std::vector<argon2::Block> memory(argon2::memory_blocks(in));
  std::array<uint8_t, 32> tag{};
  ASSERT_TRUE(argon2::argon2id(in, memory, tag));
  const std::array<uint8_t, 32> expected = {0x0d, 0x64, 0x0d, 0xf5, 0x8d, 0x78, 0x76, 0x6c, 0x08, 0xc0, 0x37,
                                            0xa3, 0x4a, 0x8b, 0x53, 0xc9, 0xd0, 0x1e, 0xf0, 0x45, 0x2d, 0x75,
                                            0xb6, 0x5e, 0xb5, 0x25, 0x20, 0xe9, 0x6b, 0x01, 0xe6, 0x59};
  EXPECT_EQ(tag, expected);

  struct Case {
    uint32_t passes, memory_kib;
    std::size_t tag_bytes;
  };
  // 8 KiB is the least; 1000 KiB rounds down to 250 blocks a slice; 2048 KiB spans more
  // than one address block per segment.
  const Case cases[] = {{1, 8, 16}, {2, 64, 32}, {3, 1000, 64}, {2, 2048, 65}, {4, 256, 128}, {1, 512, 1024}};
  for (int repeat = 0; repeat < 4; ++repeat) {
    for (const Case& c : cases) {
      const std::vector<uint8_t> pw = random_bytes(randombytes_uniform(300)), s = random_bytes(kArgon2SaltBytes);
      SCOPED_TRACE(::testing::Message() << "t=" << c.passes << " m=" << c.memory_kib << " tag=" << c.tag_bytes
                                        << " password of " << pw.size() << " bytes");
      argon2::Inputs small{pw, s, {}, {}, c.passes, c.memory_kib, 1};
      std::vector<argon2::Block> blocks(argon2::memory_blocks(small));
      std::vector<uint8_t> got(c.tag_bytes);
      ASSERT_TRUE(argon2::argon2id(small, blocks, got));
      ASSERT_EQ(got, stock_tag(pw, s, c.passes, c.memory_kib, c.tag_bytes));
    }
  }

  // Outside the algorithm's bounds nothing is computed or written.
  std::array<uint8_t, 15> short_tag{};
  EXPECT_FALSE(argon2::argon2id(in, memory, short_tag));
  EXPECT_FALSE(argon2::argon2id(in, std::span(memory).first(memory.size() - 1), tag));
  in.lanes = 5;  // 32 KiB is less than 8 per lane
  EXPECT_FALSE(argon2::argon2id(in, memory, tag));
  EXPECT_EQ(tag, expected);
}

// The library's derivation (2 passes, 64 MiB, in a pool region) equals crypto_pwhash byte
// for byte: the empty password, NUL bytes, a password longer than any hash block, and
// every length of key the hash chains differently.
TEST_P(Argon2idCompression, KeyDerivationEqualsCryptoPwhash) {
  struct Case {
    std::vector<uint8_t> password;
    std::size_t key_bytes;
  };
  const std::vector<Case> cases = {
      {{}, 32},
      {{0x00, 0x00, 'p', 0x00}, 16},
      {random_bytes(1 << 20), 64},
      {{0xff, 0xfe, 0xc0, 0x80, 0xed, 0xa0, 0x80}, 65},
      {random_bytes(37), 128},
  };
#ifdef VELNO_TEST_SANITIZED
  // 64 MiB derivations are slow under the sanitizers: one case per path, a different one each.
  const std::size_t first = static_cast<std::size_t>(GetParam()) % cases.size(), count = 1;
#else
  const std::size_t first = 0, count = cases.size();
#endif
  for (std::size_t i = first; i < first + count; ++i) {
    const Case& c = cases[i];
    SCOPED_TRACE(::testing::Message() << "password of " << c.password.size() << " bytes, key of " << c.key_bytes);
    const std::vector<uint8_t> salt = random_bytes(kArgon2SaltBytes);
    std::vector<uint8_t> key(c.key_bytes);
    ASSERT_TRUE(argon2id_derive(c.password, salt, key));
    EXPECT_EQ(key, stock_tag(c.password, salt, kArgon2Passes, kArgon2MemoryKiB, c.key_bytes));
    EXPECT_GE(test_hooks::kept_argon2_regions(), 1u);
  }
}

TEST(KeyDerivation, RefusesWhatCryptoPwhashRefusesAndLeavesNoKey) {
  // A password one byte above the limit, mapped but never populated: both refuse it unread.
  const std::size_t too_long = kMaxArgon2PasswordBytes + 1;
  void* mapped = mmap(nullptr, too_long, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(mapped, MAP_FAILED);
  const std::span<const uint8_t> huge(static_cast<const uint8_t*>(mapped), too_long);
  const std::vector<uint8_t> salt(kArgon2SaltBytes, 3);
  Key key;
  key.fill(0xaa);
  EXPECT_FALSE(argon2id_derive(huge, salt, key));
  EXPECT_EQ(key, Key{});
  EXPECT_NE(crypto_pwhash(key.data(), key.size(), static_cast<const char*>(mapped), too_long, salt.data(),
                          kPwhashOpsLimit, kPwhashMemLimit, crypto_pwhash_ALG_ARGON2ID13),
            0);
  munmap(mapped, too_long);

  std::array<uint8_t, 15> short_key;
  EXPECT_FALSE(argon2id_derive(test::bytes_of("pw"), salt, short_key));
  EXPECT_NE(crypto_pwhash(short_key.data(), short_key.size(), "pw", 2, salt.data(), kPwhashOpsLimit, kPwhashMemLimit,
                          crypto_pwhash_ALG_ARGON2ID13),
            0);

  for (std::size_t salt_bytes : {0, 15, 17}) {
    key.fill(0xaa);
    EXPECT_FALSE(argon2id_derive(test::bytes_of("pw"), std::vector<uint8_t>(salt_bytes, 3), key)) << salt_bytes;
    EXPECT_EQ(key, Key{});
  }
}

#ifdef __linux__
// What the process holds in memory and how: the regions' pages, their advice, and children.
class KeyDerivationMemory : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { test_hooks::kernel_lacks_new_advice = GetParam(); }
  void TearDown() override {
    test_hooks::kernel_lacks_new_advice = false;
    prctl(PR_SET_THP_DISABLE, 0, 0, 0, 0);
  }

  // Takes as many regions as the pool keeps, and one more, which is therefore mapped anew.
  static std::vector<uint8_t*> take_all_and_a_new_one(std::size_t at_least = 1) {
    std::vector<uint8_t*> held;
    const std::size_t n = std::max(at_least, test_hooks::kept_argon2_regions() + 1);
    for (std::size_t i = 0; i < n; ++i) held.push_back(test_hooks::take_argon2_region());
    return held;
  }
  static void give_back(const std::vector<uint8_t*>& held) {
    for (uint8_t* r : held) test_hooks::give_back_argon2_region(r);
  }
};
INSTANTIATE_TEST_SUITE_P(Kernels, KeyDerivationMemory, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WithoutNewAdvice" : "WithNewAdvice"; });

// Pages of the region that are in memory.
std::size_t resident_pages(const uint8_t* region) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  std::vector<unsigned char> in_core(kArgon2RegionBytes / page);
  if (mincore(const_cast<uint8_t*>(region), kArgon2RegionBytes, in_core.data()) != 0) return 0;
  return static_cast<std::size_t>(std::count_if(in_core.begin(), in_core.end(), [](unsigned char c) { return c & 1; }));
}

bool is_mapped(const uint8_t* region) {
  unsigned char in_core = 0;
  return mincore(const_cast<uint8_t*>(region), 1, &in_core) == 0 || errno != ENOMEM;
}

// "<field>: <n> kB" of /proc/self/smaps_rollup, in bytes.
double rollup_bytes(const char* field) {
  std::ifstream in("/proc/self/smaps_rollup");
  std::string line;
  const std::string name = field;
  while (std::getline(in, line)) {
    if (line.compare(0, name.size(), name) == 0) return std::stod(line.substr(name.size())) * 1024;
  }
  ADD_FAILURE() << "no " << field << " in smaps_rollup";
  return 0;
}

// Memory of the process that the system cannot take back without swapping.
double unreclaimable_bytes() { return rollup_bytes("Anonymous:") - rollup_bytes("LazyFree:"); }

constexpr double kRegion = static_cast<double>(kArgon2RegionBytes);

// A new region is in memory before Argon2 touches it, with transparent huge pages and
// without them (turned off for this process alone), so its first pass takes no faults.
TEST_P(KeyDerivationMemory, ANewRegionIsPopulatedBeforeUseWithOrWithoutHugePages) {
  const std::vector<uint8_t> password = random_bytes(20), salt = random_bytes(kArgon2SaltBytes);
  const Key expected = stock_key(password, salt);
  const std::size_t all_pages = kArgon2RegionBytes / static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  for (bool huge_pages_off : {false, true}) {
    SCOPED_TRACE(huge_pages_off ? "huge pages off for the process" : "huge pages as the system has them");
    ASSERT_EQ(prctl(PR_SET_THP_DISABLE, huge_pages_off ? 1 : 0, 0, 0, 0), 0);
    if (huge_pages_off) {
      EXPECT_FALSE(test_hooks::argon2_huge_pages_in_force());
    }
    const std::vector<uint8_t*> held = take_all_and_a_new_one();
    for (uint8_t* r : held) {
      ASSERT_NE(r, nullptr);
      EXPECT_EQ(resident_pages(r), all_pages);
    }
    give_back(held);
    EXPECT_TRUE(test_hooks::kept_argon2_regions_are_wiped());
    // A derivation in the region just mapped.
    const std::vector<uint8_t*> kept = take_all_and_a_new_one();
    test_hooks::give_back_argon2_region(kept.back());
    EXPECT_EQ(derived_key(password, salt), expected);
    give_back({kept.begin(), kept.end() - 1});
  }
}

// After a burst of derivations, however many ran at once, an idle process keeps at most
// one region that the system cannot take back; the pool never keeps more than its bound,
// and what it keeps is wiped and serves the next burst.
TEST_P(KeyDerivationMemory, AnIdleProcessKeepsOneRegionResidentAfterABurst) {
  derived_key(test::bytes_of("pw"), std::vector<uint8_t>(16, 1));
  const double idle_before = unreclaimable_bytes();  // one region among it
  for (int burst = 0; burst < 2; ++burst) {
    SCOPED_TRACE(burst == 0 ? "first burst" : "second burst, on what the first left");
    const std::vector<uint8_t*> held = take_all_and_a_new_one(kMaxKeptArgon2Regions + 2);
    for (uint8_t* r : held) {
      ASSERT_NE(r, nullptr);
      r[0] = r[kArgon2RegionBytes / 2] = r[kArgon2RegionBytes - 1] = 0x5a;  // what a derivation leaves
    }
    EXPECT_EQ(test_hooks::kept_argon2_regions(), 0u);
    EXPECT_GE(unreclaimable_bytes(), idle_before + kRegion * static_cast<double>(held.size() - 1));
    give_back(held);
    EXPECT_LE(test_hooks::kept_argon2_regions(), GetParam() ? 1u : kMaxKeptArgon2Regions);
    EXPECT_GE(test_hooks::kept_argon2_regions(), 1u);
    EXPECT_TRUE(test_hooks::kept_argon2_regions_are_wiped());
    EXPECT_LT(unreclaimable_bytes(), idle_before + kRegion / 4);
  }
  EXPECT_EQ(derived_key(test::bytes_of("pw"), std::vector<uint8_t>(16, 1)),
            stock_key(test::bytes_of("pw"), std::vector<uint8_t>(16, 1)));
}

// A child forked while one thread holds a region in a derivation and another region is
// kept sees neither's contents, keeps none of its parent's regions, and derives as any
// process does.
TEST_P(KeyDerivationMemory, AForkedChildHoldsNoRegionsContents) {
  const std::vector<uint8_t> password = random_bytes(32), salt = random_bytes(kArgon2SaltBytes);
  const Key expected = stock_key(password, salt);
  EXPECT_EQ(derived_key(password, salt), expected);

  std::mutex mutex;
  std::condition_variable changed;
  uint8_t* in_flight = nullptr;
  bool release = false;
  std::thread holder([&] {
    uint8_t* r = test_hooks::take_argon2_region();
    if (r != nullptr) std::memset(r, 0x5a, kArgon2RegionBytes);  // a derivation's state
    std::unique_lock lock(mutex);
    in_flight = r;
    changed.notify_all();
    changed.wait(lock, [&] { return release; });
    lock.unlock();
    if (r != nullptr) test_hooks::give_back_argon2_region(r);
  });
  {
    std::unique_lock lock(mutex);
    changed.wait(lock, [&] { return in_flight != nullptr; });
  }
  // While that derivation runs, another ends and leaves its region kept.
  uint8_t* kept = test_hooks::take_argon2_region();
  if (kept != nullptr) test_hooks::give_back_argon2_region(kept);

  const pid_t child = kept != nullptr ? fork() : -1;
  if (child == 0) {
    int faults = 0;
    if (is_mapped(in_flight) && !sodium_is_zero(in_flight, kArgon2RegionBytes)) faults |= 1;
    if (is_mapped(kept)) faults |= 2;
    if (test_hooks::kept_argon2_regions() != 0) faults |= 4;
    Key key{};
    if (!argon2id_derive(password, salt, key) || key != expected) faults |= 8;
    if (test_hooks::kept_argon2_regions() != 1) faults |= 16;
    _exit(faults);
  }
  int status = -1;
  if (child > 0 && waitpid(child, &status, 0) != child) status = -1;
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  holder.join();
  ASSERT_NE(kept, nullptr);
  ASSERT_GT(child, 0);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: in-flight contents, 2: kept region mapped, 4: regions kept, "
                                       "8: wrong key, 16: no region kept after a derivation";
  EXPECT_EQ(derived_key(password, salt), expected);  // and the parent's pool works on
}
#endif  // __linux__

// With every region in use, a derivation maps one of its own and unmaps it afterwards:
// the process never keeps more than its bound. A region given back serves the next one.
TEST(KeyDerivation, WithEveryRegionInUseADerivationMapsOneAndKeepsNoneBeyondTheBound) {
  const std::vector<uint8_t> salt = random_bytes(kArgon2SaltBytes);
  const Key expected = stock_key(test::bytes_of("pw"), salt);
  std::vector<uint8_t*> held;
  for (std::size_t i = 0; i < kMaxKeptArgon2Regions; ++i) held.push_back(test_hooks::take_argon2_region());
  EXPECT_EQ(derived_key(test::bytes_of("pw"), salt), expected);
  EXPECT_EQ(test_hooks::kept_argon2_regions(), 0u);
  test_hooks::give_back_argon2_region(held.back());
  held.pop_back();
  EXPECT_EQ(test_hooks::kept_argon2_regions(), 1u);
  EXPECT_EQ(derived_key(test::bytes_of("pw"), salt), expected);
  EXPECT_EQ(test_hooks::kept_argon2_regions(), 1u);
  for (uint8_t* r : held) test_hooks::give_back_argon2_region(r);
}

class KeyDerivationRefused : public test::WalletFixture {
 protected:
  void TearDown() override { test_hooks::refuse_argon2_regions = false; }
};

TEST_F(KeyDerivationRefused, AnswersPasswordHashFailedCommitsNothingAndTheNextCallWorks) {
  const DIDInfo did = create();
  const std::string file = wallet_text();
  const auto records = snapshot();
  test_hooks::refuse_argon2_regions = true;
  const uint64_t before = test_hooks::key_derivations.load();
  EXPECT_DID_ERROR(derive_key(test::bytes_of("pw"), std::vector<uint8_t>(16, 1)), DidErrorKind::Crypto,
                   "Password hash failed");
  EXPECT_EQ(test_hooks::key_derivations.load(), before + 1);
  EXPECT_DID_ERROR(wallet_->create_did(std::nullopt, std::nullopt), DidErrorKind::Crypto, "Password hash failed");
  EXPECT_DID_ERROR(wallet_->sign_with_did(did.id, test::bytes_of("data")), DidErrorKind::Crypto,
                   "Password hash failed");
  EXPECT_EQ(wallet_text(), file);
  EXPECT_EQ(snapshot(), records);

  test_hooks::refuse_argon2_regions = false;
  EXPECT_TRUE(wallet_->sign_with_did(did.id, test::bytes_of("data")).ok());
  create();
}

// Derivations on many threads at once share the pool: every key stays crypto_pwhash's, and
// the regions kept afterwards are bounded and wiped, with at most one of them resident.
TEST(KeyDerivationConcurrency, ParallelDerivationsEqualCryptoPwhash) {
  constexpr int kThreads = 8, kPerThread = 2;
  std::vector<std::vector<uint8_t>> passwords, salts;
  std::vector<Key> expected;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    passwords.push_back(random_bytes(static_cast<std::size_t>(i) * 7));
    salts.push_back(random_bytes(kArgon2SaltBytes));
    expected.push_back(stock_key(passwords.back(), salts.back()));
  }
  derived_key(passwords[0], salts[0]);
#if defined(__linux__) && !defined(VELNO_TEST_SANITIZED)
  const double idle_before = unreclaimable_bytes();  // one region among it
#endif
  std::vector<Key> got(expected.size());
  std::barrier start(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      start.arrive_and_wait();
      for (int i = t * kPerThread; i < (t + 1) * kPerThread; ++i) {
        if (!argon2id_derive(passwords[i], salts[i], got[i])) got[i].fill(0xee);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(got[i], expected[i]) << i;
  EXPECT_GE(test_hooks::kept_argon2_regions(), 1u);
  EXPECT_LE(test_hooks::kept_argon2_regions(), static_cast<std::size_t>(kThreads));
  EXPECT_TRUE(test_hooks::kept_argon2_regions_are_wiped());
#if defined(__linux__) && !defined(VELNO_TEST_SANITIZED)  // sanitizers' shadow memory grows with the work
  EXPECT_LT(unreclaimable_bytes(), idle_before + kRegion / 4);
#endif
}

}  // namespace
}  // namespace velno
