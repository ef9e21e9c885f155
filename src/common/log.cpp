#include "common/log.hpp"

#include <cstdio>
#include <new>
#include <thread>

namespace velno {

std::atomic<std::size_t> LOG_LEVEL_LIMIT{0};

namespace {

constexpr int kEmpty = 0;
constexpr int kSetting = 1;
constexpr int kSet = 2;

// Set once, never replaced or released: records may be logged until the process ends.
struct LoggerSlot {
  std::atomic<int> state{kEmpty};
  Logger* logger = nullptr;
};
LoggerSlot PROCESS_LOGGER;

inline void cpu_pause() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__) || defined(__arm__)
  __asm__ __volatile__("yield");
#else
  std::this_thread::yield();
#endif
}

constexpr std::string_view kLevelNames[] = {"OFF", "ERROR", "WARN", "INFO", "DEBUG", "TRACE"};

}  // namespace

std::string_view level_limit_name(std::size_t limit) { return kLevelNames[limit < 5 ? limit : 5]; }

bool install_process_logger(std::unique_ptr<Logger> logger) {
  int expected = kEmpty;
  if (PROCESS_LOGGER.state.compare_exchange_strong(expected, kSetting, std::memory_order_acquire)) {
    PROCESS_LOGGER.logger = logger.release();
    PROCESS_LOGGER.state.store(kSet, std::memory_order_release);
    return true;
  }
  while (PROCESS_LOGGER.state.load(std::memory_order_acquire) == kSetting) cpu_pause();
  return false;  // the offered logger is released here
}

void emit_log_record(LogLevel level, std::string_view target, const char* file, uint32_t line,
                     std::string_view message) {
  if (!log_enabled(level)) return;
  if (PROCESS_LOGGER.state.load(std::memory_order_acquire) != kSet) return;
  const LogRecord record{level, target, message, target, file, line};
  PROCESS_LOGGER.logger->log(record);
}

bool HostLogger::enabled(LogLevel level) const { return static_cast<std::size_t>(level) <= level_; }

void HostLogger::log(const LogRecord& record) {
  if (!enabled(record.level) || !callback_ || !*callback_) return;
  std::string text;
  try {
    text.reserve(record.module_path.size() + 1 + record.message.size());
  } catch (const std::bad_alloc&) {
    return;  // no memory for the record's text: it is dropped
  }
  text.append(record.module_path);
  text.push_back(' ');
  text.append(record.message);
  (*callback_)(static_cast<uint32_t>(record.level), std::move(text));
}

DidResult<void> init_host_logger(std::size_t level, std::shared_ptr<LogSinkFn> callback) {
  const std::string_view name = level_limit_name(level);
  std::string line = "Set logging level ";
  line.append(name);
  line.push_back('\n');
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);

  if (callback && *callback) (*callback)(4, "Initialize logging to " + std::string(name));

  if (!install_process_logger(std::make_unique<HostLogger>(level, std::move(callback)))) {
    return DidError::with_message(DidErrorKind::InvalidState, kSetLoggerError);
  }
  LOG_LEVEL_LIMIT.store(level, std::memory_order_relaxed);
  return {};
}

}  // namespace velno
