// Single-thread rules of the reader-writer lock; the multi-thread tests are in
// rwsyncs_thread_test.cc.
#include "support/rwsyncs.h"

#include <gtest/gtest.h>

namespace vornak2 {
namespace {

std::string MisuseText(const std::function<void()>& call) {
  try {
    call();
  } catch (const EAssertionFailed& e) {
    return e.what();
  }
  return "no exception";
}

TEST(RWCriticalSection, ReadsAndWritesNestInOneThread) {
  TRWCriticalSection lock;
  lock.BeginRead();
  lock.BeginRead();
  lock.BeginWrite();  // upgrade: no other thread reads
  lock.BeginWrite();
  lock.BeginRead();  // inside the own write: not recorded
  lock.EndRead();
  lock.EndRead();  // also not recorded: the thread writes
  lock.EndWrite();
  lock.EndWrite();
  // The two reads from before the write are still in force; a third EndRead is misuse.
  lock.EndRead();
  lock.EndRead();
  EXPECT_EQ(MisuseText([&] { lock.EndRead(); }), "Assertion failure (rwsyncs, line 191)");
}

TEST(RWCriticalSection, MisuseRaisesAssertionFailures) {
  TRWCriticalSection lock;
  EXPECT_EQ(MisuseText([&] { lock.EndRead(); }), "Assertion failure (rwsyncs, line 191)");
  EXPECT_EQ(MisuseText([&] { lock.EndWrite(); }), "Assertion failure (rwsyncs, line 192)");
  lock.BeginWrite();
  lock.EndWrite();
  EXPECT_THROW(lock.EndWrite(), EAssertionFailed);
  // The lock still works after misuse was refused.
  {
    ReadLock read(lock);
    WriteLock write(lock);
  }
  EXPECT_THROW(lock.EndRead(), EAssertionFailed);
}

}  // namespace
}  // namespace vornak2
