// Multi-thread behaviour of the fair lock: arrival order in both modes, and no holder that takes
// it again ahead of those already waiting. Run under ThreadSanitizer by the tsan preset.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/fair_lock.h"

namespace vornak2 {
namespace {

using namespace std::chrono_literals;

// Waits until `count` threads are queued for the lock.
void AwaitWaiters(FairLock& lock, std::size_t count) {
  while (lock.Waiting() < count) std::this_thread::sleep_for(1ms);
}

// While the main thread holds the lock, threads arrive one after another asking for it in the
// given modes ('x' exclusive, 's' shared); they get it in arrival order, shared neighbours
// together (in any order among themselves), and an exclusive waiter is not overtaken by shared
// ones that came after it.
TEST(FairLockThreads, WaitersGetTheLockInArrivalOrder) {
  for (const std::string modes : {"xxxx", "xsxs", "ssxs", "xssx"}) {
    FairLock lock;
    std::mutex orderMutex;
    std::string order;
    lock.lock();
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < modes.size(); ++i) {
      threads.emplace_back([&, i] {
        const bool shared = modes[i] == 's';
        shared ? lock.lock_shared() : lock.lock();
        {
          std::lock_guard guard(orderMutex);
          order.push_back(static_cast<char>('0' + i));
        }
        std::this_thread::sleep_for(10ms);
        shared ? lock.unlock_shared() : lock.unlock();
      });
      AwaitWaiters(lock, i + 1);
    }
    lock.unlock();
    for (auto& t : threads) t.join();
    // Shared neighbours enter together, so their order among themselves is not defined.
    for (std::size_t i = 0; i < modes.size();) {
      std::size_t end = i + 1;
      while (modes[i] == 's' && end < modes.size() && modes[end] == 's') ++end;
      std::sort(order.begin() + static_cast<std::ptrdiff_t>(i),
                order.begin() + static_cast<std::ptrdiff_t>(end));
      i = end;
    }
    EXPECT_EQ(order, "0123") << modes;
  }
}

// A holder that releases and asks again queues behind the thread already waiting: with an unfair
// lock it would usually win again and the waiter would starve.
TEST(FairLockThreads, ReleasingHolderQueuesBehindWaiter) {
  FairLock lock;
  std::atomic<int> holderRounds{0};
  std::atomic<int> roundsWhenWaiterEntered{-1};
  lock.lock();
  std::thread waiter([&] {
    lock.lock();
    roundsWhenWaiterEntered = holderRounds.load();
    lock.unlock();
  });
  AwaitWaiters(lock, 1);
  for (int i = 0; i < 100; ++i) {
    lock.unlock();
    lock.lock();
    ++holderRounds;
  }
  lock.unlock();
  waiter.join();
  EXPECT_EQ(roundsWhenWaiterEntered.load(), 0);
}

// Re-entry in every mode a holder may ask for, without waiting for those queued meanwhile; the
// exclusive hold asked for inside a shared one is refused rather than waiting forever.
TEST(FairLockThreads, HoldersReenterWithoutWaiting) {
  FairLock lock;
  std::atomic<bool> otherEntered{false};
  lock.lock_shared();
  std::thread other([&] {
    lock.lock();
    otherEntered = true;
    lock.unlock();
  });
  AwaitWaiters(lock, 1);
  lock.lock_shared();  // the queued exclusive waiter does not block a holder's re-entry
  EXPECT_THROW(lock.lock(), std::logic_error);
  lock.unlock_shared();
  EXPECT_FALSE(otherEntered.load());
  lock.unlock_shared();
  other.join();
  EXPECT_TRUE(otherEntered.load());

  lock.lock();
  lock.lock();
  lock.lock_shared();
  lock.unlock_shared();
  lock.unlock();
  std::atomic<bool> entered{false};
  std::thread late([&] {
    lock.lock_shared();
    entered = true;
    lock.unlock_shared();
  });
  AwaitWaiters(lock, 1);
  EXPECT_FALSE(entered.load());  // still held once
  lock.unlock();
  late.join();
  EXPECT_TRUE(entered.load());
}

}  // namespace
}  // namespace vornak2
