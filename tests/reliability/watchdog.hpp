// Ends the test process when the work stops moving: a deadlock must fail, not hang CI.
// It watches progress, not the clock of the whole run: a busy machine makes a test
// slow, never stuck, so only a counter that stands still for `quiet` seconds fails it.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace velno::reliability {

// Bumped by every answer a test takes from the library (host_answer.hpp and
// host/host_library.hpp do), from any thread.
inline std::atomic<uint64_t>& answered_calls() {
  static std::atomic<uint64_t> count{0};
  return count;
}
inline void note_progress(std::atomic<uint64_t>& counter = answered_calls()) {
  counter.fetch_add(1, std::memory_order_relaxed);
}

class Watchdog {
 public:
  // A single call takes a few key derivations at most; minutes without one answer is
  // a hang, however loaded the machine.
  static constexpr std::chrono::seconds kQuiet{300};

  explicit Watchdog(std::chrono::seconds quiet = kQuiet, const std::atomic<uint64_t>& counter = answered_calls())
      : thread_([this, quiet, &counter] {
          std::unique_lock<std::mutex> lock(mutex_);
          uint64_t seen = counter.load();
          while (!cv_.wait_for(lock, quiet, [this] { return done_; })) {
            const uint64_t now = counter.load();
            if (now == seen) {
              std::fprintf(stderr, "watchdog: no progress in %lld s (%llu steps so far), presumed deadlock\n",
                           static_cast<long long>(quiet.count()), static_cast<unsigned long long>(now));
              std::_Exit(1);
            }
            seen = now;
          }
        }) {}
  ~Watchdog() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  Watchdog(const Watchdog&) = delete;
  Watchdog& operator=(const Watchdog&) = delete;

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace velno::reliability
