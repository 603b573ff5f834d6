// What the test authority needs of the operating system beyond cc's file steps: the lock of a
// directory, and whether a change record is one the running account wrote.
#pragma once

#include <cstdint>
#include <string>

namespace ca {

// The lock that keeps two commands of the test authority from changing the same directory at
// once, across processes, without leaving a file anywhere: on POSIX an flock on the directory's
// own descriptor; on Windows a named mutex whose name is a digest of the directory's full path.
// Both go with the process that holds them, so a stopped command never keeps a directory locked.
class DirLock {
 public:
  enum class Attempt { kLocked, kBusy, kFailed };
  DirLock() noexcept = default;
  ~DirLock() { Unlock(); }
  DirLock(const DirLock&) = delete;
  DirLock& operator=(const DirLock&) = delete;
  // One attempt, without waiting, to lock the existing directory `dir`. kFailed when it cannot
  // be opened (missing, not a directory).
  Attempt TryLock(const std::string& dir) noexcept;
  void Unlock() noexcept;
  bool Held() const noexcept { return handle_ != kNone; }

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// Whether `path` is a regular file itself (not a link to one) that the account running this
// process owns: only such a change record is obeyed. Windows: a file that is no reparse point
// (its owner is not compared).
bool OwnRegularFile(const std::string& path) noexcept;

}  // namespace ca
