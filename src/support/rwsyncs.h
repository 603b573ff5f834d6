// TRWCriticalSection: a multi-reader, single-writer lock for the threads of one process.
//
// - Any number of threads may read at the same time; a writer excludes every other thread.
// - Reads and writes are re-entrant: a thread may call BeginRead or BeginWrite again while it
//   holds that access, and must call the matching End as often.
// - A thread that reads may start writing: BeginWrite then waits only for the readers of other
//   threads. A thread that already reads may read again without blocking, even while a writer
//   waits for the readers to finish.
// - Reads inside the calling thread's own write cost nothing and are not recorded: BeginRead and
//   EndRead do nothing there (so a read begun inside a write must also end inside it).
// - A thread's first read waits while another thread writes or waits to write.
// - Misuse raises EAssertionFailed("rwsyncs", line): EndRead by a thread that holds no read
//   access (line 191), EndWrite by a thread that does not write (kEndWriteWithoutWriteLine), and
//   BeginWrite by a reading thread while another thread already waits to write
//   (kConflictingUpgradeLine). The last case would otherwise deadlock: that writer waits for this
//   thread's reads to end while this thread waits for the writer.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "support/errors.h"

namespace vornak2 {

class TRWCriticalSection {
 public:
  static constexpr int kEndReadWithoutReadLine = 191;
  static constexpr int kEndWriteWithoutWriteLine = 192;
  static constexpr int kConflictingUpgradeLine = 193;

  TRWCriticalSection();
  // Waits until no other thread reads or writes; destroying a lock that other threads still use
  // is a programming error all the same.
  ~TRWCriticalSection();
  TRWCriticalSection(const TRWCriticalSection&) = delete;
  TRWCriticalSection& operator=(const TRWCriticalSection&) = delete;

  void BeginRead();
  void EndRead();
  void BeginWrite();
  void EndWrite();

 private:
  struct Reader {
    std::thread::id thread;  // default id: free entry
    std::uint32_t depth = 0;
  };

  Reader* FindReader(std::thread::id thread);
  bool OtherThreadsRead(std::thread::id self) const;

  std::mutex mutex_;
  std::condition_variable changed_;
  // The thread that writes or waits for readers to finish before writing; default id: none.
  std::thread::id writer_;
  bool writing_ = false;  // writer_ has passed the wait and writes
  std::uint32_t writeDepth_ = 0;
  std::vector<Reader> readers_;  // free entries are reused before the array grows
};

// Holds read access for the lifetime of the guard.
class ReadLock {
 public:
  explicit ReadLock(TRWCriticalSection& lock) : lock_(lock) { lock_.BeginRead(); }
  ~ReadLock() { lock_.EndRead(); }
  ReadLock(const ReadLock&) = delete;
  ReadLock& operator=(const ReadLock&) = delete;

 private:
  TRWCriticalSection& lock_;
};

// Holds write access for the lifetime of the guard.
class WriteLock {
 public:
  explicit WriteLock(TRWCriticalSection& lock) : lock_(lock) { lock_.BeginWrite(); }
  ~WriteLock() { lock_.EndWrite(); }
  WriteLock(const WriteLock&) = delete;
  WriteLock& operator=(const WriteLock&) = delete;

 private:
  TRWCriticalSection& lock_;
};

}  // namespace vornak2
