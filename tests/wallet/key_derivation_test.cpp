#include "wallet/key_derivation.hpp"

#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <barrier>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sodium.h>

#include "support/sanitized.hpp"
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

// The pairs are split over a few test cases, which ctest runs side by side.
class KeyDerivationAgreement : public ::testing::TestWithParam<int> {};

TEST_P(KeyDerivationAgreement, EqualsCryptoPwhashForEveryKindOfPassword) {
  ASSERT_GE(sodium_init(), 0);
  std::vector<std::vector<uint8_t>> passwords;
  if (GetParam() == 0) {
    passwords = {
        {},                                          // the empty password
        {0x00},                                      // one NUL byte
        {0xff, 0xfe, 0xc0, 0x80, 0xed, 0xa0, 0x80},  // not UTF-8
        std::vector<uint8_t>(4096, 'a'),             // long
        random_bytes(1 << 20),                       // longer than any block of the hash
    };
  }
#ifdef VELNO_TEST_SANITIZED
  constexpr std::size_t kRandomPairs = 10;
#else
  constexpr std::size_t kRandomPairs = 50;
#endif
  for (std::size_t i = 0; i < kRandomPairs; ++i) passwords.push_back(random_bytes(randombytes_uniform(300)));
  for (std::size_t i = 0; i < passwords.size(); ++i) {
    const std::vector<uint8_t> salt = random_bytes(kArgon2SaltBytes);
    ASSERT_EQ(derived_key(passwords[i], salt), stock_key(passwords[i], salt))
        << "password " << i << " of " << passwords[i].size() << " bytes";
  }
}
INSTANTIATE_TEST_SUITE_P(Shards, KeyDerivationAgreement, ::testing::Range(0, 4));

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

TEST(KeyDerivation, KeepsNoMoreRegionsThanRanAtOnceNorAboveTheBoundAndKeepsThemWiped) {
  const std::size_t kept_before = test_hooks::kept_argon2_regions();  // left by earlier tests of this process
  for (int i = 0; i < 3; ++i) derived_key(test::bytes_of("pw"), std::vector<uint8_t>(16, 1));
  EXPECT_EQ(test_hooks::kept_argon2_regions(), std::max<std::size_t>(kept_before, 1));
  EXPECT_TRUE(test_hooks::kept_argon2_regions_are_wiped());

  // More at once than the pool keeps: each is a region of its own, the surplus is unmapped.
  std::vector<uint8_t*> held;
  for (std::size_t i = 0; i < kMaxKeptArgon2Regions + 2; ++i) {
    held.push_back(test_hooks::take_argon2_region());
    ASSERT_NE(held.back(), nullptr);
    held.back()[0] = held.back()[kArgon2RegionBytes - 1] = 0x5a;  // what a derivation leaves
  }
  EXPECT_EQ(test_hooks::kept_argon2_regions(), 0u);
  for (uint8_t* r : held) test_hooks::give_back_argon2_region(r);
  EXPECT_EQ(test_hooks::kept_argon2_regions(), kMaxKeptArgon2Regions);
  EXPECT_TRUE(test_hooks::kept_argon2_regions_are_wiped());
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
// the regions kept afterwards are bounded and wiped.
TEST(KeyDerivationConcurrency, ParallelDerivationsEqualCryptoPwhash) {
  constexpr int kThreads = 8, kPerThread = 2;
  std::vector<std::vector<uint8_t>> passwords, salts;
  std::vector<Key> expected;
  for (int i = 0; i < kThreads * kPerThread; ++i) {
    passwords.push_back(random_bytes(static_cast<std::size_t>(i) * 7));
    salts.push_back(random_bytes(kArgon2SaltBytes));
    expected.push_back(stock_key(passwords.back(), salts.back()));
  }
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
}

}  // namespace
}  // namespace velno
