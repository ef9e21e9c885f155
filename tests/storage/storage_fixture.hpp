// Shared by the storage tests: a temporary home directory, records, a log capture and
// a look at the files of the wallet directory.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "storage/brox_file_system_storage.hpp"
#include "storage/wallet_path.hpp"
#include "support/test_support.hpp"

namespace velno::test {

inline InternalStorageRecord make_record(const std::string& raw_key, nlohmann::json data,
                                         RecordType typ = RecordType::Did) {
  InternalStorageRecord r;
  r.key = {raw_key, std::string(record_type_debug(typ))};
  r.typ = typ;
  r.date = 1700000000;
  r.record_object = std::move(data);
  return r;
}

// Collects every log record; installed once per test process.
class LogCapture final : public Logger {
 public:
  static LogCapture& install() {
    static LogCapture* capture = [] {
      auto owned = std::make_unique<LogCapture>();
      LogCapture* raw = owned.get();
      install_process_logger(std::move(owned));
      return raw;
    }();
    LOG_LEVEL_LIMIT.store(static_cast<std::size_t>(LogLevel::Trace));
    capture->clear();
    return *capture;
  }
  bool enabled(LogLevel) const override { return true; }
  void log(const LogRecord& r) override {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.push_back(std::to_string(static_cast<int>(r.level)) + " " + std::string(r.target) + " " +
                     std::string(r.message));
  }
  void flush() override {}
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  bool has(const std::string& line) const {
    auto all = lines();
    return std::find(all.begin(), all.end(), line) != all.end();
  }
  void clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

// The names in a directory, sorted, without "." and "..".
inline std::vector<std::string> dir_entries(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") names.push_back(n);
    }
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A fresh home directory for every test.
class StorageTest : public ::testing::Test {
 protected:
  static constexpr const char* kName = "qxdwallet_t";

  void SetUp() override { ASSERT_TRUE(set_local_dir(home_.path()).ok()); }
  std::string wallet_dir() const { return home_.path() + "/brox-wallet"; }
  std::string wallet_file(const std::string& name = kName) const { return wallet_dir() + "/./" + name + ".json"; }

  TempDir home_;
};

}  // namespace velno::test
