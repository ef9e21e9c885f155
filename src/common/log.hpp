// The process logger: one limit tested at every call site, one installed logger.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "common/did_error.hpp"
#include "common/hex.hpp"

namespace velno {

enum class LogLevel : uint32_t { Error = 1, Warn = 2, Info = 3, Debug = 4, Trace = 5 };

// 0 OFF .. 5 TRACE; written once by init_host_logger, read by every call site.
extern std::atomic<std::size_t> LOG_LEVEL_LIMIT;

// "OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE" for 0..5.
std::string_view level_limit_name(std::size_t limit);

// Module paths: the target of every record made under them.
inline constexpr std::string_view kTargetLocalDir = "pelsar::local_dir_supplier";
inline constexpr std::string_view kTargetWallet = "brox::brox_wallet::brox_wallet";
inline constexpr std::string_view kTargetStorage = "brox_fs::brox_fs::brox_file_system_storage";
inline constexpr std::string_view kTargetWalletPath = "brox_fs::utils::wallet_path";
inline constexpr std::string_view kTargetAgent = "velno_core::velno_agent";

struct LogRecord {
  LogLevel level;
  std::string_view target;
  std::string_view message;
  std::string_view module_path;   // empty when the record has none
  const char* file = nullptr;
  uint32_t line = 0;
};

class Logger {
 public:
  virtual ~Logger() = default;
  virtual bool enabled(LogLevel level) const = 0;
  virtual void log(const LogRecord& record) = 0;
  virtual void flush() = 0;
};

// The host's callable: a level 1..5 and an owned message text.
using LogSinkFn = std::function<void(uint32_t level, std::string message)>;

// Hands each record to the sink as "<module path> <message>".
class HostLogger final : public Logger {
 public:
  HostLogger(std::size_t level, std::shared_ptr<LogSinkFn> callback)
      : level_(level), callback_(std::move(callback)) {}
  bool enabled(LogLevel level) const override;
  void log(const LogRecord& record) override;
  void flush() override {}

 private:
  std::size_t level_;
  std::shared_ptr<LogSinkFn> callback_;
};

inline constexpr const char* kSetLoggerError =
    "attempted to set a logger after the logging system was already initialized";

// Installs `logger` for the rest of the process; fails when one is installed already.
bool install_process_logger(std::unique_ptr<Logger> logger);

// Prints "Set logging level <NAME>", calls the sink once at level 4 with
// "Initialize logging to <NAME>", then installs a HostLogger and sets the limit.
DidResult<void> init_host_logger(std::size_t level, std::shared_ptr<LogSinkFn> callback);

// True when records of `level` are made at all (one load, one compare).
inline bool log_enabled(LogLevel level) {
  return static_cast<std::size_t>(level) <= LOG_LEVEL_LIMIT.load(std::memory_order_relaxed);
}

// Passes a record to the installed logger, if any. Call sites test the level first
// (VELNO_LOG does), so that no text is built for a record that is not made. A record
// that cannot be made (no memory for its text) is dropped: logging never fails a call.
void emit_log_record(LogLevel level, std::string_view target, const char* file, uint32_t line,
                     std::string_view message);

namespace detail {
// Builds the message with `make` and emits it; a message that cannot be built is dropped.
template <class F>
void emit_made_record(LogLevel level, std::string_view target, const char* file, uint32_t line, F&& make) {
  std::string message;
  try {
    message = std::forward<F>(make)();
  } catch (const std::bad_alloc&) {
    return;
  }
  emit_log_record(level, target, file, line, message);
}
}  // namespace detail

// Message pieces, joined without separators.
struct HexUpper { std::span<const uint8_t> bytes; };
struct HexLower { std::span<const uint8_t> bytes; };

namespace detail {
inline void log_append(std::string& out, std::string_view s) { out.append(s); }
inline void log_append(std::string& out, const char* s) { out.append(s); }
inline void log_append(std::string& out, const std::string& s) { out.append(s); }
inline void log_append(std::string& out, char c) { out.push_back(c); }
inline void log_append(std::string& out, HexUpper h) { out.append(hex_upper(h.bytes)); }
inline void log_append(std::string& out, HexLower h) { out.append(hex_lower(h.bytes)); }
template <class T>
  requires std::is_integral_v<T>
inline void log_append(std::string& out, T v) { out.append(std::to_string(v)); }
}  // namespace detail

template <class... Args>
std::string log_concat(const Args&... args) {
  std::string out;
  (detail::log_append(out, args), ...);
  return out;
}

}  // namespace velno

// Makes a log record only when its level is within LOG_LEVEL_LIMIT: otherwise nothing
// of the message is computed.
#define VELNO_LOG(level, target, ...)                                                   \
  do {                                                                                  \
    if (::velno::log_enabled(level))                                                    \
      ::velno::detail::emit_made_record(level, target, __FILE__, __LINE__,             \
                                        [&] { return ::velno::log_concat(__VA_ARGS__); }); \
  } while (0)

#define VELNO_ERROR(target, ...) VELNO_LOG(::velno::LogLevel::Error, target, __VA_ARGS__)
#define VELNO_WARN(target, ...) VELNO_LOG(::velno::LogLevel::Warn, target, __VA_ARGS__)
#define VELNO_INFO(target, ...) VELNO_LOG(::velno::LogLevel::Info, target, __VA_ARGS__)
#define VELNO_DEBUG(target, ...) VELNO_LOG(::velno::LogLevel::Debug, target, __VA_ARGS__)
#define VELNO_TRACE(target, ...) VELNO_LOG(::velno::LogLevel::Trace, target, __VA_ARGS__)
