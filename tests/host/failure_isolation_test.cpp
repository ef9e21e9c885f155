// One failing call never takes down the host or the other agents: openings that fail
// in any way.
#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

using nlohmann::json;

const char* password() { return "isolation password"; }
// Stands for any failure that unwinds out of an opening (here: while the key pair of
// the new DID is sealed).
const char* throwing_password() { throw std::runtime_error("host callback failed"); }

const std::string kHealthySeed = "isolation-healthy-seed-000000000";

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

TEST_F(FailureIsolation, AFailedOpeningLeavesEveryAgentWorkingAndItsAliasFree) {
  ASSERT_EQ(call(&Library::create_agent, "healthy", kHealthySeed.c_str(), &password), ok_handle(100005));

  // An exception inside the opening is answered, and marks no registry lock failed.
  EXPECT_EQ(call(&Library::create_agent, "thrower", nullptr, &throwing_password),
            failure("General", "Internal error"));

  EXPECT_TRUE(answers(100005));
  EXPECT_EQ(call(&Library::create_agent, "healthy", nullptr, &password), ok_handle(100005));
  EXPECT_EQ(call(&Library::create_agent, "other", nullptr, &password), ok_handle(100006));
  // The alias can be opened again, and the failure took no handle.
  EXPECT_EQ(call(&Library::create_agent, "thrower", nullptr, &password), ok_handle(100007));
  EXPECT_TRUE(answers(100007));
}

}  // namespace
}  // namespace velno::host
