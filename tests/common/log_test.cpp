#include "common/log.hpp"

#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace velno {
namespace {

using Records = std::vector<std::pair<uint32_t, std::string>>;

// A sink that keeps what it receives; safe to call from several threads.
struct Capture {
  std::mutex mu;
  Records records;
  std::shared_ptr<LogSinkFn> sink() {
    return std::make_shared<LogSinkFn>([this](uint32_t level, std::string msg) {
      std::lock_guard<std::mutex> l(mu);
      records.emplace_back(level, std::move(msg));
    });
  }
  Records take() {
    std::lock_guard<std::mutex> l(mu);
    return std::exchange(records, {});
  }
};

int g_evaluated = 0;
int evaluated() { return ++g_evaluated; }

void log_each_level() {
  VELNO_ERROR(kTargetLocalDir, "e", evaluated());
  VELNO_WARN(kTargetWallet, "w", evaluated());
  VELNO_INFO(kTargetAgent, "i", evaluated());
  VELNO_DEBUG(kTargetStorage, "d", evaluated());
  VELNO_TRACE(kTargetWalletPath, "t", evaluated());
}

TEST(LogTest, LevelNames) {
  const char* names[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(level_limit_name(i), names[i]);
}

TEST(LogTest, NothingIsMadeBeforeInstallation) {
  EXPECT_EQ(LOG_LEVEL_LIMIT.load(), 0u);
  log_each_level();
  EXPECT_EQ(g_evaluated, 0);  // the message arguments were never computed
  emit_log_record(LogLevel::Error, kTargetAgent, __FILE__, __LINE__, "dropped");  // no logger: no effect
}

TEST(LogTest, InstallAtInfoPassesErrorWarnInfoOnly) {
  Capture cap;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(init_host_logger(3, cap.sink()).ok());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Set logging level INFO\n");
  EXPECT_EQ(LOG_LEVEL_LIMIT.load(), 3u);
  EXPECT_EQ(cap.take(), (Records{{4, "Initialize logging to INFO"}}));

  log_each_level();
  EXPECT_EQ(g_evaluated, 3);  // DEBUG and TRACE built nothing
  EXPECT_EQ(cap.take(), (Records{{1, "pelsar::local_dir_supplier e1"},
                                 {2, "brox::brox_wallet::brox_wallet w2"},
                                 {3, "velno_core::velno_agent i3"}}));

  // Hex dumps are message pieces like any other.
  const std::vector<uint8_t> bytes = {0xAB, 0x01};
  VELNO_ERROR(kTargetWallet, "sig ", HexUpper{bytes}, " ", HexLower{bytes});
  EXPECT_EQ(cap.take(), (Records{{1, "brox::brox_wallet::brox_wallet sig AB01 ab01"}}));
}

TEST(LogTest, InstallAtOffSendsOnlyTheInitializationLine) {
  Capture cap;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(init_host_logger(0, cap.sink()).ok());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Set logging level OFF\n");
  log_each_level();
  emit_log_record(LogLevel::Error, kTargetAgent, __FILE__, __LINE__, "beyond the limit");
  EXPECT_EQ(g_evaluated, 0);
  EXPECT_EQ(cap.take(), (Records{{4, "Initialize logging to OFF"}}));
  // A later installation cannot open it up.
  Capture other;
  testing::internal::CaptureStdout();
  EXPECT_FALSE(init_host_logger(5, other.sink()).ok());
  testing::internal::GetCapturedStdout();
  log_each_level();
  EXPECT_EQ(g_evaluated, 0);
}

TEST(LogTest, SecondInstallationFailsAndKeepsTheFirst) {
  Capture first, second;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(init_host_logger(3, first.sink()).ok());
  auto r = init_host_logger(5, second.sink());
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "Set logging level INFO\nSet logging level TRACE\n");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DidErrorKind::InvalidState);
  EXPECT_EQ(r.error().raw_message(), kSetLoggerError);
  EXPECT_EQ(LOG_LEVEL_LIMIT.load(), 3u);
  EXPECT_EQ(second.take(), (Records{{4, "Initialize logging to TRACE"}}));
  first.take();

  log_each_level();
  EXPECT_EQ(first.take().size(), 3u);
  EXPECT_TRUE(second.take().empty());
  EXPECT_FALSE(install_process_logger(std::make_unique<HostLogger>(5, second.sink())));
}

TEST(LogTest, HostLoggerFormatsAndFiltersOnItsOwn) {
  Capture cap;
  HostLogger logger(2, cap.sink());
  EXPECT_TRUE(logger.enabled(LogLevel::Error));
  EXPECT_TRUE(logger.enabled(LogLevel::Warn));
  EXPECT_FALSE(logger.enabled(LogLevel::Info));
  logger.log(LogRecord{LogLevel::Warn, "t", "no module", "", __FILE__, 1});
  logger.log(LogRecord{LogLevel::Info, "t", "too detailed", "m", __FILE__, 2});
  logger.log(LogRecord{LogLevel::Error, "target", "msg", "module::path", nullptr, 0});
  logger.flush();
  EXPECT_EQ(cap.take(), (Records{{2, " no module"}, {1, "module::path msg"}}));
}

TEST(LogConcurrencyTest, OneOfManyInstallationsWinsAndAllThreadsLog) {
  constexpr int kThreads = 8;
  constexpr int kRecords = 200;
  Capture caps[kThreads];
  std::atomic<int> wins{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      if (install_process_logger(std::make_unique<HostLogger>(5, caps[t].sink()))) wins.fetch_add(1);
      for (int i = 0; i < kRecords; ++i) emit_log_record(LogLevel::Info, kTargetAgent, __FILE__, __LINE__, "x");
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wins.load(), 1);
  // The limit stays 0 without init_host_logger: nothing was made.
  std::size_t total = 0;
  for (auto& c : caps) total += c.take().size();
  EXPECT_EQ(total, 0u);

  LOG_LEVEL_LIMIT.store(5);
  threads.clear();
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < kRecords; ++i) VELNO_TRACE(kTargetStorage, "record ", i);
    });
  }
  for (auto& th : threads) th.join();
  total = 0;
  for (auto& c : caps) total += c.take().size();
  EXPECT_EQ(total, static_cast<std::size_t>(kThreads * kRecords));
}

}  // namespace
}  // namespace velno
