// Locks that mark themselves failed ("poisoned") when a hold ends while an exception
// is propagating that began during the hold, so that later holders learn that the
// guarded data may be half-changed.
//
// lock(), read() and write() always acquire; the result says whether the lock was
// found poisoned. A poisoned lock stays poisoned.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace velno {

// Which waiter a reader-writer mutex lets in first. The standard shared mutex leaves
// this to the platform (glibc prefers readers, libc++ writers), and each of our locks
// needs one answer on every platform.
enum class RwPreference {
  // A shared hold is granted whenever no exclusive hold is held: a thread that waits
  // while it holds a shared hold never keeps another thread from taking one.
  Readers,
  // Once an exclusive hold is waiting, new shared holds wait behind it, so a stream of
  // overlapping shared holds cannot starve it. A thread must never ask for a shared
  // hold that it already holds.
  Writers,
};

template <RwPreference Preference>
class SharedMutex {
 public:
  SharedMutex() = default;
  SharedMutex(const SharedMutex&) = delete;
  SharedMutex& operator=(const SharedMutex&) = delete;

  void lock() {
    std::unique_lock<std::mutex> state(mutex_);
    ++writers_waiting_;
    writer_turn_.wait(state, [this] { return !writer_ && readers_ == 0; });
    --writers_waiting_;
    writer_ = true;
  }
  bool try_lock() {
    std::lock_guard<std::mutex> state(mutex_);
    if (writer_ || readers_ != 0) return false;
    writer_ = true;
    return true;
  }
  void unlock() {
    {
      std::lock_guard<std::mutex> state(mutex_);
      writer_ = false;
    }
    reader_turn_.notify_all();
    writer_turn_.notify_one();
  }

  void lock_shared() {
    std::unique_lock<std::mutex> state(mutex_);
    reader_turn_.wait(state, [this] { return may_read(); });
    ++readers_;
  }
  bool try_lock_shared() {
    std::lock_guard<std::mutex> state(mutex_);
    if (!may_read()) return false;
    ++readers_;
    return true;
  }
  // How many exclusive holds are waiting; for tests.
  std::size_t writers_waiting() {
    std::lock_guard<std::mutex> state(mutex_);
    return writers_waiting_;
  }

  void unlock_shared() {
    bool last;
    {
      std::lock_guard<std::mutex> state(mutex_);
      last = --readers_ == 0 && writers_waiting_ != 0;
    }
    if (last) writer_turn_.notify_one();
  }

 private:
  bool may_read() const {
    return !writer_ && (Preference == RwPreference::Readers || writers_waiting_ == 0);
  }

  std::mutex mutex_;
  std::condition_variable reader_turn_;
  std::condition_variable writer_turn_;
  std::size_t readers_ = 0;
  std::size_t writers_waiting_ = 0;
  bool writer_ = false;
};

class PoisonFlag {
 public:
  bool is_poisoned() const { return poisoned_.load(std::memory_order_acquire); }
  void poison() { poisoned_.store(true, std::memory_order_release); }

 private:
  std::atomic<bool> poisoned_{false};
};

// Marks `flag` at the end of a hold when an exception began to propagate during it.
class PoisonOnUnwind {
 public:
  explicit PoisonOnUnwind(PoisonFlag* flag) : flag_(flag), uncaught_(std::uncaught_exceptions()) {}
  PoisonOnUnwind(PoisonOnUnwind&& o) noexcept : flag_(std::exchange(o.flag_, nullptr)), uncaught_(o.uncaught_) {}
  PoisonOnUnwind& operator=(PoisonOnUnwind&&) = delete;
  ~PoisonOnUnwind() { finish(); }
  void finish() {
    if (flag_ && std::uncaught_exceptions() > uncaught_) flag_->poison();
    flag_ = nullptr;
  }
  // The holder vouches that what the lock guards is whole: its end marks nothing.
  void dismiss() { flag_ = nullptr; }

 private:
  PoisonFlag* flag_;
  int uncaught_;
};

template <class Guard>
struct LockResult {
  Guard guard;
  bool poisoned;
};

template <class T>
class PoisonMutex {
 public:
  PoisonMutex() = default;
  explicit PoisonMutex(T value) : value_(std::move(value)) {}

  class Guard {
   public:
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    void unlock() {
      watch_.finish();
      lock_.unlock();
    }

   private:
    friend class PoisonMutex;
    Guard(PoisonMutex* m) : lock_(m->mutex_), watch_(&m->flag_), value_(&m->value_) {}
    std::unique_lock<std::mutex> lock_;
    PoisonOnUnwind watch_;
    T* value_;
  };

  LockResult<Guard> lock() {
    Guard g(this);
    bool p = flag_.is_poisoned();
    return {std::move(g), p};
  }
  bool is_poisoned() const { return flag_.is_poisoned(); }
  void poison() { flag_.poison(); }

 private:
  std::mutex mutex_;
  PoisonFlag flag_;
  T value_{};
};

// A reader-writer lock: any number of shared holds or one exclusive hold. Only an
// exclusive hold marks it poisoned.
template <class T, RwPreference Preference = RwPreference::Readers>
class PoisonRwLock {
 public:
  PoisonRwLock() = default;
  explicit PoisonRwLock(T value) : value_(std::move(value)) {}

  class ReadGuard {
   public:
    const T& operator*() const { return *value_; }
    const T* operator->() const { return value_; }
    void unlock() { lock_.unlock(); }
    bool owns_lock() const { return lock_.owns_lock(); }

   private:
    friend class PoisonRwLock;
    ReadGuard(PoisonRwLock* l) : lock_(l->mutex_), value_(&l->value_) {}
    std::shared_lock<SharedMutex<Preference>> lock_;
    const T* value_;
  };

  class WriteGuard {
   public:
    T& operator*() const { return *value_; }
    T* operator->() const { return value_; }
    void unlock() {
      watch_.finish();
      lock_.unlock();
    }
    // Ends the hold without marking the lock, also while an exception unwinds: for a
    // holder that has put what it changed back.
    void unlock_intact() {
      watch_.dismiss();
      lock_.unlock();
    }

   private:
    friend class PoisonRwLock;
    WriteGuard(PoisonRwLock* l) : lock_(l->mutex_), watch_(&l->flag_), value_(&l->value_) {}
    std::unique_lock<SharedMutex<Preference>> lock_;
    PoisonOnUnwind watch_;
    T* value_;
  };

  LockResult<ReadGuard> read() {
    ReadGuard g(this);
    bool p = flag_.is_poisoned();
    return {std::move(g), p};
  }
  LockResult<WriteGuard> write() {
    WriteGuard g(this);
    bool p = flag_.is_poisoned();
    return {std::move(g), p};
  }
  bool is_poisoned() const { return flag_.is_poisoned(); }
  void poison() { flag_.poison(); }

 private:
  SharedMutex<Preference> mutex_;
  PoisonFlag flag_;
  T value_{};
};

}  // namespace velno
