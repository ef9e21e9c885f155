// What the library does with the password a host's callback answers: a write proves it
// on the records already sealed, and a NULL answer is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;

constexpr const char* kRight = "the wallet's password";
constexpr const char* kWrong = "a mistyped password";
const std::string kSeed = "passwords-test-seed-0123456789abcdef";
const std::string kLoginFailed = failure("WalletLoginFailed", "Cannot read wallet. Is the Pin Correct?");
const std::string kNullPassword = failure("InvalidParameter", "Password callback returned NULL");

std::atomic<int> g_calls{0};
std::atomic<const char*> g_answer{kRight};
const char* counted_password() {
  ++g_calls;
  return g_answer.load();
}
const char* null_password() {
  ++g_calls;
  return nullptr;
}
const char* other_password() { return "another password"; }

class HostPasswords : public ::testing::Test {
 protected:
  void SetUp() override {
    g_answer = kRight;
    ASSERT_EQ(call(&Library::set_velno_home_path, home_.path().c_str()), R"({"code":"OK"})");
  }
  std::string wallet_file(const std::string& alias) const {
    return home_.path() + "/brox-wallet/qxdwallet_" + alias + ".json";
  }
  uint64_t open(const std::string& alias, const char* seed) {
    json answer = json::parse(call(&Library::create_agent, alias.c_str(), seed, &counted_password));
    EXPECT_EQ(answer["code"], "OK") << answer.dump();
    return answer.value("value", json::object()).value("handle", uint64_t{0});
  }

  test::TempDir home_;
};

// Every write path, under the wallet's password, a wrong one and NULL: the answer, how
// often the callback was asked, and the wallet file's bytes.
TEST_F(HostPasswords, WritesProveThePasswordOnceAndStoreNothingUnderAnotherOne) {
  const uint64_t h = open("base", kSeed.c_str());
  ASSERT_NE(h, 0u);
  ASSERT_EQ(call(&Library::wallet_store_data, h, "k", "djA="), R"({"code":"OK"})");
  int copies = 0;
  // create_agent on a wallet that holds sealed records: a copy of the base wallet under
  // a new alias, since a process opens an alias once.
  auto open_copy = [&](const char* seed) {
    const std::string alias = "copy" + std::to_string(++copies);
    std::filesystem::copy_file(wallet_file("base"), wallet_file(alias));
    return std::pair{alias, call(&Library::create_agent, alias.c_str(), seed, &counted_password)};
  };
  struct Path {
    const char* what;
    std::function<std::pair<std::string, std::string>()> write;   // the alias written, the answer
  };
  const std::vector<Path> paths = {
      {"create_agent without a seed", [&] { return open_copy(nullptr); }},
      {"create_agent with a new seed", [&] { return open_copy("a-seed-that-this-wallet-does-not-hold"); }},
      {"create_did without a seed", [&] { return std::pair{std::string("base"), call(&Library::create_did, h, nullptr)}; }},
      {"create_did with a new seed",
       [&] { return std::pair{std::string("base"), call(&Library::create_did, h, "another-seed-of-at-least-32-bytes")}; }},
      {"wallet_store_data", [&] { return std::pair{std::string("base"), call(&Library::wallet_store_data, h, "k", "djE=")}; }},
  };
  struct Answering {
    const char* password;
    const std::string* refusal;   // null: the write succeeds
  };
  for (const Answering a : {Answering{kWrong, &kLoginFailed}, Answering{nullptr, &kNullPassword}, Answering{kRight, nullptr}}) {
    for (const Path& path : paths) {
      SCOPED_TRACE(std::string(path.what) + " answering " + (a.password ? a.password : "NULL"));
      const std::string base_before = test::read_file(wallet_file("base"));
      g_answer = a.password;
      g_calls = 0;
      const auto [alias, answer] = path.write();
      g_answer = kRight;
      EXPECT_EQ(g_calls.load(), 1);
      if (a.refusal) {
        EXPECT_EQ(answer, *a.refusal);
        EXPECT_EQ(test::read_file(wallet_file(alias)), base_before);   // a copy starts as the base
      } else {
        EXPECT_EQ(json::parse(answer)["code"], "OK") << answer;
      }
    }
  }
  // A failed opening took no handle, and its alias opens once the password is right.
  EXPECT_EQ(call(&Library::create_agent, "copy5", nullptr, &counted_password), ok_handle(h + 1));
  EXPECT_EQ(call(&Library::create_agent, "copy1", nullptr, &counted_password), ok_handle(h + 3));
  // What was refused left nothing behind: the datum is the last one stored.
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"), R"({"code":"OK","value":{"Ok":"djE="}})");
}

// A callback answering NULL is refused wherever a password is asked, before anything
// changes; a fetch carries the refusal inside its value like any failed fetch.
TEST_F(HostPasswords, NullPasswordIsRefusedEverywhere) {
  const uint64_t h = open("reads", kSeed.c_str());
  ASSERT_NE(h, 0u);
  ASSERT_EQ(call(&Library::wallet_store_data, h, "k", "djA="), R"({"code":"OK"})");
  const std::string did = json::parse(call(&Library::list_dids, h))["value"][0]["id"];
  const std::string before = test::read_file(wallet_file("reads"));
  g_answer = nullptr;
  g_calls = 0;
  EXPECT_EQ(call(&Library::sign_with_did, h, did.c_str(), "QUJD"), kNullPassword);
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"),
            R"({"code":"OK","value":{"Err":{"code":"InvalidParameter","msg":"Password callback returned NULL"}}})");
  // The agent's callback answers NULL (old password), then the new one does.
  EXPECT_EQ(call(&Library::change_password, h, &other_password), kNullPassword);
  g_answer = kRight;
  EXPECT_EQ(call(&Library::change_password, h, &null_password), kNullPassword);
  EXPECT_EQ(g_calls.load(), 5);
  EXPECT_EQ(test::read_file(wallet_file("reads")), before);
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"), R"({"code":"OK","value":{"Ok":"djA="}})");
}

}  // namespace
}  // namespace velno::host
