// FairLock: a lock for the threads of one process that is handed out in arrival order.
//
// - Exclusive hold (lock/unlock): one thread at a time, re-entrant for that thread.
// - Shared hold (lock_shared/unlock_shared): any number of threads at once, none holding it
//   exclusively. A thread that holds it (in either mode) may take it shared again at once, even
//   while others wait; the exclusive owner's shared holds count as its own re-entries.
// - Arrival order: a thread that has to wait queues behind every thread that came before it, in
//   either mode, so a holder that releases and asks again goes behind those already waiting and
//   no waiter is overtaken. Consecutive shared waiters at the head of the queue enter together.
// - Asking for the exclusive hold while holding it shared would wait forever: it throws
//   std::logic_error instead.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace vornak2 {

class FairLock {
 public:
  FairLock() = default;
  FairLock(const FairLock&) = delete;
  FairLock& operator=(const FairLock&) = delete;

  void lock();
  void unlock();
  void lock_shared();
  void unlock_shared();
  // The number of threads waiting for the lock now (a snapshot, for diagnostics and tests).
  std::size_t Waiting();

 private:
  struct Sharer {
    std::thread::id thread;
    std::uint32_t depth = 0;
  };
  Sharer* FindSharer(std::thread::id thread);
  // Queues the calling thread and waits until it is at the head and `admissible` holds.
  template <typename Admissible>
  void WaitTurn(std::unique_lock<std::mutex>& guard, Admissible&& admissible);

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::uint64_t> queue_;  // tickets of the waiting threads, in arrival order
  std::uint64_t nextTicket_ = 0;
  std::thread::id owner_;  // default id: no exclusive holder
  std::uint32_t ownerDepth_ = 0;
  std::vector<Sharer> sharers_;  // threads that hold it shared
};

// Holds a FairLock shared for the lifetime of the guard.
class SharedHold {
 public:
  explicit SharedHold(FairLock& lock) : lock_(lock) { lock_.lock_shared(); }
  ~SharedHold() { lock_.unlock_shared(); }
  SharedHold(const SharedHold&) = delete;
  SharedHold& operator=(const SharedHold&) = delete;

 private:
  FairLock& lock_;
};

}  // namespace vornak2
