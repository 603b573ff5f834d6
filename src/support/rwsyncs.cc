// The reader-writer lock. One mutex guards all state; readers are recorded per thread so that
// re-entrant reads, upgrades from read to write and reads inside a write can be told apart.
#include "support/rwsyncs.h"

namespace vornak2 {

namespace {
const std::thread::id kNoThread{};
}

TRWCriticalSection::TRWCriticalSection() {
  readers_.resize(1);
}

TRWCriticalSection::~TRWCriticalSection() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  changed_.wait(
      lock, [&] { return (writer_ == kNoThread || writer_ == self) && !OtherThreadsRead(self); });
}

TRWCriticalSection::Reader* TRWCriticalSection::FindReader(std::thread::id thread) {
  for (Reader& reader : readers_) {
    if (reader.thread == thread) return &reader;
  }
  return nullptr;
}

bool TRWCriticalSection::OtherThreadsRead(std::thread::id self) const {
  for (const Reader& reader : readers_) {
    if (reader.thread != kNoThread && reader.thread != self) return true;
  }
  return false;
}

void TRWCriticalSection::BeginRead() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writer_ == self) return;  // a read inside the own write is free and not recorded
  if (Reader* reader = FindReader(self)) {
    // A nested read never blocks, even while a writer waits for this thread's reads to end.
    ++reader->depth;
    return;
  }
  // A first read waits for a writer, including one that still waits for other readers.
  changed_.wait(lock, [&] { return writer_ == kNoThread; });
  Reader* entry = FindReader(kNoThread);
  if (entry == nullptr) entry = &readers_.emplace_back();
  entry->thread = self;
  entry->depth = 1;
}

void TRWCriticalSection::EndRead() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writing_ && writer_ == self) return;
  Reader* reader = FindReader(self);
  if (reader == nullptr) throw EAssertionFailed("rwsyncs", kEndReadWithoutReadLine);
  if (--reader->depth == 0) {
    reader->thread = kNoThread;
    lock.unlock();
    changed_.notify_all();  // a writer may wait for this thread's reads
  }
}

void TRWCriticalSection::BeginWrite() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (writer_ == self) {
    ++writeDepth_;
    return;
  }
  if (FindReader(self) != nullptr) {
    // While this thread reads, no other thread can be writing; a writer that is there waits for
    // this thread's reads, so waiting for it here would never end.
    if (writer_ != kNoThread) throw EAssertionFailed("rwsyncs", kConflictingUpgradeLine);
  } else {
    changed_.wait(lock, [&] { return writer_ == kNoThread; });
  }
  // From here on new first reads and other writers wait; readers already inside may continue.
  writer_ = self;
  changed_.wait(lock, [&] { return !OtherThreadsRead(self); });
  writing_ = true;
  writeDepth_ = 1;
}

void TRWCriticalSection::EndWrite() {
  const auto self = std::this_thread::get_id();
  std::unique_lock lock(mutex_);
  if (!writing_ || writer_ != self) throw EAssertionFailed("rwsyncs", kEndWriteWithoutWriteLine);
  if (--writeDepth_ == 0) {
    writing_ = false;
    writer_ = kNoThread;
    lock.unlock();
    changed_.notify_all();
  }
}

}  // namespace vornak2
