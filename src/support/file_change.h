// Changes of key, certificate and store files that several processes share and that a stop at
// any moment (a crash, a kill, a power cut) leaves whole.
//
// Every operation that changes such files holds the lock of each directory it may change: an
// advisory lock on the file ".vornak2.lock" in it, taken in one order (by canonical path) so
// that two operations never wait for each other in a circle, and only for a bounded time.
//
// A change of more than one file is a FileChange: the files of the new state are first written
// under temporary names, after a record that names them; then the record is replaced by one that
// lists the steps that put them in place (renames over the final names, removals: each can be
// repeated); the steps are carried out, and the record goes last. Whoever next holds the lock
// finds a record that was left behind and finishes it (the new state was whole once the steps
// were recorded) or rolls it back (removes the temporary files of a change that never got that
// far). Final names are only ever replaced by a rename, never removed first, so a reader in
// another process always finds a key or certificate file under its name.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vornak2 {

// The names this library keeps for itself in the directories it changes. No transfer may write
// a file of either name (in any letter case).
inline constexpr std::string_view kLockFileName = ".vornak2.lock";
inline constexpr std::string_view kChangeRecordName = ".vornak2.change";
bool IsReservedFileName(std::string_view name) noexcept;

// How long an operation waits for the locks of its directories: the environment variable
// VORNAK2_LOCK_WAIT_MS when it holds a number of milliseconds, otherwise 10 seconds.
std::chrono::milliseconds LockWait();

// The locks of a set of directories, held from construction to destruction.
class DirectoryLocks {
 public:
  // Takes the lock of every directory in `dirs` that exists, each once, in the order of their
  // canonical paths, waiting at most `wait` in all (zero: one attempt each). A directory whose
  // lock this thread already holds (an operation inside another) is not taken again. A
  // directory where no lock file can be made or opened is passed over: nothing in it can be
  // changed either. When a lock cannot be had in time, none is held.
  DirectoryLocks(const std::vector<std::string>& dirs, std::chrono::milliseconds wait);
  DirectoryLocks(const DirectoryLocks&) = delete;
  DirectoryLocks& operator=(const DirectoryLocks&) = delete;
  ~DirectoryLocks();
  bool Held() const noexcept { return held_; }
  // The canonical paths of the directories covered (taken here or held already), sorted.
  const std::vector<std::string>& Directories() const noexcept { return covered_; }

 private:
  void Release() noexcept;
  std::vector<std::string> covered_;
  std::vector<std::string> taken_;  // the directories whose locks this object took
  std::vector<platform::FileLock> locks_;
  bool held_ = false;
};

// One change of several files; see the head of this file.
class FileChange {
 public:
  // The record is kept in `recordDir`, a directory whose lock the caller holds.
  explicit FileChange(const std::string& recordDir);
  FileChange(const FileChange&) = delete;
  FileChange& operator=(const FileChange&) = delete;
  // A change that was not committed removes the files it staged and its record.
  ~FileChange();

  // A temporary name beside `path` for a file of the new state. `secret`: the file holds a secret
  // key, which a roll-back removes before anything else.
  std::string Stage(const std::string& path, bool secret = false);
  // Records the staged names; to be called before any of them is created. False when the record
  // cannot be written.
  bool Prepare();
  // Steps, in the order they are to be carried out.
  void Move(const std::string& from, const std::string& to);
  void Remove(const std::string& path);
  // Records the steps, carries them out and removes the record. False when the record could not
  // be written (nothing has changed) or a step failed twice (the record stays, and the next holder
  // of the lock finishes the change).
  bool Commit();

 private:
  struct Step {
    char kind;  // 'S' secret staged file, 'T' staged file, 'M' move, 'D' removal
    std::string first;
    std::string second;
  };
  std::string RecordText(bool withSteps) const;
  std::string record_;
  std::vector<Step> staged_;
  std::vector<Step> steps_;
  bool committed_ = false;
};

// True when `dir` holds a change record.
bool HasChangeRecord(const std::string& dir) noexcept;
// Finishes or rolls back the change recorded in `dir` (whose lock the caller holds) and removes
// the record. True when no record is left.
bool RecoverChange(const std::string& dir) noexcept;
// Removes the temporary files in `dir` whose writer process no longer runs, secret keys first;
// with `baseName`, only the temporary files of that file.
void RemoveStaleTemporaries(const std::string& dir, std::string_view baseName = {}) noexcept;

}  // namespace vornak2
