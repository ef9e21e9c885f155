// Changes of password against writes and against each other, through the C interface.
// Each interleaving is forced by password callbacks that wait on events, never by
// timing. Afterwards every encrypted record in the wallet file must open under exactly
// the password the host was told is current, and every acknowledged value must read
// back.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <latch>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "host_answer.hpp"
#include "support/test_support.hpp"
#include "velno_core.h"
#include "wallet_inspect.hpp"
#include "watchdog.hpp"

namespace velno::reliability {
namespace {

constexpr const char* kSeed = "password-change-test-seed-0123456789";
constexpr const char* kData = "AAECAwQFBgc=";
constexpr const char* kP0 = "password zero";
constexpr const char* kP1 = "password one";
constexpr const char* kP2 = "password two";
constexpr const char* kLoginFailed = "Cannot read wallet. Is the Pin Correct?";

class Event {
 public:
  void set() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    cv_.wait(hold, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool set_ = false;
};

// The password the host answers with; it switches once a change has answered OK.
std::atomic<const char*> g_host_password{kP0};
// A thread's own answers: to the agent's callback, and to the new-password callback of
// the change it makes. Unset, the agent's callback answers the host's password.
thread_local std::function<const char*()> t_agent_answer;
thread_local std::function<const char*()> t_new_answer;
const char* agent_cb() { return t_agent_answer ? t_agent_answer() : g_host_password.load(); }
const char* new_cb() { return t_new_answer(); }

// When the change on the main thread asked for its exclusive scan, and when it began to
// re-encrypt (its first key derivation after that), from the trace lines.
using Clock = std::chrono::steady_clock;
std::thread::id g_changer;
std::atomic<long long> g_scan_asked{0}, g_reencrypting{0};   // ns
// The change's own steps (its log records), for a watchdog that other threads'
// answers must not feed.
std::atomic<uint64_t> g_change_steps{0};
void timing_log(uint32_t, char* message) {
  const std::string text(message);
  std::free(message);
  if (std::this_thread::get_id() != g_changer) return;
  note_progress(g_change_steps);
  const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
  if (text.ends_with("Brox wallet open mutable iterator")) g_scan_asked = now;
  else if (text.ends_with("Derive key from wallet password") && g_scan_asked != 0 && g_reencrypting == 0)
    g_reencrypting = now;
}

// wallet_get_data answers a failed fetch as OK with the error inside: lifts it out.
Answer fetched(char* raw) {
  Answer a = take(raw);
  if (a.ok() && a.value.is_object() && a.value.contains("Err")) a.code = a.value["Err"].value("code", "Err");
  return a;
}

class PasswordChangeConcurrency : public ::testing::Test {
 protected:
  void SetUp() override {
    g_host_password = kP0;
    ASSERT_TRUE(take(set_velno_home_path(home_.path().c_str())).ok());
  }

  // A new agent under kP0 with its DID and one stored value.
  uint64_t open(const std::string& alias) {
    g_host_password = kP0;
    Answer a = take(create_agent(alias.c_str(), kSeed, agent_cb));
    EXPECT_TRUE(a.ok()) << a.text;
    if (!a.ok()) return 0;
    const uint64_t handle = a.value["handle"].get<uint64_t>();
    EXPECT_TRUE(take(wallet_store_data(handle, "before", kData)).ok());
    data_[alias]["before"] = kData;
    return handle;
  }
  std::string file_text(const std::string& alias) const { return test::read_file(wallet_file(home_.path(), alias)); }

  // Every encrypted record of the alias's wallet opens under `password`, the host's
  // password of now, and every acknowledged value reads back through the library.
  void expect_everything_under(const std::string& alias, uint64_t handle, const char* password) {
    auto wallet = read_wallet(wallet_file(home_.path(), alias));
    ASSERT_TRUE(wallet.has_value()) << alias;
    int sealed = 0;
    for (const auto& [key, record] : wallet->items()) {
      if (!is_encrypted_type(record.value("type", ""))) continue;
      ++sealed;
      EXPECT_TRUE(open_record(record, password).has_value()) << alias << ": " << key << " is not under " << password;
    }
    EXPECT_GT(sealed, 0) << alias;
    g_host_password = password;
    for (const auto& [key, value] : data_[alias]) {
      Answer got = fetched(wallet_get_data(handle, key.c_str()));
      EXPECT_EQ(got.value, (nlohmann::json{{"Ok", value}})) << alias << " " << key << ": " << got.text;
    }
  }

  test::TempDir home_;
  std::map<std::string, std::map<std::string, std::string>> data_;   // alias -> key -> acknowledged value
};

// A change that is skipped (equal passwords) or refused (an empty one) changed nothing:
// it must put nothing back and write nothing. A store that completed meanwhile, over a
// value the wallet held when the change began, stays.
TEST_F(PasswordChangeConcurrency, StoreCompletesWhileAChangeWaitsInItsCallback) {
  Watchdog watchdog;
  struct Case {
    const char* alias;
    const char* new_password;
    const char* code;
  };
  for (const Case& c : {Case{"equal", kP0, "OK"}, Case{"empty", "", "Crypto"}, Case{"unequal", kP1, "OK"}}) {
    SCOPED_TRACE(c.alias);
    const uint64_t h = open(c.alias);
    ASSERT_NE(h, 0u);
    Event change_asking, store_done;
    Answer changed;
    std::thread change([&] {
      t_new_answer = [&] {
        change_asking.set();
        store_done.wait();
        return c.new_password;
      };
      changed = take(change_password(h, new_cb));
    });
    change_asking.wait();
    // A new value under a key the wallet held when the change began.
    Answer stored = take(wallet_store_data(h, "before", "ZHVyaW5n"));
    const std::string after_store = file_text(c.alias);
    store_done.set();
    change.join();

    ASSERT_TRUE(stored.ok()) << stored.text;
    data_[c.alias]["before"] = "ZHVyaW5n";
    EXPECT_EQ(changed.code, c.code) << changed.text;
    const bool switched = changed.ok() && std::string(c.new_password) != kP0;
    if (!switched) {
      EXPECT_EQ(file_text(c.alias), after_store);
    }
    expect_everything_under(c.alias, h, switched ? c.new_password : kP0);
  }
}

// The first change waits in its new-password callback while a second one runs to its
// answer. A change answered OK is never undone, and a change whose passwords were asked
// before another one committed fails and changes nothing.
TEST_F(PasswordChangeConcurrency, TwoOverlappingChangesAnswerTruthfully) {
  Watchdog watchdog;
  struct Case {
    const char* alias;
    const char* first_new;
    const char* second_new;
    const char* first_code;
    const char* end_password;
  };
  const Case cases[] = {
      {"overtaken", kP1, kP2, "WalletLoginFailed", kP2},
      {"second-equal", kP1, kP0, "OK", kP1},
      {"first-equal-overtaken", kP0, kP2, "WalletLoginFailed", kP2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias);
    const uint64_t h = open(c.alias);
    ASSERT_NE(h, 0u);
    Event first_asking, second_done;
    Answer first;
    std::thread first_change([&] {
      t_new_answer = [&] {
        first_asking.set();
        second_done.wait();
        return c.first_new;
      };
      first = take(change_password(h, new_cb));
    });
    first_asking.wait();
    t_new_answer = [&] { return c.second_new; };
    Answer second = take(change_password(h, new_cb));
    ASSERT_TRUE(second.ok()) << second.text;
    g_host_password = c.second_new;
    second_done.set();
    first_change.join();

    EXPECT_EQ(first.code, c.first_code) << first.text;
    if (first.code == "WalletLoginFailed") {
      EXPECT_EQ(first.value, kLoginFailed);
    }
    if (first.ok()) g_host_password = c.first_new;
    EXPECT_EQ(std::string(g_host_password.load()), c.end_password);
    expect_everything_under(c.alias, h, c.end_password);
  }
}

// A write whose password callback waits for a change on another thread (a prompt on the
// thread that changes the password, say) must not deadlock. Given the password of after
// the change, it lands under it; given the one of before, it stores nothing.
TEST_F(PasswordChangeConcurrency, WriteWhoseCallbackWaitsForAChangeEndsWithoutDeadlock) {
  Watchdog watchdog;
  struct Case {
    const char* alias;
    bool create_a_did;   // else a store
    bool answers_old;    // the callback answers the password it had before the change
  };
  const Case cases[] = {
      {"store-new", false, false},
      {"store-old", false, true},
      {"did-new", true, false},
      {"did-old", true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.alias);
    const uint64_t h = open(c.alias);
    ASSERT_NE(h, 0u);
    const std::size_t dids_before = take(list_dids(h)).value.size();
    Event write_asking, change_done;
    Answer written;
    int callback_calls = 0;
    std::thread writer([&] {
      t_agent_answer = [&]() -> const char* {
        if (++callback_calls == 1) {
          write_asking.set();
          change_done.wait();
        }
        return c.answers_old ? kP0 : g_host_password.load();
      };
      written = c.create_a_did ? take(create_did(h, nullptr)) : take(wallet_store_data(h, "written", "d3JpdHRlbg=="));
    });
    write_asking.wait();
    t_new_answer = [] { return kP1; };
    Answer changed = take(change_password(h, new_cb));
    ASSERT_TRUE(changed.ok()) << changed.text;
    g_host_password = kP1;
    change_done.set();
    writer.join();

    if (c.answers_old) {
      EXPECT_EQ(written.code, "WalletLoginFailed") << written.text;
      EXPECT_EQ(callback_calls, 2);   // asked once more, since a change had committed
    } else {
      EXPECT_TRUE(written.ok()) << written.text;
      EXPECT_EQ(callback_calls, 1);
      if (!c.create_a_did) data_[c.alias]["written"] = "d3JpdHRlbg==";
    }
    const std::size_t dids_after = take(list_dids(h)).value.size();
    EXPECT_EQ(dids_after, dids_before + (c.create_a_did && written.ok() ? 1 : 0));
    if (!c.create_a_did && !written.ok()) {
      EXPECT_EQ(fetched(wallet_get_data(h, "written")).code, "RecordNotFound");
    }
    expect_everything_under(c.alias, h, kP1);
  }
}

// Writers that never pause must not keep a change from starting: the writers stop only
// once the change has answered, so a change they starve never ends (the watchdog then
// fails the test). Writes that overlap the change land under the password in force or
// fail with WalletLoginFailed; none is stranded.
TEST_F(PasswordChangeConcurrency, ChangeCompletesWhileThreeThreadsKeepWriting) {
  Watchdog watchdog;   // for the checks at the end
  // The writers answer all along, so until they stop only the change's steps and
  // their first answers before and after it count as progress.
  std::optional<Watchdog> change_watchdog(std::in_place, Watchdog::kQuiet, g_change_steps);
  constexpr int kWriters = 3;
  const uint64_t h = open("busy");
  ASSERT_NE(h, 0u);
  std::atomic<bool> changed{false}, stop{false};
  std::latch writing(kWriters), writing_after(kWriters);
  std::vector<std::map<std::string, std::string>> acked(kWriters);
  std::vector<std::vector<std::string>> faults(kWriters);
  std::atomic<long long> write_ns{0};
  std::atomic<int> writes{0};
  std::vector<std::thread> writers;
  for (int t = 0; t < kWriters; ++t) {
    writers.emplace_back([&, t] {
      const std::string key = "w" + std::to_string(t);
      bool counted = false, counted_after = false;
      for (int n = 0; !stop.load(); ++n) {
        const bool after = changed.load();
        const std::string value = "dmFsdWUt" + std::to_string(n % 10) + "A==";
        const auto start = std::chrono::steady_clock::now();
        Answer a = take(wallet_store_data(h, key.c_str(), value.c_str()));
        write_ns += std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now() - start).count();
        ++writes;
        if (!a.ok()) {
          if (a.code != "WalletLoginFailed") faults[t].push_back(a.text);
          continue;
        }
        acked[t][key] = value;
        if (!counted) writing.count_down(), counted = true, note_progress(g_change_steps);
        if (after && !counted_after) writing_after.count_down(), counted_after = true, note_progress(g_change_steps);
      }
    });
  }
  writing.wait();
  g_changer = std::this_thread::get_id();
  take(init_logging(5, timing_log));
  t_new_answer = [] { return kP1; };
  Answer a = take(change_password(h, new_cb));
  ASSERT_TRUE(a.ok()) << a.text;
  g_host_password = kP1;
  changed = true;
  writing_after.wait();   // every writer has written under the new password
  stop = true;
  for (auto& w : writers) w.join();
  change_watchdog.reset();

  for (int t = 0; t < kWriters; ++t) {
    for (const auto& f : faults[t]) ADD_FAILURE() << "writer " << t << ": " << f;
    for (const auto& [key, value] : acked[t]) data_["busy"][key] = value;
  }
  expect_everything_under("busy", h, kP1);
  std::printf("change under %d writers began re-encrypting %.3f ms after asking for the records; a write took %.0f ms "
              "on average over %d\n",
              kWriters, (g_reencrypting - g_scan_asked) / 1e6, write_ns.load() / 1e6 / writes.load(), writes.load());
}

}  // namespace
}  // namespace velno::reliability
