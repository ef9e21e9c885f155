// One failing call never takes down the host or the other agents: openings that fail
// in any way, and memory that runs out while a large wallet is read.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <sodium.h>

#include "common/base58.hpp"
#include "host/host_library.hpp"
#include "support/test_support.hpp"

// Linux enforces an address-space limit; sanitizers reserve address space of their own.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define VELNO_UNDER_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || __has_feature(memory_sanitizer)
#define VELNO_UNDER_SANITIZER 1
#endif
#endif
#if defined(__linux__) && !defined(VELNO_UNDER_SANITIZER)
#define VELNO_ADDRESS_SPACE_LIMIT 1
#endif

namespace velno::host {
namespace {

using nlohmann::json;

const char* password() { return "isolation password"; }
// Stands for any failure that unwinds out of an opening (here: while the key pair of
// the new DID is sealed).
const char* throwing_password() { throw std::runtime_error("host callback failed"); }

const std::string kHealthySeed = "isolation-healthy-seed-000000000";
const std::string kLargeSeed = "isolation-large-wallet-seed-0000";

class FailureIsolation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(call(&Library::set_velno_home_path, home.path().c_str()), R"({"code":"OK"})");
    std::filesystem::create_directories(home.path() + "/brox-wallet");
  }
  std::string wallet_file(const std::string& alias) const {
    return home.path() + "/brox-wallet/./qxdwallet_" + alias + ".json";
  }
  bool answers(uint64_t handle) const { return json::parse(call(&Library::list_dids, handle))["code"] == "OK"; }

  test::TempDir home;
};

// The handle of an OK answer of create_agent. Handles are counted from what the suite's
// earlier tests took, so that each test holds whichever order the tests run in.
uint64_t handle_of(const std::string& answer) {
  const json j = json::parse(answer);
  EXPECT_EQ(j["code"], "OK") << answer;
  return j["code"] == "OK" ? j["value"]["handle"].get<uint64_t>() : 0;
}

TEST_F(FailureIsolation, AFailedOpeningLeavesEveryAgentWorkingAndItsAliasFree) {
  const uint64_t healthy = handle_of(call(&Library::create_agent, "healthy", kHealthySeed.c_str(), &password));
  ASSERT_NE(healthy, 0u);

  // A wallet file beyond the size bound (sparse: it takes no room) is refused unread.
  const std::string huge = wallet_file("huge");
  test::write_file(huge, "");
  std::filesystem::resize_file(huge, uintmax_t{1} << 40);
  const std::string refused = call(&Library::create_agent, "huge", nullptr, &password);
  EXPECT_EQ(refused.rfind(R"({"code":"IO","value":"Os { code: )", 0), 0u) << refused;
  EXPECT_NE(refused.find("kind: FileTooLarge"), std::string::npos) << refused;
  // An exception inside the opening is answered, and marks no registry lock failed.
  EXPECT_EQ(call(&Library::create_agent, "thrower", nullptr, &throwing_password),
            failure("General", "Internal error"));

  EXPECT_TRUE(answers(healthy));
  EXPECT_EQ(call(&Library::create_agent, "healthy", nullptr, &password), ok_handle(healthy));
  EXPECT_EQ(call(&Library::create_agent, "other", nullptr, &password), ok_handle(healthy + 1));
  // Both aliases can be opened again, and the failures took no handle.
  std::filesystem::resize_file(huge, 0);
  EXPECT_EQ(call(&Library::create_agent, "huge", nullptr, &password), ok_handle(healthy + 2));
  EXPECT_EQ(call(&Library::create_agent, "thrower", nullptr, &password), ok_handle(healthy + 3));
  EXPECT_TRUE(answers(healthy + 3));
}

#ifdef VELNO_ADDRESS_SPACE_LIMIT
// `count` DIDs written as wallet text: each a description with metadata (a tree in
// memory) and a key-pair record whose sealed data is filler, never opened. One more
// DID is that of `seed`, so that an opening with that seed only reads the wallet.
std::string large_wallet(int count, const std::string& seed) {
  const std::string filler(260, 'z');
  std::string text = "{";
  auto add = [&](const std::vector<uint8_t>& pk, const std::string& seed58) {
    const std::string did = base58_encode(std::span<const uint8_t>(pk).first(16));
    const std::string key = R"({"raw_key":")" + did + R"(","record_type":")";
    if (text.size() > 1) text += ',';
    text += "\"" + did + R"(::DIDInfo":{"key":)" + key + R"(DIDInfo"},"type":"Did","date":1700000000,"data":{"id":")" +
            did + R"(","metadata":{"index":")" + did + R"(","note":"filler"},"publicDID":false,"publicKey":")" +
            base58_encode(pk) + R"(","seed":)" + seed58 + "}}";
    text += ",\"" + did + R"(::KeyPair":{"key":)" + key + R"(KeyPair"},"type":"KeyPair","date":1700000000,)" +
            R"("record_security":{"encrypted_key":")" + filler.substr(0, 66) + R"(","salt":")" + filler.substr(0, 22) +
            R"(","level1_nonce":")" + filler.substr(0, 33) + R"(","level2_nonce":")" + filler.substr(0, 33) +
            R"("},"data":")" + filler + "\"}";
  };
  for (int i = 0; i < count; ++i) {
    std::vector<uint8_t> pk(32, 0x5a);
    for (int b = 0; b < 4; ++b) pk[b] = static_cast<uint8_t>(i >> (8 * b));
    add(pk, "null");
  }
  std::vector<uint8_t> pk(crypto_sign_PUBLICKEYBYTES), sk(crypto_sign_SECRETKEYBYTES);
  crypto_sign_seed_keypair(pk.data(), sk.data(), reinterpret_cast<const unsigned char*>(seed.data()));
  add(pk, "\"" + base58_encode(std::span(reinterpret_cast<const uint8_t*>(seed.data()), seed.size())) + "\"");
  return text + "}";
}

std::size_t address_space_in_use() {
  std::ifstream statm("/proc/self/statm");
  std::size_t pages = 0;
  statm >> pages;
  return pages * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

bool is_envelope(const std::string& text) {
  json j = json::parse(text, nullptr, false);
  return j.is_object() && j.contains("code") && j["code"].is_string() &&
         (j["code"] == "OK" || (j.size() == 2 && j["value"].is_string()));
}

enum ChildExit { kOpened = 10, kRefused = 11 };

// In a forked child: opens the large wallet under an address-space limit, lifts the
// limit, and checks that the process, the healthy agent and the alias still work.
int open_under_limit(rlim_t limit, uint64_t healthy) {
  rlimit old{};
  if (getrlimit(RLIMIT_AS, &old) != 0) return 2;
  rlimit lowered = old;
  lowered.rlim_cur = limit;
  if (setrlimit(RLIMIT_AS, &lowered) != 0) return 2;
  char* raw = lib().create_agent("large", kLargeSeed.c_str(), &password);
  setrlimit(RLIMIT_AS, &old);
  const std::string answer = take(raw);
  if (!is_envelope(answer)) return 3;
  if (json::parse(call(&Library::list_dids, healthy))["code"] != "OK") return 4;
  // A failure answer took no handle, however late it failed.
  const bool failed = answer.rfind(R"({"code":"OK")", 0) != 0;
  if (failed && call(&Library::list_dids, healthy + 1) != failure("InvalidState", "Agent with handle not found.")) return 6;
  // Opened now (or still): the handle after the healthy agent's, whatever came before.
  if (call(&Library::create_agent, "large", kLargeSeed.c_str(), &password) != ok_handle(healthy + 1)) return 5;
  return failed ? kRefused : kOpened;
}
#endif

TEST_F(FailureIsolation, RunningOutOfMemoryWhileOpeningAnswersAndTheProcessGoesOn) {
#ifndef VELNO_ADDRESS_SPACE_LIMIT
  GTEST_SKIP() << "needs Linux's address-space limit, which sanitizers do not allow";
#else
  {
    const std::string text = large_wallet(10000, kLargeSeed);
    ASSERT_GT(text.size(), 9'000'000u) << text.size();
    test::write_file(wallet_file("large"), text);
  }
  // An alias of this test's own: its handle is the last one taken, so the children's
  // opening of "large" gets the next.
  const uint64_t healthy = handle_of(call(&Library::create_agent, "oom-healthy", kHealthySeed.c_str(), &password));
  ASSERT_NE(healthy, 0u);

  constexpr std::size_t kMiB = std::size_t{1} << 20;
  int opened = 0, refused = 0;
  for (std::size_t extra = 3 * kMiB; extra <= 90 * kMiB; extra += 3 * kMiB) {
    std::fflush(nullptr);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    // Measured in the child, which holds less than its parent: none of its key regions.
    if (child == 0) _exit(open_under_limit(static_cast<rlim_t>(address_space_in_use() + extra), healthy));
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "signal " << WTERMSIG(status) << " at " << extra / kMiB << " MiB above use";
    const int code = WEXITSTATUS(status);
    ASSERT_TRUE(code == kOpened || code == kRefused) << "check " << code << " failed at " << extra / kMiB << " MiB";
    (code == kOpened ? opened : refused)++;
  }
  // The range reaches from too little memory to enough.
  EXPECT_GT(refused, 0);
  EXPECT_GT(opened, 0);
  std::printf("opened %d times, refused %d times\n", opened, refused);
#endif
}

}  // namespace
}  // namespace velno::host
