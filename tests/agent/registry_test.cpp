// The registry's failure answers, the runners and the export frame, in-process.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <utility>

#include "agent/agent_registry.hpp"
#include "agent/export_frame.hpp"
#include "common/local_dir_supplier.hpp"
#include "reliability/watchdog.hpp"
#include "support/test_support.hpp"
#include "velno_core.h"

namespace velno {
namespace {

const char* password() { return "pw"; }
const char* kSeed = "registry-test-seed-0000000000000";
const std::string kPoisoned =
    R"({"code":"SyncError","value":"Mutex lock failed, poisonous guard poisoned lock: another task failed inside"})";

std::string take(char* answer) {
  std::string text(answer);
  std::free(answer);
  return text;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(set_local_dir(home.path()).ok()); }
  test::TempDir home;
};

TEST_F(Registry, PoisonedAliasMapRefusesEveryRegistration) {
  EXPECT_EQ(take(create_agent("before", kSeed, &password)), R"({"code":"OK","value":{"handle":100005}})");
  test_hooks::poison_alias_map();
  EXPECT_EQ(take(create_agent("before", kSeed, &password)), kPoisoned);
  EXPECT_EQ(take(create_agent("after", kSeed, &password)), kPoisoned);
  // Agent calls do not take the alias map.
  EXPECT_EQ(take(get_default_did(100005)), R"({"code":"RecordNotFound","value":"PublicDid"})");
}

TEST_F(Registry, PoisonedAgentMapRefusesNewAgentsAndAgentCalls) {
  EXPECT_EQ(take(create_agent("known", kSeed, &password)), R"({"code":"OK","value":{"handle":100005}})");
  test_hooks::poison_agent_map();
  // A known alias is answered from the alias map alone.
  EXPECT_EQ(take(create_agent("known", kSeed, &password)), R"({"code":"OK","value":{"handle":100005}})");
  EXPECT_EQ(take(create_agent("new", kSeed, &password)), kPoisoned);
  const std::string locked = R"({"code":"SyncError","value":"Agent map cannot be locked."})";
  EXPECT_EQ(take(list_dids(100005)), locked);
  EXPECT_EQ(take(sign(100005, nullptr)), locked);
  EXPECT_EQ(take(wallet_get_data(100005, "k")), locked);
  // The checks of the export still come first.
  EXPECT_EQ(take(change_password(100005, nullptr)), R"({"code":"InvalidParameter","value":"Invalid Parameter for $dst"})");
  EXPECT_EQ(HANDLE_COUNTER.load(), 100005u);
}

// A host callback must not call into the library, but one that does gets an answer,
// never a hang: each test ends the process if it stops making progress.
using RegistryConcurrency = Registry;

std::string g_inner_alias;   // what the next reentrant_password call opens
std::string g_inner_answer;
const char* reentrant_password() {
  if (!g_inner_alias.empty()) {
    const std::string alias = std::exchange(g_inner_alias, std::string());
    g_inner_answer = take(create_agent(alias.c_str(), nullptr, &password));
  }
  return "pw";
}

TEST_F(RegistryConcurrency, ACreateAgentFromItsOwnOpeningsCallbackAnswersAtOnce) {
  const reliability::Watchdog watchdog(std::chrono::seconds(120));
  struct Case {
    const char* outer;
    const char* inner;
    std::string inner_answer;
    std::string outer_answer;
  };
  const Case cases[] = {
      {"same", "same",
       R"({"code":"InvalidState","value":"An opening of this alias is already running on this thread"})",
       R"({"code":"OK","value":{"handle":100005}})"},
      // Another alias opens from the callback: it is entered first.
      {"outer", "inner", R"({"code":"OK","value":{"handle":100006}})", R"({"code":"OK","value":{"handle":100007}})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.inner);
    g_inner_alias = c.inner;
    EXPECT_EQ(take(create_agent(c.outer, nullptr, &reentrant_password)), c.outer_answer);
    EXPECT_EQ(g_inner_answer, c.inner_answer);
  }
  // Nothing is left waiting: the alias answers its handle, on this thread and another.
  EXPECT_EQ(take(create_agent("same", nullptr, &password)), R"({"code":"OK","value":{"handle":100005}})");
  std::string elsewhere;
  std::thread([&] { elsewhere = take(create_agent("same", nullptr, &password)); }).join();
  EXPECT_EQ(elsewhere, R"({"code":"OK","value":{"handle":100005}})");
}

// Two openings whose callbacks each open the other's alias would wait for each other:
// the second to ask is answered at once, its opening ends, and the first's inner
// opening then finds that alias entered.
struct Ring {
  std::mutex mutex;
  std::condition_variable arrived;
  int inside = 0;
  std::string answers[2];
};
Ring g_ring;
template <int Side>
const char* ring_password() {
  static bool asked = false;
  if (!std::exchange(asked, true)) {
    {
      std::unique_lock<std::mutex> hold(g_ring.mutex);
      ++g_ring.inside;
      g_ring.arrived.notify_all();
      g_ring.arrived.wait(hold, [] { return g_ring.inside == 2; });
    }
    g_ring.answers[Side] = take(create_agent(Side == 0 ? "ring-b" : "ring-a", nullptr, &password));
  }
  return "pw";
}

TEST_F(RegistryConcurrency, OpeningsWhoseCallbacksOpenEachOthersAliasEnd) {
  const reliability::Watchdog watchdog(std::chrono::seconds(120));
  std::string outer[2];
  std::thread a([&] { outer[0] = take(create_agent("ring-a", nullptr, &ring_password<0>)); });
  std::thread b([&] { outer[1] = take(create_agent("ring-b", nullptr, &ring_password<1>)); });
  a.join();
  b.join();
  const std::string refused =
      R"({"code":"InvalidState","value":"An opening of this alias waits for an opening running on this thread"})";
  // Which side asks second is up to the scheduler; the outcome is one refusal.
  const int refused_side = g_ring.answers[0] == refused ? 0 : 1;
  EXPECT_EQ(g_ring.answers[refused_side], refused);
  // The other side's inner opening answers the handle its outer opening gets.
  EXPECT_EQ(g_ring.answers[1 - refused_side], outer[refused_side]);
  for (const std::string& answer : outer) EXPECT_EQ(answer.substr(0, 31), R"({"code":"OK","value":{"handle":)");
  EXPECT_NE(outer[0], outer[1]);
}

TEST(AgentTaskRunner, AnUnknownHandleReleasesTheTaskWithoutRunningIt) {
  auto capture = std::make_shared<int>(0);
  bool ran = false;
  AgentTask<bool> task([capture, &ran](const Agent&) -> DidResult<bool> {
    ran = true;
    return true;
  });
  EXPECT_EQ(capture.use_count(), 2);
  EXPECT_EQ(take(with_agent(7, std::move(task))), R"({"code":"InvalidState","value":"Agent with handle not found."})");
  EXPECT_FALSE(ran);
  EXPECT_EQ(capture.use_count(), 1);
}

TEST(ExportFrame, ThrownFailuresBecomeAnEnvelope) {
  EXPECT_EQ(take(export_frame([]() -> char* { throw std::bad_alloc(); })),
            R"({"code":"General","value":"Internal error"})");
  EXPECT_EQ(take(export_frame([]() -> char* { throw 42; })), R"({"code":"General","value":"Internal error"})");
}

}  // namespace
}  // namespace velno
