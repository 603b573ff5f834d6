// Multi-thread behaviour of the reader-writer lock. Built as its own target so that it can run
// under ThreadSanitizer; the shared data below is deliberately not atomic, so any hole in the
// lock's exclusion shows up as a data race.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "support/rwsyncs.h"

namespace vornak2 {
namespace {

using namespace std::chrono_literals;

// Long enough for a thread that is wrongly let through to get there.
constexpr auto kSettle = 50ms;

// Spins until `flag` is set, for at most a few seconds.
bool WaitFor(const std::atomic<bool>& flag) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!flag.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::yield();
  }
  return true;
}

TEST(RWCriticalSectionThreads, ReadersShareTheLock) {
  TRWCriticalSection lock;
  std::atomic<int> inside{0};
  std::atomic<bool> allInside{false};
  constexpr int kReaders = 4;
  std::vector<std::thread> threads;
  for (int i = 0; i < kReaders; ++i) {
    threads.emplace_back([&] {
      ReadLock read(lock);
      ReadLock nested(lock);
      if (++inside == kReaders) allInside = true;
      WaitFor(allInside);  // every reader holds the lock at this moment
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_TRUE(allInside.load());
}

TEST(RWCriticalSectionThreads, FirstReadWaitsForNestedWrites) {
  TRWCriticalSection lock;
  int shared = 0;
  std::atomic<bool> readerIn{false};
  lock.BeginWrite();
  lock.BeginWrite();
  std::thread reader([&] {
    ReadLock read(lock);
    readerIn = true;
    EXPECT_EQ(shared, 2);
  });
  shared = 1;
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(readerIn.load());
  lock.EndWrite();
  shared = 2;
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(readerIn.load()) << "one EndWrite of two released the lock";
  lock.EndWrite();
  reader.join();
  EXPECT_TRUE(readerIn.load());
}

TEST(RWCriticalSectionThreads, WriterWaitsForReadersWhoMayReadAgain) {
  TRWCriticalSection lock;
  std::atomic<bool> writerIn{false};
  lock.BeginRead();
  std::thread writer([&] {
    WriteLock write(lock);
    writerIn = true;
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(writerIn.load());
  // A reader that reads again while the writer waits is not blocked.
  lock.BeginRead();
  lock.EndRead();
  EXPECT_FALSE(writerIn.load());
  lock.EndRead();
  writer.join();
  EXPECT_TRUE(writerIn.load());
}

TEST(RWCriticalSectionThreads, UpgradeWaitsOnlyForOtherReaders) {
  TRWCriticalSection lock;
  std::atomic<bool> otherReads{false}, release{false}, upgraded{false};
  std::thread other([&] {
    ReadLock read(lock);
    otherReads = true;
    WaitFor(release);
  });
  ASSERT_TRUE(WaitFor(otherReads));
  lock.BeginRead();
  std::thread upgrader([&] {
    ReadLock read(lock);
    WriteLock write(lock);
    upgraded = true;
  });
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(upgraded.load());
  lock.EndRead();
  std::this_thread::sleep_for(kSettle);
  EXPECT_FALSE(upgraded.load());
  release = true;
  other.join();
  upgrader.join();
  EXPECT_TRUE(upgraded.load());
}

TEST(RWCriticalSectionThreads, SecondSimultaneousUpgradeIsRefused) {
  TRWCriticalSection lock;
  std::atomic<int> reading{0}, refused{0}, wrote{0};
  auto upgrade = [&] {
    ReadLock read(lock);
    ++reading;
    while (reading.load() < 2) std::this_thread::yield();
    try {
      WriteLock write(lock);
      ++wrote;
    } catch (const EAssertionFailed& e) {
      EXPECT_STREQ(e.what(), "Assertion failure (rwsyncs, line 193)");
      ++refused;
    }
  };
  std::thread a(upgrade), b(upgrade);
  a.join();
  b.join();
  EXPECT_EQ(refused.load(), 1);
  EXPECT_EQ(wrote.load(), 1);
}

// Readers, writers and upgraders of every nesting kind at once. Writers keep two plain counters
// equal; every reader checks them under its read lock.
TEST(RWCriticalSectionThreads, Stress) {
  TRWCriticalSection lock;
  long first = 0, second = 0;
  std::atomic<long> writes{0}, reads{0}, refusedUpgrades{0};
  std::atomic<bool> stop{false};
  std::atomic<bool> failed{false};

  auto check = [&] {
    if (first != second) failed = true;
  };
  auto write = [&] {
    ++first;
    std::this_thread::yield();
    ++second;
    ++writes;
  };

  std::vector<std::thread> threads;
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&] {  // readers, sometimes nested
      for (int n = 0; !stop; ++n) {
        ReadLock read(lock);
        check();
        if (n % 3 == 0) {
          ReadLock nested(lock);
          check();
        }
        ++reads;
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {  // writers with nested writes and reads inside the write
      for (int n = 0; !stop; ++n) {
        WriteLock outer(lock);
        write();
        if (n % 2 == 0) {
          WriteLock inner(lock);
          ReadLock readInside(lock);
          check();
          write();
        }
      }
    });
  }
  for (int i = 0; i < 2; ++i) {
    threads.emplace_back([&] {  // upgraders: read, then write while still reading
      while (!stop) {
        ReadLock read(lock);
        check();
        try {
          WriteLock upgrade(lock);
          write();
        } catch (const EAssertionFailed&) {
          ++refusedUpgrades;  // the other upgrader got there first
        }
        check();
      }
    });
  }
  std::this_thread::sleep_for(500ms);
  stop = true;
  for (auto& t : threads) t.join();

  EXPECT_FALSE(failed.load());
  EXPECT_EQ(first, writes.load());
  EXPECT_EQ(second, writes.load());
  EXPECT_GT(writes.load(), 0);
  EXPECT_GT(reads.load(), 0);
}

}  // namespace
}  // namespace vornak2
