#include "common/poison_lock.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace velno {
namespace {

// Runs `hold` and swallows the exception it ends with.
template <class F>
void fail_inside(F hold) {
  try {
    hold();
  } catch (const std::runtime_error&) {
  }
}

TEST(PoisonLockTest, ExclusiveHoldEndedByExceptionPoisons) {
  PoisonRwLock<std::string> rw("start");
  fail_inside([&] {
    auto held = rw.write();
    EXPECT_FALSE(held.poisoned);
    *held.guard = "half-changed";
    throw std::runtime_error("fail");
  });
  EXPECT_TRUE(rw.is_poisoned());
  auto r = rw.read();
  EXPECT_TRUE(r.poisoned);
  EXPECT_EQ(*r.guard, "half-changed");  // the value stays reachable
}

TEST(PoisonLockTest, SharedHoldEndedByExceptionDoesNotPoison) {
  PoisonRwLock<int> rw(7);
  fail_inside([&] {
    auto held = rw.read();
    throw std::runtime_error("fail");
  });
  EXPECT_FALSE(rw.is_poisoned());
  EXPECT_FALSE(rw.write().poisoned);
}

TEST(PoisonLockTest, MutexHoldEndedByExceptionPoisonsForGood) {
  PoisonMutex<int> m(1);
  fail_inside([&] {
    auto held = m.lock();
    *held.guard = 2;
    throw std::runtime_error("fail");
  });
  for (int i = 0; i < 3; ++i) {
    auto held = m.lock();  // clean holds do not heal it
    EXPECT_TRUE(held.poisoned);
    EXPECT_EQ(*held.guard, 2);
  }
}

TEST(PoisonLockTest, OnlyExceptionsThatEndTheHoldCount) {
  PoisonMutex<int> m;
  PoisonRwLock<int> rw;
  {
    auto held = m.lock();
    auto w = rw.write();
    fail_inside([] { throw std::runtime_error("caught inside the hold"); });
  }
  // A hold that ends before the exception leaves the lock sound.
  fail_inside([&] {
    auto held = m.lock();
    held.guard.unlock();
    throw std::runtime_error("after the hold");
  });
  // A hold made and ended while another exception unwinds ends normally.
  struct HoldsOnUnwind {
    PoisonRwLock<int>* rw;
    ~HoldsOnUnwind() { auto w = rw->write(); }
  };
  fail_inside([&] {
    HoldsOnUnwind h{&rw};
    throw std::runtime_error("unwinding");
  });
  EXPECT_FALSE(m.is_poisoned());
  EXPECT_FALSE(rw.is_poisoned());
}

// While an exclusive hold waits behind a shared one, a new shared hold passes it only
// when readers are preferred.
template <RwPreference P>
bool new_reader_passes_a_waiting_writer() {
  SharedMutex<P> mutex;
  mutex.lock_shared();
  std::thread writer([&] {
    mutex.lock();
    mutex.unlock();
  });
  while (mutex.writers_waiting() == 0) std::this_thread::yield();
  const bool passed = mutex.try_lock_shared();
  if (passed) mutex.unlock_shared();
  mutex.unlock_shared();
  writer.join();
  return passed;
}

TEST(PoisonLockConcurrencyTest, PreferenceDecidesWhetherANewReaderPassesAWaitingWriter) {
  EXPECT_TRUE(new_reader_passes_a_waiting_writer<RwPreference::Readers>());
  EXPECT_FALSE(new_reader_passes_a_waiting_writer<RwPreference::Writers>());
}

template <RwPreference P>
void writers_and_readers_see_whole_updates() {
  PoisonRwLock<std::vector<int>, P> rw;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        if (t % 2 == 0) {
          auto w = rw.write();
          w.guard->push_back(i);
          w.guard->push_back(i);
        } else {
          auto r = rw.read();
          EXPECT_EQ(r.guard->size() % 2, 0u);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(rw.read().guard->size(), 2000u);
  EXPECT_FALSE(rw.is_poisoned());
}

TEST(PoisonLockConcurrencyTest, WritersAndReadersSeeWholeUpdates) {
  writers_and_readers_see_whole_updates<RwPreference::Readers>();
  writers_and_readers_see_whole_updates<RwPreference::Writers>();
}

}  // namespace
}  // namespace velno
