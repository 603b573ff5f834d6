// Changes of key, certificate and store files that several processes share and that a stop at
// any moment (a crash, a kill, a power cut) leaves whole, without leaving anything of the library's
// in the directories a host names.
//
// Locks. Every operation that changes such files holds the lock of each directory it changes, taken
// in one order (by canonical path) so that two operations never wait for each other in a circle,
// and only for a bounded time. The lock is platform::DirectoryLock: no lock file in the directory.
//
// Changes. A change of files is a FileChange, kept in a record beside what it changes (its home
// directory) while it runs:
//  1. the record is written: a random token, the directories of the change (canonical paths), and
//     one step per final file (a relative name in one of them): the final file gets new content,
//     or goes; where it exists, a second name of its present content is kept ("prior");
//  2. the new contents and the priors are created under names that carry the token
//     (".vornak2-TOKEN.N" in the final file's directory), and flushed;
//  3. "commit" is appended to the record: from here on the change is carried to its end;
//  4. the steps: the staged new contents are renamed over their final names, removed finals go;
//  5. the priors go, then the record.
// A step that fails twice undoes the steps made (the priors give the previous contents back) after
// "abort" is appended, so that a failure leaves the files as they were. Final names are replaced
// only by a rename, never removed first, so a reader in another process always finds a key or
// certificate file under its name.
//
// Recovery. Whoever next holds the locks finds a record left behind by a stop and finishes the
// change (committed), undoes it (aborted) or removes its staged files (neither). A record is obeyed
// only when it is ours: its name and its content carry one token, it and its directory belong to
// the account this process runs as, every directory it names is locked by this thread (and, unless
// the caller allows it, is the record's own directory), and every name in it is a plain relative
// name. Anything else is left alone and reported. Only files whose names carry a record's token are
// ever removed by recovery, so a host's file is never deleted, whatever its name.
#pragma once

#include <chrono>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"
#include "support/secure.h"

namespace vornak2 {

// The names this library keeps for its own files while a change runs (".vornak2-" in any letter
// case), and the names earlier versions used. No transfer may write a file of such a name.
bool IsReservedFileName(std::string_view name) noexcept;

// How long an operation waits for the locks of its directories: the environment variable
// VORNAK2_LOCK_WAIT_MS when it holds a number of milliseconds, otherwise 10 seconds.
std::chrono::milliseconds LockWait();

// The locks of a set of directories, held from construction to destruction.
class DirectoryLocks {
 public:
  // Takes the lock of every directory in `dirs` that exists, each once, in the order of their
  // canonical paths, waiting at most `wait` in all (zero: one attempt each). A directory whose
  // lock this thread already holds (an operation inside another) is not taken again. A directory
  // that cannot be opened for its lock is passed over: nothing in it can be changed either. When
  // a lock cannot be had in time, none is held.
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
  std::vector<std::string> taken_;  // the lock keys this object took
  std::vector<platform::DirectoryLock> locks_;
  bool held_ = false;
};

// True when the calling thread holds the lock of `dir` (any spelling of it).
bool HoldsDirectoryLock(const std::string& dir);
// True when both paths name one existing directory.
bool SameDirectory(const std::string& a, const std::string& b);

// One change of files; see the head of this file. The caller holds the locks of every directory
// the change names.
class FileChange {
 public:
  // The record is kept in `home`.
  explicit FileChange(std::string home);
  FileChange(const FileChange&) = delete;
  FileChange& operator=(const FileChange&) = delete;
  // A change that was not committed removes what it staged and its record.
  ~FileChange();

  // Steps, in the order they are carried out. `root` is one of the change's directories (the home
  // or another directory whose lock the caller holds) and `file` a path inside it; each file is the
  // final file of one step only. `secret`: the content is a secret key (staged owner-only, removed
  // first when the change is given up).
  // `file` gets the content `data`.
  void Write(const std::string& root, const std::string& file, std::span<const std::uint8_t> data,
             bool secret = false);
  // `file` gets the content of the existing file `source` (a second name of it where the file
  // system allows, else a copy).
  void Copy(const std::string& root, const std::string& file, const std::string& source,
            bool secret = false);
  // `file` goes (its content is kept under a prior name until the change is complete).
  void Remove(const std::string& root, const std::string& file);
  // The last step: the file `given` (a file the caller was handed, anywhere) goes, once the change
  // has put its content in place as `installed` (the final file of a step). It goes only while it
  // holds exactly that content, so that nothing is lost with it; when it cannot go, the change is
  // given up. Recovery that finishes the change removes it on the same condition, or leaves it.
  void RemoveGiven(const std::string& given, const std::string& installed);

  // Writes the record and stages every new content and prior. False when anything fails (the
  // change is then given up: nothing of it stays). A file named by a step that does not exist
  // any more at this point is no longer removed.
  bool Prepare();
  // The staged new content of the step whose final file is `file` (after Prepare): readable until
  // Commit.
  std::string StagedPath(const std::string& file) const;
  // Commits and carries the steps out. True when the change is complete (or left recorded
  // committed for the next holder of the locks, when only its clean-up failed); false when it was
  // given up and every file is as it was.
  bool Commit();

  // The directories the change names (canonical), the home first.
  const std::vector<std::string>& Directories() const noexcept { return dirs_; }

 private:
  struct Step {
    std::size_t dir = 0;   // index into dirs_
    std::string relative;  // with "/" between levels
    std::string file;      // the caller's path of the final file
    std::vector<std::uint8_t> data;
    std::string source;  // Copy: the file whose content the final file gets
    bool remove = false;
    bool secret = false;
    int staged = -1;  // number of the staged new content, -1 for none
    int prior = -1;   // number of the prior, -1 when the final file does not exist
  };
  std::size_t DirIndex(const std::string& root);
  void Add(const std::string& root, const std::string& file, Step step);
  std::string StagedName(const Step& step, int number) const;
  std::string RecordText() const;
  bool Append(std::string_view line);
  void GiveUp() noexcept;

  std::string homePath_;
  std::vector<std::string> roots_;  // the caller's spelling of each directory, with separator
  std::vector<std::string> dirs_;   // canonical
  std::string token_;
  std::string record_;
  std::vector<Step> steps_;
  std::string given_;  // RemoveGiven: the file, and the final file that receives its content
  std::string installedFile_;
  std::size_t givenStep_ = 0;
  bool prepared_ = false;
  bool committed_ = false;
  bool done_ = false;
};

// Finishes, undoes or cleans up every change recorded in `dir` that is ours (see the head of this
// file). `othersAllowed`: its records may name the other directories this thread holds locked
// (the home of a key set's own changes); otherwise only `dir` itself. Records that are not obeyed
// are described in `refused`; `settled` counts the changes finished or undone. True when no record
// of ours is left there.
bool RecoverChanges(const std::string& dir, bool othersAllowed, std::string* refused = nullptr,
                    int* settled = nullptr);
// True when `dir` holds a file named as a change record.
bool HasChangeRecords(const std::string& dir);

// Replaces the file `path` with `data` as a change of its own, under the lock of its directory
// (taken here, and changes a stop left recorded there recovered first). False on any failure, the
// file then as it was.
bool ReplaceFileDurably(const std::string& path, std::span<const std::uint8_t> data,
                        bool ownerOnly = false);

}  // namespace vornak2
