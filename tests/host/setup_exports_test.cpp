// The set-up exports and the checks every export makes before any work.
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "host/host_library.hpp"
#include "support/test_support.hpp"

namespace velno::host {
namespace {

const char* password() { return "pw"; }

TEST(ExplainErrorCode, AnswersKindsByExactName) {
  struct Case {
    const char* name;
    std::string expected;
  };
  const Case cases[] = {
      {"WalletLoginFailed", R"({"code":"OK","value":{"code":"WalletLoginFailed","description":"Cannot login to wallet"}})"},
      {"OK", R"({"code":"OK","value":{"code":"OK","description":"No Error"}})"},
      {"walletloginfailed", failure("InvalidParameter", "Unknown error code")},
      {"", failure("InvalidParameter", "Unknown error code")},
      {"IO ", failure("InvalidParameter", "Unknown error code")},
      {nullptr, failure("InvalidParameter", "Invalid Parameter for error_code")},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(call(&Library::explain_error_code, c.name), c.expected) << (c.name ? c.name : "NULL");
  }
}

TEST(ExplainErrorCode, EveryCallAnswersItsOwnText) {
  char* a = lib().explain_error_code("IO");
  char* b = lib().explain_error_code("IO");
  EXPECT_NE(a, b);
  EXPECT_STREQ(a, b);
  std::free(a);
  std::free(b);
}

// The first null found ends the call, in each export's own order.
TEST(ExportChecks, NullArgumentsAnswerInTheirFixedOrder) {
  const std::string bad = "InvalidParameter";
  EXPECT_EQ(call(&Library::create_agent, nullptr, nullptr, nullptr), failure(bad, "Wallet password callback cannot be NULL"));
  EXPECT_EQ(call(&Library::create_agent, "a", nullptr, nullptr), failure(bad, "Wallet password callback cannot be NULL"));
  EXPECT_EQ(call(&Library::create_agent, nullptr, "s", &password), failure(bad, "Invalid Parameter for alias"));
  EXPECT_EQ(call(&Library::set_velno_home_path, nullptr), failure(bad, "Invalid Parameter for local_dir"));
  EXPECT_EQ(call(&Library::change_password, uint64_t{100005}, nullptr), failure(bad, "Invalid Parameter for $dst"));
  EXPECT_EQ(call(&Library::wallet_store_data, uint64_t{1}, nullptr, nullptr), failure(bad, "Invalid Parameter for key"));
  EXPECT_EQ(call(&Library::wallet_store_data, uint64_t{1}, "k", nullptr), failure(bad, "Invalid Parameter for data"));
  EXPECT_EQ(call(&Library::wallet_get_data, uint64_t{1}, nullptr), failure(bad, "Invalid Parameter for key"));
  // The size check comes before the handle is looked up, and counts text bytes.
  std::string big(5121, 'A');
  EXPECT_EQ(call(&Library::wallet_store_data, uint64_t{1}, "k", big.c_str()),
            failure(bad, "Data size cannot be larger than 5K"));
  std::string limit(5120, 'A');
  EXPECT_EQ(call(&Library::wallet_store_data, uint64_t{1}, "k", limit.c_str()),
            failure("InvalidState", "Agent with handle not found."));
}

TEST(SetHomePath, RefusesEmptyAndUnusablePaths) {
  test::TempDir dir;
  std::string file = dir.path() + "/plain-file";
  test::write_file(file, "x");
  EXPECT_EQ(call(&Library::set_velno_home_path, ""), failure("InvalidState", "Please provide a valid path"));
  EXPECT_EQ(call(&Library::set_velno_home_path, (dir.path() + "/a/b").c_str()), R"({"code":"OK"})");
  EXPECT_TRUE(test::file_exists(dir.path() + "/a/b"));
  std::string answer = call(&Library::set_velno_home_path, (file + "/home").c_str());
  EXPECT_EQ(answer.rfind(R"({"code":"IO","value":")", 0), 0u) << answer;
}

std::mutex g_log_mutex;
std::vector<std::pair<uint32_t, std::string>> g_first;
std::vector<std::pair<uint32_t, std::string>> g_second;

void record_into(std::vector<std::pair<uint32_t, std::string>>& into, uint32_t level, char* message) {
  std::lock_guard<std::mutex> lock(g_log_mutex);
  into.emplace_back(level, message);
  std::free(message);
}
void first_sink(uint32_t level, char* message) { record_into(g_first, level, message); }
void second_sink(uint32_t level, char* message) { record_into(g_second, level, message); }

TEST(InitLogging, NullCallbackPrintsTwoLinesAndIsRefused) {
  std::string answer;
  std::string out = capture_stdout([&] { answer = call(&Library::init_logging, 3u, nullptr); });
  EXPECT_EQ(out, "velno-core init logging\nCallback is empty\n");
  EXPECT_EQ(answer, failure("InvalidParameter", "Callback cannot be Empty."));
  // Nothing was installed: a later call still chooses the logger.
  answer = call(&Library::init_logging, 2u, &first_sink);
  EXPECT_EQ(answer, R"({"code":"OK"})");
}

TEST(InitLogging, LevelAboveTraceCountsAsTraceAndASecondCallKeepsTheFirstLogger) {
  std::string answer;
  std::string out = capture_stdout([&] { answer = call(&Library::init_logging, 7u, &first_sink); });
  EXPECT_EQ(answer, R"({"code":"OK"})");
  EXPECT_EQ(out,
            "velno-core init logging\nUnwrap callback\nGet level\nInit simple logger\n"
            "Set logging level TRACE\nDone Init simple logger. Extern.\nResult exteranalized\n");
  ASSERT_EQ(g_first.size(), 1u);
  EXPECT_EQ(g_first[0], std::make_pair(4u, std::string("Initialize logging to TRACE")));

  out = capture_stdout([&] { answer = call(&Library::init_logging, 1u, &second_sink); });
  EXPECT_EQ(answer, R"({"code":"OK"})");
  EXPECT_NE(out.find("Set logging level ERROR\n"
                     "Cannot configure logger Error: (InvalidState)\n"
                     "  Caused by: attempted to set a logger after the logging system was already initialized\n\n"
                     "Done Init simple logger. Extern.\n"),
            std::string::npos)
      << out;
  ASSERT_EQ(g_second.size(), 1u);
  EXPECT_EQ(g_second[0], std::make_pair(4u, std::string("Initialize logging to ERROR")));

  // Later records still go to the first callback, at its level: opening an agent traces.
  test::TempDir home;
  take(lib().set_velno_home_path(home.path().c_str()));
  ASSERT_EQ(call(&Library::create_agent, "logged", "00000000000000000000000000000000", &password), ok_handle(100005));
  std::vector<std::string> agent_lines;
  {
    std::lock_guard<std::mutex> lock(g_log_mutex);
    for (auto& [level, text] : g_first) {
      if (text.rfind("velno_core::velno_agent ", 0) == 0) {
        EXPECT_EQ(level, 5u);
        agent_lines.push_back(text);
      }
    }
    EXPECT_EQ(g_second.size(), 1u);
  }
  EXPECT_EQ(agent_lines, (std::vector<std::string>{"velno_core::velno_agent Open QXD agent logged",
                                                   "velno_core::velno_agent create agent logged",
                                                   "velno_core::velno_agent Wallet instance created"}));
}

TEST(InitLogging, LevelZeroInstallsALoggerThatKeepsNothing) {
  EXPECT_EQ(call(&Library::init_logging, 0u, &first_sink), R"({"code":"OK"})");
  test::TempDir home;
  take(lib().set_velno_home_path(home.path().c_str()));
  take(lib().create_agent("quiet", "00000000000000000000000000000000", &password));
  std::lock_guard<std::mutex> lock(g_log_mutex);
  ASSERT_EQ(g_first.size(), 1u);
  EXPECT_EQ(g_first[0].second, "Initialize logging to OFF");
}

}  // namespace
}  // namespace velno::host
