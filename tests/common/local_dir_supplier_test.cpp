#include "common/local_dir_supplier.hpp"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log.hpp"
#include "support/test_support.hpp"

namespace velno {
namespace {

using test::TempDir;
using Records = std::vector<std::pair<uint32_t, std::string>>;

bool is_dir(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Installs a TRACE logger for this process and returns what it receives.
std::shared_ptr<Records> trace_everything() {
  auto records = std::make_shared<Records>();
  auto mu = std::make_shared<std::mutex>();
  testing::internal::CaptureStdout();
  EXPECT_TRUE(init_host_logger(5, std::make_shared<LogSinkFn>([records, mu](uint32_t level, std::string msg) {
                std::lock_guard<std::mutex> l(*mu);
                records->emplace_back(level, std::move(msg));
              })).ok());
  testing::internal::GetCapturedStdout();
  records->clear();  // the initialization line
  return records;
}

std::string with_prefix(const std::string& msg) { return "pelsar::local_dir_supplier " + msg; }

TEST(LocalDirTest, DefaultIsDotOlvekUnderHome) {
  const std::pair<const char*, const char*> rows[] = {
      {"/Users/ann", "/Users/ann/.olvek"},
      {"/Users/ann/", "/Users/ann/.olvek"},
      {"relative", "relative/.olvek"},
  };
  for (const auto& [home, want] : rows) {
    setenv("HOME", home, 1);
    EXPECT_EQ(supply_local_dir(), want);
  }
  // Without a usable HOME the password database decides, else "./".
  struct passwd* pw = getpwuid(getuid());
  std::string db = pw && pw->pw_dir && pw->pw_dir[0] ? pw->pw_dir : "./";
  const std::string want = db + (db.back() == '/' ? "" : "/") + ".olvek";
  setenv("HOME", "", 1);
  EXPECT_EQ(supply_local_dir(), want);
  unsetenv("HOME");
  EXPECT_EQ(supply_local_dir(), want);
}

TEST(LocalDirTest, DefaultLookupLogsTraceThenDebug) {
  auto records = trace_everything();
  setenv("HOME", "/Users/ann", 1);
  EXPECT_EQ(supply_local_dir(), "/Users/ann/.olvek");
  EXPECT_EQ(*records,
            (Records{{5, with_prefix("Resolve olvek home path. Check Externally configured path first")},
                     {4, with_prefix("EXTERNALLY_SUPPLIED_DIR not set. Going default way.")}}));
}

TEST(LocalDirTest, ExistingDirectoryIsStoredExactlyWithoutCreation) {
  TempDir tmp;
  auto records = trace_everything();
  setenv("HOME", "/Users/ann", 1);
  for (const std::string& dir : {tmp.path(), tmp.path() + "/", tmp.path() + "/./"}) {
    records->clear();
    ASSERT_TRUE(set_local_dir(dir).ok());
    EXPECT_EQ(*records, (Records{{5, with_prefix("Update internal mutex")}}));
    EXPECT_EQ(supply_local_dir(), dir);
  }
}

TEST(LocalDirTest, MissingNestedPathIsCreatedLevelByLevel) {
  TempDir tmp;
  auto records = trace_everything();
  const std::string dir = tmp.path() + "/a/b//c/";
  ASSERT_TRUE(set_local_dir(dir).ok());
  EXPECT_TRUE(is_dir(tmp.path() + "/a/b/c"));
  EXPECT_EQ(*records, (Records{{5, with_prefix(dir + " does not exist. try to create it")},
                               {5, with_prefix("Update internal mutex")}}));
  EXPECT_EQ(supply_local_dir(), dir);
  // A later text replaces the first.
  ASSERT_TRUE(set_local_dir(tmp.path() + "/a").ok());
  EXPECT_EQ(supply_local_dir(), tmp.path() + "/a");
}

TEST(LocalDirTest, RelativeTextIsKeptAndCreatedUnderCurrentDirectory) {
  TempDir tmp;
  char old_cwd[4096];
  ASSERT_NE(getcwd(old_cwd, sizeof old_cwd), nullptr);
  ASSERT_EQ(chdir(tmp.path().c_str()), 0);
  const bool ok = set_local_dir("rel/dir").ok();
  const bool created = is_dir(tmp.path() + "/rel/dir");
  const std::string answer = supply_local_dir();
  ASSERT_EQ(chdir(old_cwd), 0);
  EXPECT_TRUE(ok);
  EXPECT_TRUE(created);
  EXPECT_EQ(answer, "rel/dir");
}

TEST(LocalDirTest, FailuresStoreNothing) {
  TempDir tmp;
  setenv("HOME", "/Users/ann", 1);
  ASSERT_TRUE(set_local_dir(tmp.path()).ok());
  const std::string file = tmp.path() + "/file";
  test::write_file(file, "x");
  struct Row {
    std::string dir;
    DidErrorKind kind;
    std::string message_start;
  };
  const Row rows[] = {
      {"", DidErrorKind::InvalidState, "Please provide a valid path"},
      {file, DidErrorKind::IO, "Os { code: " + std::to_string(EEXIST) + ", kind: AlreadyExists, message: \""},
      {file + "/sub", DidErrorKind::IO, "Os { code: " + std::to_string(ENOTDIR) + ", kind: NotADirectory, "},
  };
  for (const Row& row : rows) {
    auto r = set_local_dir(row.dir);
    ASSERT_FALSE(r.ok()) << row.dir;
    EXPECT_EQ(r.error().kind(), row.kind);
    EXPECT_EQ(r.error().raw_message().rfind(row.message_start, 0), 0u) << r.error().raw_message();
    EXPECT_EQ(supply_local_dir(), tmp.path());
  }
}

TEST(LocalDirTest, EmptyTextLogsError) {
  auto records = trace_everything();
  EXPECT_FALSE(set_local_dir("").ok());
  EXPECT_EQ(*records, (Records{{1, with_prefix("Provided local dir is empty")}}));
}

TEST(LocalDirTest, PoisonedMutexFallsBackToDefaultAndRefusesUpdates) {
  TempDir tmp;
  setenv("HOME", "/Users/ann", 1);
  ASSERT_TRUE(set_local_dir(tmp.path()).ok());
  poison_local_dir_for_test();
  auto records = trace_everything();
  EXPECT_EQ(supply_local_dir(), "/Users/ann/.olvek");
  EXPECT_EQ(*records,
            (Records{{5, with_prefix("Resolve olvek home path. Check Externally configured path first")},
                     {2, with_prefix("Couldn't obtain mutex for EXTERNALLY_SUPPLIED_DIR. Going default way")},
                     {4, with_prefix("EXTERNALLY_SUPPLIED_DIR not set. Going default way.")}}));
  auto r = set_local_dir(tmp.path() + "/new");
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), DidErrorKind::SyncError);
  EXPECT_EQ(r.error().raw_message(), "Mutex lock failed, poisonous guard poisoned lock: another task failed inside");
  EXPECT_TRUE(is_dir(tmp.path() + "/new"));  // created before the lock was taken
  EXPECT_EQ(supply_local_dir(), "/Users/ann/.olvek");
}

TEST(LocalDirConcurrencyTest, SettersAndReadersAtOnce) {
  TempDir tmp;
  setenv("HOME", "/Users/ann", 1);
  const std::string a = tmp.path() + "/a", b = tmp.path() + "/b/c";
  std::vector<std::thread> threads;
  std::atomic<int> odd{0};
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 50; ++i) {
        if (t % 2 == 0) {
          EXPECT_TRUE(set_local_dir(t % 4 == 0 ? a : b).ok());
        } else {
          const std::string d = supply_local_dir();
          if (d != a && d != b && d != "/Users/ann/.olvek") odd.fetch_add(1);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(odd.load(), 0);
  EXPECT_TRUE(is_dir(a));
  EXPECT_TRUE(is_dir(b));
}

}  // namespace
}  // namespace velno
