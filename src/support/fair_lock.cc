#include "support/fair_lock.h"

#include <algorithm>
#include <stdexcept>

namespace vornak2 {

FairLock::Sharer* FairLock::FindSharer(std::thread::id thread) {
  const auto it = std::find_if(sharers_.begin(), sharers_.end(),
                               [&](const Sharer& s) { return s.thread == thread; });
  return it == sharers_.end() ? nullptr : &*it;
}

template <typename Admissible>
void FairLock::WaitTurn(std::unique_lock<std::mutex>& guard, Admissible&& admissible) {
  const std::uint64_t ticket = nextTicket_++;
  queue_.push_back(ticket);
  try {
    changed_.wait(guard, [&] { return queue_.front() == ticket && admissible(); });
  } catch (...) {
    queue_.erase(std::find(queue_.begin(), queue_.end(), ticket));
    changed_.notify_all();
    throw;
  }
  queue_.pop_front();
}

std::size_t FairLock::Waiting() {
  std::lock_guard guard(mutex_);
  return queue_.size();
}

void FairLock::lock() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock guard(mutex_);
  if (owner_ == self) {
    ++ownerDepth_;
    return;
  }
  if (FindSharer(self) != nullptr)
    throw std::logic_error("FairLock: exclusive hold asked for inside a shared one");
  WaitTurn(guard, [&] { return owner_ == std::thread::id() && sharers_.empty(); });
  owner_ = self;
  ownerDepth_ = 1;
}

void FairLock::unlock() {
  std::lock_guard guard(mutex_);
  if (owner_ != std::this_thread::get_id() || ownerDepth_ == 0) return;
  if (--ownerDepth_ == 0) {
    owner_ = std::thread::id();
    changed_.notify_all();
  }
}

void FairLock::lock_shared() {
  const std::thread::id self = std::this_thread::get_id();
  std::unique_lock guard(mutex_);
  if (owner_ == self) {
    ++ownerDepth_;
    return;
  }
  if (Sharer* s = FindSharer(self)) {
    ++s->depth;
    return;
  }
  WaitTurn(guard, [&] { return owner_ == std::thread::id(); });
  sharers_.push_back({self, 1});
  // The next waiter may be a shared one too, which can enter beside this thread.
  changed_.notify_all();
}

void FairLock::unlock_shared() {
  const std::thread::id self = std::this_thread::get_id();
  std::lock_guard guard(mutex_);
  if (owner_ == self) {
    if (ownerDepth_ > 0 && --ownerDepth_ == 0) {
      owner_ = std::thread::id();
      changed_.notify_all();
    }
    return;
  }
  Sharer* s = FindSharer(self);
  if (s == nullptr) return;
  if (--s->depth == 0) {
    sharers_.erase(sharers_.begin() + (s - sharers_.data()));
    if (sharers_.empty()) changed_.notify_all();
  }
}

}  // namespace vornak2
