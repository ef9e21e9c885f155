// Locks that mark themselves failed ("poisoned") when a hold ends while an exception
// is propagating that began during the hold, so that later holders learn that the
// guarded data may be half-changed.
//
// lock(), read() and write() always acquire; the result says whether the lock was
// found poisoned. A poisoned lock stays poisoned.
#pragma once

#include <atomic>
#include <exception>
#include <mutex>
#include <shared_mutex>
#include <utility>

namespace velno {

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
template <class T>
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
    std::shared_lock<std::shared_mutex> lock_;
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

   private:
    friend class PoisonRwLock;
    WriteGuard(PoisonRwLock* l) : lock_(l->mutex_), watch_(&l->flag_), value_(&l->value_) {}
    std::unique_lock<std::shared_mutex> lock_;
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
  std::shared_mutex mutex_;
  PoisonFlag flag_;
  T value_{};
};

}  // namespace velno
