// Shared by the wallet tests: a wallet in a temporary home whose password callback
// answers whatever password the test points it at, a log capture, and byte helpers.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "common/base58.hpp"
#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "storage/wallet_path.hpp"
#include "support/test_support.hpp"
#include "wallet/brox_wallet.hpp"

namespace velno::test {

inline std::vector<uint8_t> from_hex(std::string_view hex) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

inline std::span<const uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

inline std::vector<uint8_t> b58(std::string_view text) {
  auto decoded = base58_decode(text, text.size());
  EXPECT_TRUE(decoded.ok()) << text;
  return decoded.ok() ? std::move(**decoded) : std::vector<uint8_t>{};
}

// Collects every log record made; installed once per test process.
class LogCapture final : public Logger {
 public:
  struct Line {
    LogLevel level;
    std::string target;
    std::string message;
  };
  static LogCapture& install(LogLevel limit) {
    static LogCapture* capture = [] {
      auto owned = std::make_unique<LogCapture>();
      LogCapture* raw = owned.get();
      install_process_logger(std::move(owned));
      return raw;
    }();
    LOG_LEVEL_LIMIT.store(static_cast<std::size_t>(limit));
    capture->clear();
    capture->on_record = nullptr;
    return *capture;
  }
  bool enabled(LogLevel) const override { return true; }
  void log(const LogRecord& r) override {
    {
      std::lock_guard<std::mutex> hold(mutex_);
      lines_.push_back({r.level, std::string(r.target), std::string(r.message)});
    }
    if (on_record) on_record(r);
  }
  // Runs after each record is kept: a test may throw from it to fail the code that logs.
  std::function<void(const LogRecord&)> on_record;
  void flush() override {}
  std::vector<Line> lines() const {
    std::lock_guard<std::mutex> hold(mutex_);
    return lines_;
  }
  // The wallet's own lines, as "<level> <message>" (storage lines left out).
  std::vector<std::string> wallet_lines() const {
    std::vector<std::string> out;
    for (const Line& l : lines())
      if (l.target == kTargetWallet) out.push_back(std::to_string(static_cast<int>(l.level)) + " " + l.message);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> hold(mutex_);
    lines_.clear();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Line> lines_;
};

inline const std::string kPasswordA = "correct horse battery";
inline const std::string kPasswordB = "staple 42";
inline const std::string kEmptyPassword;

class WalletFixture : public ::testing::Test {
 protected:
  static constexpr const char* kName = "qxdwallet_test";

  void SetUp() override {
    ASSERT_TRUE(set_local_dir(home_.path()).ok());
    auto wallet = Wallet::create(kName, callback_for(password_, password_calls_), BroxFileSystemStorage(kName));
    ASSERT_TRUE(wallet.ok()) << wallet.error().raw_message();
    wallet_ = std::move(wallet).value();
  }

  // A thread-safe callback answering the password `current` points at.
  static PasswordFn callback_for(std::atomic<const std::string*>& current, std::atomic<int>& calls) {
    return [&current, &calls] {
      ++calls;
      return SecretBytes(std::string_view(*current.load()));
    };
  }

  std::string wallet_path() const { return resolve_wallet_path(kName); }
  std::string wallet_text() const { return read_file(wallet_path()); }
  std::string undo_text() const { return read_file(resolve_wallet_path(std::string(kName) + "-undo")); }
  bool undo_exists() const { return file_exists(resolve_wallet_path(std::string(kName) + "-undo")); }

  const BroxFileSystemStorage& storage() const { return wallet_->storage(); }
  InternalStorageRecord stored(const std::string& key_text) const {
    auto r = storage().get_record(key_text);
    EXPECT_TRUE(r.ok() && r.value().has_value()) << key_text;
    return r.ok() && r.value() ? *r.value() : InternalStorageRecord{};
  }
  RecordMap snapshot() const {
    RecordMap out;
    auto it = storage().iter();
    EXPECT_TRUE(it.ok());
    if (!it.ok()) return out;
    while (auto item = it.value()->next()) out.emplace(item->key, item->record);
    return out;
  }
  void add(InternalStorageRecord record) const { ASSERT_TRUE(storage().add_record(std::move(record)).ok()); }

  DIDInfo create(std::optional<std::string_view> seed = std::nullopt) const {
    std::optional<std::span<const uint8_t>> s;
    if (seed) s = bytes_of(*seed);
    auto info = wallet_->create_did(s, std::nullopt);
    EXPECT_TRUE(info.ok()) << info.error().raw_message();
    return info.ok() ? std::move(info).value() : DIDInfo{};
  }

  TempDir home_;
  std::atomic<const std::string*> password_{&kPasswordA};
  std::atomic<int> password_calls_{0};
  std::unique_ptr<Wallet> wallet_;
};

inline InternalStorageRecord plain_record(std::string raw_key, std::string record_type, RecordType typ,
                                          nlohmann::json data) {
  return InternalStorageRecord{{std::move(raw_key), std::move(record_type)}, typ, 1700000000, std::nullopt,
                               std::nullopt, std::move(data), nullptr};
}

inline nlohmann::json did_info_json(const std::string& id, bool public_did = false) {
  return {{"id", id}, {"metadata", nullptr}, {"publicDID", public_did}, {"publicKey", "GJ1SzoWzavQYfNL9XkaJdrQejfztN4XqdsiV4ct3LXKL"}, {"seed", nullptr}};
}

#define EXPECT_DID_ERROR(result, expected_kind, expected_message)                     \
  do {                                                                                \
    const auto& velno_r_ = (result);                                                  \
    ASSERT_FALSE(velno_r_.ok());                                                      \
    EXPECT_EQ(kind_name(velno_r_.error().kind()), kind_name(expected_kind));          \
    EXPECT_EQ(velno_r_.error().raw_message(), expected_message);                      \
  } while (0)

}  // namespace velno::test
