// Many host threads on several agents while new agents register; the registry's holds
// under openings and callbacks that wait.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_library.hpp"
#include "reliability/watchdog.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;

const char* password() { return "shared password"; }

// Records arrive from every thread at once.
std::atomic<long> g_records{0};
void count_record(uint32_t, char* message) {
  ++g_records;
  std::free(message);
}

std::string seed_for(int i) {
  std::string seed = "concurrency-seed-0000000000000000";
  seed[17] = static_cast<char>('a' + i);
  return seed;
}

TEST(HostConcurrency, AgentCallsRunWhileAgentsRegister) {
  test::TempDir home;
  ASSERT_EQ(call(&Library::set_velno_home_path, home.path().c_str()), R"({"code":"OK"})");
  capture_stdout([] { take(lib().init_logging(5, &count_record)); });

  struct Opened {
    uint64_t handle;
    std::string id;
    std::string public_key;
  };
  std::vector<Opened> agents;
  for (int i = 0; i < 3; ++i) {
    json answer = json::parse(call(&Library::create_agent, ("pre" + std::to_string(i)).c_str(), seed_for(i).c_str(), &password));
    ASSERT_EQ(answer["code"], "OK");
    uint64_t h = answer["value"]["handle"];
    json did = json::parse(call(&Library::list_dids, h))["value"][0];
    agents.push_back({h, did["id"], did["publicKey"]});
  }
  // One signature to verify from every thread; signing costs a key derivation.
  const std::string signature =
      json::parse(call(&Library::sign_with_did, agents[0].handle, agents[0].id.c_str(), "QUJD"))["value"];

  std::atomic<int> bad{0};
  auto expect = [&](bool ok) {
    if (!ok) ++bad;
  };
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        const Opened& a = agents[static_cast<std::size_t>((t + i) % 3)];
        expect(json::parse(call(&Library::list_dids, a.handle))["code"] == "OK");
        expect(json::parse(call(&Library::get_did_info, a.handle, a.id.c_str()))["value"]["id"] == a.id);
        expect(call(&Library::verify_with_did_public_key, a.handle, agents[0].public_key.c_str(), "QUJD",
                    signature.c_str()) == R"({"code":"OK","value":true})");
        expect(call(&Library::get_default_did, a.handle) == failure("RecordNotFound", "PublicDid"));
        expect(json::parse(call(&Library::explain_error_code, "IO"))["code"] == "OK");
      }
    });
  }
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&, r] {
      json answer = json::parse(call(&Library::create_agent, ("new" + std::to_string(r)).c_str(), seed_for(5 + r).c_str(), &password));
      expect(answer["code"] == "OK");
      uint64_t h = answer["value"]["handle"];
      expect(h >= 100008 && h <= 100009);
      expect(json::parse(call(&Library::list_dids, h))["value"].size() == 1);
      // The same alias from another thread gets the same handle.
      expect(call(&Library::create_agent, ("new" + std::to_string(r)).c_str(), nullptr, &password) == ok_handle(h));
    });
  }
  threads.emplace_back([&] {
    const Opened& a = agents[1];
    expect(json::parse(call(&Library::sign_with_did, a.handle, a.id.c_str(), "QUJD"))["code"] == "OK");
  });
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(g_records.load(), 1000);
}

// A one-shot signal between threads.
class Event {
 public:
  void set() {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      set_ = true;
    }
    changed_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> hold(mutex_);
    changed_.wait(hold, [this] { return set_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  bool set_ = false;
};

// Registration: openings never wait for agent calls that start later, a password
// callback may wait for another thread's agent call, and one alias is one agent. Each
// test ends its process on a hang instead of waiting forever.
class HostRegistryConcurrency : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(call(&Library::set_velno_home_path, home_.path().c_str()), R"({"code":"OK"})"); }
  test::TempDir home_;
  reliability::Watchdog watchdog_;
};

TEST_F(HostRegistryConcurrency, AnOpeningAnswersWhileTwoThreadsLoopEncryptedReads) {
  const std::string known = call(&Library::create_agent, "reader", seed_for(0).c_str(), &password);
  ASSERT_EQ(known, ok_handle(100005));
  ASSERT_EQ(call(&Library::wallet_store_data, 100005, "k", "djA="), R"({"code":"OK"})");
  std::atomic<bool> opened{false};
  std::atomic<int> reads{0}, bad{0};
  Event both_reading;
  std::vector<std::thread> readers;
  for (int t = 0; t < 2; ++t)
    readers.emplace_back([&] {
      // Each read holds a key derivation; they overlap until the opening has answered.
      if (++reads == 2) both_reading.set();
      while (!opened.load()) {
        if (call(&Library::wallet_get_data, 100005, "k") != R"({"code":"OK","value":{"Ok":"djA="}})") ++bad;
        ++reads;
      }
    });
  both_reading.wait();
  EXPECT_EQ(call(&Library::create_agent, "newcomer", seed_for(1).c_str(), &password), ok_handle(100006));
  opened = true;
  for (auto& r : readers) r.join();
  EXPECT_EQ(bad.load(), 0);
}

std::atomic<int> g_waiting_calls{0};
Event* g_in_callback = nullptr;
Event* g_other_call_done = nullptr;
// Waits for an agent call that another thread makes while this callback runs.
const char* password_after_other_call() {
  ++g_waiting_calls;
  g_in_callback->set();
  g_other_call_done->wait();
  return password();
}

TEST_F(HostRegistryConcurrency, CreateAgentsCallbackMayWaitForAnotherThreadsAgentCall) {
  Event in_callback, other_call_done;
  g_in_callback = &in_callback;
  g_other_call_done = &other_call_done;
  ASSERT_EQ(call(&Library::create_agent, "known", seed_for(0).c_str(), &password), ok_handle(100005));
  std::string opened;
  std::thread opener([&] { opened = call(&Library::create_agent, "waiter", nullptr, &password_after_other_call); });
  in_callback.wait();
  // Both a call that needs no password and one that does.
  EXPECT_EQ(json::parse(call(&Library::list_dids, 100005))["code"], "OK");
  EXPECT_EQ(call(&Library::wallet_store_data, 100005, "k", "djA="), R"({"code":"OK"})");
  other_call_done.set();
  opener.join();
  EXPECT_EQ(opened, ok_handle(100006));
  EXPECT_EQ(g_waiting_calls.load(), 1);
}

std::atomic<int> g_twin_calls{0};
Event* g_twin_asked = nullptr;
Event* g_second_started = nullptr;
const char* twin_password() {
  ++g_twin_calls;
  g_twin_asked->set();
  g_second_started->wait();
  return password();
}

TEST_F(HostRegistryConcurrency, TwoOpeningsOfOneAliasMakeOneAgent) {
  Event asked, second_started;
  g_twin_asked = &asked;
  g_second_started = &second_started;
  std::string first, second;
  // The first opening writes a random DID and waits in its callback for the second to start.
  std::thread one([&] { first = call(&Library::create_agent, "twin", nullptr, &twin_password); });
  asked.wait();
  std::thread two([&] {
    second_started.set();
    second = call(&Library::create_agent, "twin", nullptr, &twin_password);
  });
  one.join();
  two.join();
  EXPECT_EQ(first, ok_handle(100005));
  EXPECT_EQ(second, first);
  // One opening: one callback, one random DID, and the next alias gets the next handle.
  EXPECT_EQ(g_twin_calls.load(), 1);
  EXPECT_EQ(json::parse(call(&Library::list_dids, 100005))["value"].size(), 1u);
  EXPECT_EQ(call(&Library::create_agent, "other", seed_for(2).c_str(), &password), ok_handle(100006));
}

}  // namespace
}  // namespace velno::host
