// What the library does with the password a host's callback answers: a write proves it
// on the records already sealed, a change of password puts under the new one every
// record that opens under the old one, and a NULL answer is refused.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/base58.hpp"
#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;

constexpr const char* kRight = "the wallet's password";
constexpr const char* kWrong = "a mistyped password";
const std::string kSeed = "passwords-test-seed-0123456789abcdef";
const std::string kOtherSeed = "passwords-test-other-seed-0123456789";
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
const char* third_password() { return "a third password"; }

// The Base58 text with one bit of its decoded bytes flipped: damage of the kind a disk
// or a hand-edit leaves, which keeps the text's alphabet and the bytes' length.
std::string flip_a_bit(const std::string& text) {
  auto bytes = base58_decode(text, text.size());
  EXPECT_TRUE(bytes.ok()) << text;
  if (!bytes.ok()) return text;
  std::vector<uint8_t> flipped = std::move(**bytes);
  flipped[flipped.size() / 2] ^= 0x10;
  return base58_encode(flipped);
}

class HostPasswords : public ::testing::Test {
 protected:
  void SetUp() override {
    g_answer = kRight;
    ASSERT_EQ(call(&Library::set_velno_home_path, home_.path().c_str()), R"({"code":"OK"})");
  }
  std::string wallet_file(const std::string& alias) const {
    return home_.path() + "/brox-wallet/qxdwallet_" + alias + ".json";
  }
  json records(const std::string& alias) const { return json::parse(test::read_file(wallet_file(alias))); }
  void write_records(const std::string& alias, const json& records) const {
    test::write_file(wallet_file(alias), records.dump());
  }
  // Opens `alias` under `password` and stores `data` under `key` there.
  uint64_t open_with_datum(const std::string& alias, const std::string& seed, const char* password, const char* key,
                           const char* data) {
    g_answer = password;
    const uint64_t h = open(alias, seed.c_str());
    EXPECT_EQ(call(&Library::wallet_store_data, h, key, data), R"({"code":"OK"})");
    g_answer = kRight;
    return h;
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

// Wallets holding a stray record (sealed under another password, as older versions
// could leave) or a damaged one, put together from records the library sealed. A
// seedless create_agent writes a DID: only key pairs prove its password while the
// wallet holds one, data records only in a wallet without. Refused: no handle, the
// callback asked once, the file as it was.
TEST_F(HostPasswords, OnlyKeyPairsProveAPasswordWhileTheWalletHoldsOne) {
  const uint64_t h = open_with_datum("right", kSeed, kRight, "k", "djA=");
  ASSERT_EQ(json::parse(call(&Library::create_did, h, nullptr))["code"], "OK");
  open_with_datum("typo", kOtherSeed, kWrong, "s", "c3RyYXk=");

  const json right = records("right"), typo = records("typo");
  std::vector<std::string> pairs;
  for (const auto& entry : right.items())
    if (entry.value()["type"] == "KeyPair") pairs.push_back(entry.key());
  ASSERT_EQ(pairs.size(), 2u);
  json pairs_and_stray = right;   // two key pairs and a datum under the right password
  pairs_and_stray["s::String"] = typo["s::String"];
  json one_pair_and_stray = pairs_and_stray;   // as older versions left them: one key pair, a stray datum
  one_pair_and_stray.erase(pairs[1]);
  one_pair_and_stray.erase("k::String");
  json one_damaged = right;   // a key pair's outer layer that no password opens
  one_damaged[pairs[0]]["record_security"]["encrypted_key"] = right["k::String"]["record_security"]["encrypted_key"];
  json only_data;
  only_data["k::String"] = right["k::String"];
  only_data["s::String"] = typo["s::String"];

  struct Case {
    const char* what;
    const json* wallet;
    const char* password;
    bool opens;
  };
  const std::vector<Case> cases = {
      {"one key pair and a stray datum, the datum's password", &one_pair_and_stray, kWrong, false},
      {"one key pair and a stray datum, the key pair's password", &one_pair_and_stray, kRight, true},
      {"two key pairs and a stray datum, the datum's password", &pairs_and_stray, kWrong, false},
      {"two key pairs, one damaged, the right password", &one_damaged, kRight, true},
      {"two key pairs, one damaged, a wrong password", &one_damaged, kWrong, false},
      {"only data records, the password of one", &only_data, kWrong, true},
      {"only data records, another password", &only_data, "neither of them", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string alias = "proof" + std::to_string(++n);
    write_records(alias, *c.wallet);
    const std::string before = test::read_file(wallet_file(alias));
    g_answer = c.password;
    g_calls = 0;
    const json answer = json::parse(call(&Library::create_agent, alias.c_str(), nullptr, &counted_password));
    EXPECT_EQ(g_calls.load(), 1);
    if (c.opens) {
      EXPECT_EQ(answer["code"], "OK") << answer.dump();
      EXPECT_EQ(records(alias).size(), c.wallet->size() + 2);
    } else {
      EXPECT_EQ(answer.dump(), kLoginFailed);
      EXPECT_EQ(test::read_file(wallet_file(alias)), before);
    }
  }
  g_answer = kRight;
}

// A change of password re-seals every record that opens under the old password and
// leaves, byte for byte, those that open under neither: a stray one and a damaged one
// no longer block it. The stray record's password is not the wallet's: refused.
TEST_F(HostPasswords, AChangeLeavesRecordsItCannotOpenAndRefusesAStrayRecordsPassword) {
  open_with_datum("good", kSeed, kRight, "k", "djA=");
  open_with_datum("other", kOtherSeed, kWrong, "s", "c3RyYXk=");

  json mixed = records("good");
  mixed["s::String"] = records("other")["s::String"];
  json damaged = mixed["k::String"];
  damaged["record_security"]["encrypted_key"] = flip_a_bit(damaged["record_security"]["encrypted_key"]);
  mixed["d::String"] = damaged;
  write_records("mixed", mixed);
  // The seed's DID is in the wallet: the opening writes nothing.
  const uint64_t h = open("mixed", kSeed.c_str());
  ASSERT_NE(h, 0u);
  const std::string before = test::read_file(wallet_file("mixed"));

  for (const char* old_password : {kWrong, "neither"}) {
    SCOPED_TRACE(old_password);
    g_answer = old_password;
    EXPECT_EQ(call(&Library::change_password, h, &other_password), kLoginFailed);
    EXPECT_EQ(test::read_file(wallet_file("mixed")), before);
  }
  g_answer = kRight;
  ASSERT_EQ(call(&Library::change_password, h, &other_password), R"({"code":"OK"})");
  const json after = records("mixed");
  ASSERT_EQ(after.size(), mixed.size());
  for (const char* left : {"s::String", "d::String"}) EXPECT_EQ(after[left], mixed[left]) << left;
  std::string pair;
  for (const auto& entry : after.items())
    if (entry.value()["type"] == "KeyPair") pair = entry.key();
  for (const std::string& resealed : {pair, std::string("k::String")})
    EXPECT_NE(after[resealed]["record_security"], mixed[resealed]["record_security"]) << resealed;

  // The re-sealed records open under the new password, the others as before.
  g_answer = other_password();
  EXPECT_EQ(call(&Library::wallet_get_data, h, "k"), R"({"code":"OK","value":{"Ok":"djA="}})");
  const std::string did = pair.substr(0, pair.find("::"));
  EXPECT_EQ(json::parse(call(&Library::sign_with_did, h, did.c_str(), "QUJD"))["code"], "OK");
  g_answer = kRight;
  EXPECT_EQ(call(&Library::wallet_get_data, h, "d"),
            R"({"code":"OK","value":{"Err":{"code":"WalletLoginFailed","msg":"Cannot read wallet. Is the Pin Correct?"}}})");
  g_answer = kWrong;
  EXPECT_EQ(call(&Library::wallet_get_data, h, "s"), R"({"code":"OK","value":{"Ok":"c3RyYXk="}})");
  g_answer = kRight;
}

// After a change answered OK the old password proves nothing, also where the change
// could not open a record's data: a record whose record key opens under the old
// password is put under the new one, its data and level2 nonce kept byte for byte. The
// controls: a record whose record key opens under no password stays as it is, and a
// clean wallet. Each wallet is changed from kRight to another password; then the old
// password is refused by a store, a seedless opening and a change, and the new one is
// accepted by all three.
TEST_F(HostPasswords, AfterAChangeTheOldPasswordProvesNothingWhateverADamagedRecordHolds) {
  const uint64_t base = open_with_datum("base", kSeed, kRight, "k1", "djA=");
  ASSERT_EQ(call(&Library::wallet_store_data, base, "k2", "djE="), R"({"code":"OK"})");
  ASSERT_EQ(json::parse(call(&Library::create_did, base, nullptr))["code"], "OK");
  const json two_pairs = records("base");   // two key pairs, their descriptions, two data records
  std::vector<std::string> pairs;
  for (const auto& entry : two_pairs.items())
    if (entry.value()["type"] == "KeyPair") pairs.push_back(entry.key());
  ASSERT_EQ(pairs.size(), 2u);
  const std::string least_pair = std::min(pairs[0], pairs[1]);
  open("single", kSeed.c_str());
  const json one_pair = records("single");   // the seed's DID alone
  std::string only_pair;
  for (const auto& entry : one_pair.items())
    if (entry.value()["type"] == "KeyPair") only_pair = entry.key();
  json data_only = two_pairs;   // the descriptions and the two data records
  for (const std::string& p : pairs) data_only.erase(p);

  auto damage = [](json wallet, const std::string& key, const char* member) {
    json& field = std::string(member) == "data" ? wallet[key]["data"] : wallet[key]["record_security"][member];
    field = flip_a_bit(field.get<std::string>());
    return wallet;
  };
  struct Case {
    const char* what;
    json wallet;
    std::string damaged;   // the record key of the damaged record; empty: none
    bool data_kept;        // its record key opens under the old password
  };
  const std::vector<Case> cases = {
      {"a key pair's data", damage(two_pairs, least_pair, "data"), least_pair, true},
      {"a key pair's level2 nonce", damage(two_pairs, least_pair, "level2_nonce"), least_pair, true},
      {"the only key pair's data", damage(one_pair, only_pair, "data"), only_pair, true},
      {"a data-only wallet's least record's data", damage(data_only, "k1::String", "data"), "k1::String", true},
      {"a data-only wallet's least record's level2 nonce", damage(data_only, "k1::String", "level2_nonce"),
       "k1::String", true},
      {"a key pair's encrypted key", damage(two_pairs, least_pair, "encrypted_key"), least_pair, false},
      {"a clean wallet", two_pairs, "", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string alias = "changed" + std::to_string(++n);
    write_records(alias, c.wallet);
    g_answer = kRight;
    const uint64_t h = open(alias, kSeed.c_str());   // the seed's DID is there: nothing written
    ASSERT_NE(h, 0u);
    ASSERT_EQ(call(&Library::change_password, h, &other_password), R"({"code":"OK"})");
    auto expect_damage_kept = [&] {
      if (c.damaged.empty()) return;
      const json now = records(alias)[c.damaged], was = c.wallet[c.damaged];
      EXPECT_EQ(now["data"], was["data"]);
      EXPECT_EQ(now["record_security"]["level2_nonce"], was["record_security"]["level2_nonce"]);
      if (c.data_kept) {
        EXPECT_NE(now["record_security"]["salt"], was["record_security"]["salt"]);
      } else {
        EXPECT_EQ(now, was);
      }
    };
    expect_damage_kept();
    int copies = 0;
    auto open_copy_without_seed = [&] {
      const std::string copy = alias + "-copy" + std::to_string(++copies);
      std::filesystem::copy_file(wallet_file(alias), wallet_file(copy));
      return call(&Library::create_agent, copy.c_str(), nullptr, &counted_password);
    };

    // The old password: refused everywhere, the file as it was.
    const std::string changed = test::read_file(wallet_file(alias));
    EXPECT_EQ(call(&Library::wallet_store_data, h, "k3", "djI="), kLoginFailed);
    EXPECT_EQ(open_copy_without_seed(), kLoginFailed);
    EXPECT_EQ(call(&Library::change_password, h, &third_password), kLoginFailed);
    EXPECT_EQ(test::read_file(wallet_file(alias)), changed);

    // The new password: accepted everywhere; a datum whose data was kept still fails
    // to read, now under the new password.
    g_answer = other_password();
    if (c.data_kept && c.damaged == "k1::String") {
      EXPECT_EQ(call(&Library::wallet_get_data, h, "k1"),
                R"({"code":"OK","value":{"Err":{"code":"Crypto","msg":"Box easy open failed"}}})");
    }
    EXPECT_EQ(call(&Library::wallet_store_data, h, "k3", "djI="), R"({"code":"OK"})");
    EXPECT_EQ(json::parse(open_copy_without_seed())["code"], "OK");
    EXPECT_EQ(call(&Library::change_password, h, &third_password), R"({"code":"OK"})");
    expect_damage_kept();
    g_answer = third_password();
    EXPECT_EQ(call(&Library::wallet_get_data, h, "k3"), R"({"code":"OK","value":{"Ok":"djI="}})");
  }
  g_answer = kRight;
}

}  // namespace
}  // namespace velno::host
