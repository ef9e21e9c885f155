// The registry's failure answers, the runners and the export frame, in-process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>
#include <string>

#include "agent/agent_registry.hpp"
#include "agent/export_frame.hpp"
#include "common/local_dir_supplier.hpp"
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
