// Many host threads on several agents while new agents register.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/host_library.hpp"
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

}  // namespace
}  // namespace velno::host
