// Many host threads at once: every agent call on shared and separate agents while new
// agents register and one thread changes a shared agent's password. A watchdog turns a
// deadlock into a failure; afterwards every acknowledged DID and datum must be there.
// Also: a poisoned lock answers SyncError and the process keeps answering.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "agent/agent_registry.hpp"
#include "host_answer.hpp"
#include "support/test_support.hpp"
#include "velno_core.h"
#include "wallet_inspect.hpp"
#include "watchdog.hpp"

namespace velno::reliability {
namespace {

constexpr const char* kSeed = "concurrency-test-seed-0123456789abcdef";
constexpr const char* kData = "AAECAwQFBgc=";
const char* const kSharedPasswords[] = {"shared-pw-0", "shared-pw-1", "shared-pw-2", "shared-pw-3"};
std::atomic<int> shared_password{0};
const char* shared_cb() { return kSharedPasswords[shared_password.load()]; }
const char* next_shared_cb() { return kSharedPasswords[shared_password.load() + 1]; }
const char* solo_cb() { return "solo-password"; }

// What one thread was told, per alias.
struct Acknowledged {
  std::map<std::string, std::map<std::string, std::string>> dids;   // alias -> id -> publicKey
  std::map<std::string, std::map<std::string, std::string>> data;   // alias -> key -> value
  std::vector<std::string> faults;
};

uint64_t register_alias(const std::string& alias, PasswordCallback cb, Acknowledged& ack) {
  Answer a = take(create_agent(alias.c_str(), kSeed, cb));
  if (!a.ok()) {
    ack.faults.push_back("create_agent " + alias + ": " + a.text);
    return 0;
  }
  return a.value["handle"].get<uint64_t>();
}

// wallet_get_data answers a failed fetch as OK with the error inside: lifts that error
// into the code (a missing key stays OK).
Answer fetched(char* raw) {
  Answer a = take(raw);
  if (a.ok() && a.value.is_object() && a.value.contains("Err") && a.value["Err"].value("code", "") != "RecordNotFound")
    a.code = a.value["Err"].value("code", "Err");
  return a;
}

// One random agent call. `change_seq` is odd while the shared password is being
// changed: a shared-agent call that overlaps a change may meet the other password,
// which the host cannot avoid (it switches its callback only once the change has
// answered): a read then fails, and a write fails and stores nothing. Anything else
// must succeed.
void one_call(std::mt19937& rng, const std::string& alias, uint64_t handle, const std::string& own_did,
              const std::string& own_pk, const std::string& tag, Acknowledged& ack, const std::atomic<int>& change_seq) {
  const int seq_before = change_seq.load();
  auto expect = [&](const char* what, const Answer& a, std::initializer_list<const char*> also_fine = {}) {
    if (a.ok()) return true;
    for (const char* code : also_fine)
      if (a.code == code) return false;
    const bool overlapped = alias == "shared" && (seq_before % 2 == 1 || seq_before != change_seq.load());
    if (!(overlapped && a.code == "WalletLoginFailed")) ack.faults.push_back(std::string(what) + " on " + alias + ": " + a.text);
    return false;
  };
  switch (rng() % 10) {
    case 0: {
      Answer a = take(create_did(handle, nullptr));
      if (expect("create_did", a)) ack.dids[alias][a.value["id"]] = a.value["publicKey"];
      break;
    }
    case 1: expect("list_dids", take(list_dids(handle))); break;
    case 2: expect("get_default_did", take(get_default_did(handle)), {"RecordNotFound"}); break;
    case 3: expect("get_did_info", take(get_did_info(handle, own_did.c_str()))); break;
    case 4: expect("sign", take(sign(handle, kData)), {"RecordNotFound"}); break;
    case 5: {
      Answer s = take(sign_with_did(handle, own_did.c_str(), kData));
      if (!expect("sign_with_did", s)) break;
      Answer v = take(verify_with_did_public_key(handle, own_pk.c_str(), kData, s.value.get<std::string>().c_str()));
      if (v.value != true) ack.faults.push_back("verify on " + alias + ": " + v.text);
      break;
    }
    case 6: expect("verify_with_did_public_key", take(verify_with_did_public_key(handle, own_pk.c_str(), kData, kData)));
      break;
    case 7: case 8: {
      const std::string key = tag + "-" + std::to_string(rng() % 3);
      const std::string value = "dmFsdWUt" + std::to_string(rng() % 10) + "A==";
      if (expect("wallet_store_data", take(wallet_store_data(handle, key.c_str(), value.c_str()))))
        ack.data[alias][key] = value;
      break;
    }
    default: {
      const std::string key = tag + "-" + std::to_string(rng() % 3);
      expect("wallet_get_data", fetched(wallet_get_data(handle, key.c_str())));
      break;
    }
  }
}

TEST(ReliabilityConcurrency, SixteenThreadsMixEveryAgentCallWithoutRaceOrLoss) {
  constexpr int kThreads = 16;
  const char* rounds_env = std::getenv("VELNO_CONCURRENCY_ROUNDS");
  const int rounds = rounds_env ? std::atoi(rounds_env) : 6;
  Watchdog watchdog;
  test::TempDir dir;
  take(set_velno_home_path(dir.path().c_str()));

  Acknowledged setup;
  const uint64_t shared = register_alias("shared", shared_cb, setup);
  ASSERT_NE(shared, 0u) << setup.faults[0];
  Answer own = take(create_did(shared, kSeed));
  ASSERT_TRUE(own.ok()) << own.text;
  const std::string own_did = own.value["id"], own_pk = own.value["publicKey"];
  setup.dids["shared"][own_did] = own_pk;

  std::atomic<int> change_seq{0};
  std::vector<Acknowledged> acks(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(1000 + t);
      Acknowledged& ack = acks[t];
      const std::string tag = "t" + std::to_string(t);
      if (t == 0) {
        // The password changer, between calls of its own on the shared agent.
        for (int i = 0; i < 3; ++i) {
          one_call(rng, "shared", shared, own_did, own_pk, tag, ack, change_seq);
          change_seq.fetch_add(1);
          Answer a = take(change_password(shared, next_shared_cb));
          if (a.ok()) shared_password.fetch_add(1);
          else ack.faults.push_back("change_password: " + a.text);
          change_seq.fetch_add(1);
        }
        return;
      }
      // Threads 1..3 keep registering new agents; the other odd threads share the
      // shared agent, the other even ones work on an agent of their own.
      const int registrations = t <= 3 ? 3 : 1;
      for (int r = 0; r < registrations; ++r) {
        const bool on_shared = t > 3 && t % 2 == 1;
        const std::string alias = on_shared ? "shared" : tag + "-agent" + std::to_string(r);
        const uint64_t handle = on_shared ? shared : register_alias(alias, solo_cb, ack);
        if (handle == 0) return;
        if (!on_shared) ack.dids[alias][own_did] = own_pk;   // the same seed gives the same DID
        for (int i = 0; i < rounds; ++i) one_call(rng, alias, handle, own_did, own_pk, tag, ack, change_seq);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(shared_password.load(), 3);

  // Nothing acknowledged is lost, in memory or in the files.
  acks.push_back(setup);
  std::map<std::string, uint64_t> handles;
  auto handle_of = [&](const std::string& alias) {
    if (!handles.count(alias))   // a known alias answers its handle
      handles[alias] = register_alias(alias, alias == "shared" ? shared_cb : solo_cb, setup);
    return handles[alias];
  };
  int checked = 0;
  for (const auto& ack : acks) {
    for (const auto& f : ack.faults) ADD_FAILURE() << f;
    for (const auto& [alias, dids] : ack.dids) {
      Answer listed = take(list_dids(handle_of(alias)));
      ASSERT_TRUE(listed.ok()) << listed.text;
      auto wallet = read_wallet(wallet_file(dir.path(), alias));
      ASSERT_TRUE(wallet.has_value()) << alias;
      for (const auto& [id, pk] : dids) {
        bool found = false;
        for (const auto& d : listed.value) found |= d["id"] == id && d["publicKey"] == pk;
        EXPECT_TRUE(found) << alias << " lost DID " << id;
        EXPECT_TRUE(wallet->contains(id + "::KeyPair") && wallet->contains(id + "::DIDInfo")) << alias << " " << id;
        Answer s = take(sign_with_did(handle_of(alias), id.c_str(), kData));
        EXPECT_TRUE(s.ok()) << alias << " " << id << ": " << s.text;
        ++checked;
      }
    }
    for (const auto& [alias, data] : ack.data)
      for (const auto& [key, value] : data) {
        Answer got = fetched(wallet_get_data(handle_of(alias), key.c_str()));
        EXPECT_EQ(got.value, (nlohmann::json{{"Ok", value}})) << alias << " " << key << ": " << got.text;
        ++checked;
      }
  }
  // No record was sealed under a password that is not its wallet's: every one opens
  // under the password its host answers now.
  int sealed = 0;
  for (const auto& [alias, handle] : handles) {
    auto wallet = read_wallet(wallet_file(dir.path(), alias));
    ASSERT_TRUE(wallet.has_value()) << alias;
    const char* password = alias == "shared" ? shared_cb() : solo_cb();
    for (const auto& [key, record] : wallet->items()) {
      if (!is_encrypted_type(record.value("type", ""))) continue;
      EXPECT_TRUE(open_record(record, password).has_value()) << alias << ": " << key << " is not under " << password;
      ++sealed;
    }
  }
  std::printf("concurrency: %d threads, %d acknowledged DIDs and data checked, %d sealed records opened\n", kThreads,
              checked, sealed);
}

// Every agent call, from many threads at once, while a registry lock is poisoned.
void hammer(const std::function<void(std::vector<std::string>&)>& body) {
  std::vector<std::vector<std::string>> faults(8);
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 20; ++i) body(faults[t]);
    });
  for (auto& t : threads) t.join();
  for (const auto& per_thread : faults)
    for (const auto& f : per_thread) ADD_FAILURE() << f;
}

void expect_answer(std::vector<std::string>& faults, const char* what, char* raw, const std::string& code,
                   const std::string& message) {
  Answer a = take(raw);
  if (a.code != code || (!message.empty() && a.value != message)) faults.push_back(std::string(what) + ": " + a.text);
}

constexpr const char* kPoisoned = "Mutex lock failed, poisonous guard poisoned lock: another task failed inside";

TEST(ReliabilityConcurrency, PoisonedAgentMapAnswersSyncErrorAndTheProcessKeepsAnswering) {
  Watchdog watchdog;
  test::TempDir dir;
  take(set_velno_home_path(dir.path().c_str()));
  Acknowledged ack;
  const uint64_t handle = register_alias("poison", solo_cb, ack);
  ASSERT_NE(handle, 0u);
  velno::test_hooks::poison_agent_map();

  hammer([&](std::vector<std::string>& faults) {
    const char* locked = "Agent map cannot be locked.";
    expect_answer(faults, "create_did", create_did(handle, nullptr), "SyncError", locked);
    expect_answer(faults, "list_dids", list_dids(handle), "SyncError", locked);
    expect_answer(faults, "get_default_did", get_default_did(handle), "SyncError", locked);
    expect_answer(faults, "get_did_info", get_did_info(handle, "x"), "SyncError", locked);
    expect_answer(faults, "sign", sign(handle, kData), "SyncError", locked);
    expect_answer(faults, "sign_with_did", sign_with_did(handle, "x", kData), "SyncError", locked);
    expect_answer(faults, "verify", verify_with_did_public_key(handle, "x", kData, kData), "SyncError", locked);
    expect_answer(faults, "change_password", change_password(handle, solo_cb), "SyncError", locked);
    expect_answer(faults, "wallet_store_data", wallet_store_data(handle, "k", kData), "SyncError", locked);
    expect_answer(faults, "wallet_get_data", wallet_get_data(handle, "k"), "SyncError", locked);
    expect_answer(faults, "create_agent new", create_agent("another", kSeed, solo_cb), "SyncError", kPoisoned);
    expect_answer(faults, "create_agent known", create_agent("poison", kSeed, solo_cb), "OK", "");
    expect_answer(faults, "explain_error_code", explain_error_code("SyncError"), "OK", "");
  });
}

TEST(ReliabilityConcurrency, PoisonedAliasMapRefusesRegistrationsOnly) {
  Watchdog watchdog;
  test::TempDir dir;
  take(set_velno_home_path(dir.path().c_str()));
  Acknowledged ack;
  const uint64_t handle = register_alias("poison", solo_cb, ack);
  ASSERT_NE(handle, 0u);
  velno::test_hooks::poison_alias_map();

  hammer([&](std::vector<std::string>& faults) {
    expect_answer(faults, "create_agent known", create_agent("poison", kSeed, solo_cb), "SyncError", kPoisoned);
    expect_answer(faults, "list_dids", list_dids(handle), "OK", "");
    expect_answer(faults, "get_default_did", get_default_did(handle), "RecordNotFound", "PublicDid");
  });
}

TEST(ReliabilityConcurrency, PoisonedRecordLockAnswersItsErrorsAndOtherAgentsWork) {
  Watchdog watchdog;
  test::TempDir dir;
  take(set_velno_home_path(dir.path().c_str()));
  Acknowledged ack;
  const uint64_t poisoned = register_alias("poison", solo_cb, ack);
  const uint64_t healthy = register_alias("healthy", solo_cb, ack);
  ASSERT_TRUE(poisoned != 0 && healthy != 0);
  {
    auto [agents, registry_poisoned] = AGENT_MAP().read();
    ASSERT_FALSE(registry_poisoned);
    agents->at(poisoned)->wallet().storage().poison_for_test();
  }
  Answer own = take(create_did(healthy, kSeed));
  ASSERT_TRUE(own.ok()) << own.text;
  const std::string did = own.value["id"];

  hammer([&](std::vector<std::string>& faults) {
    expect_answer(faults, "get_did_info", get_did_info(poisoned, did.c_str()), "InvalidState",
                  "Cannot lock the wallet for read");
    expect_answer(faults, "list_dids", list_dids(poisoned), "SyncError", kPoisoned);
    expect_answer(faults, "get_did_info healthy", get_did_info(healthy, did.c_str()), "OK", "");
    expect_answer(faults, "list_dids healthy", list_dids(healthy), "OK", "");
  });
  // A new DID is looked up before it is stored; a store goes straight to the insertion.
  expect_answer(ack.faults, "create_did", create_did(poisoned, nullptr), "InvalidState", "Cannot lock the wallet for read");
  expect_answer(ack.faults, "wallet_store_data", wallet_store_data(poisoned, "k", kData), "SyncError", kPoisoned);
  for (const auto& f : ack.faults) ADD_FAILURE() << f;
}

}  // namespace
}  // namespace velno::reliability
