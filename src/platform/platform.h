// The operating-system layer. Everything that needs an operating-system header lives behind
// these declarations; the rest of the library includes only this file.
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornak2::platform {

// The path separator of this platform, the separator of the library search variable and that
// variable's name; whether paths may begin with a drive letter ("C:"), which only Windows paths
// do; whether the file system ignores the letter case of file names.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
inline constexpr char kSearchListSeparator = ';';
inline constexpr const char* kSearchPathVariable = "Path";
inline constexpr bool kDriveLetterPaths = true;
inline constexpr bool kCaseInsensitiveFileNames = true;
#else
inline constexpr char kPathSeparator = '/';
inline constexpr char kSearchListSeparator = ':';
inline constexpr const char* kSearchPathVariable = "PATH";
inline constexpr bool kDriveLetterPaths = false;
inline constexpr bool kCaseInsensitiveFileNames = false;
#endif

// ---- dynamic loading ----
using ModuleHandle = void*;
// Loads a shared library; null on failure. A name without a directory part is left to the
// system loader's own search.
ModuleHandle LoadModule(const std::string& path) noexcept;
void* FindSymbol(ModuleHandle module, const char* name) noexcept;
void FreeModule(ModuleHandle module) noexcept;
// Full path of the running executable; empty when it cannot be determined.
std::string ExecutablePath();
// Full path of the loaded shared object whose file name is `fileName` (for example
// "libDazazOdi.so"); when no such module is loaded, the executable's path (as the Windows loader
// answers for an unknown module); empty when neither can be determined.
std::string LoadedModulePath(std::string_view fileName);
// Full path of the module this code is linked into: the engine library when it is a shared
// library, the executable when the code is linked in statically; empty when unknown.
std::string OwnModulePath();

// ---- environment ----
std::optional<std::string> GetEnv(const char* name);
bool SetEnv(const char* name, const std::string& value) noexcept;

// ---- files and directories ----
bool IsDirectory(const std::string& path) noexcept;
bool IsRegularFile(const std::string& path) noexcept;
bool PathExists(const std::string& path) noexcept;
// Creates one directory (parent must exist) and flushes the parent's entry of it to disk; true
// when created or it already is a directory.
bool MakeDirectory(const std::string& path) noexcept;
bool RemoveFile(const std::string& path) noexcept;
// Renames, replacing an existing target atomically.
bool RenameFile(const std::string& from, const std::string& to) noexcept;
// Size of a regular file; nullopt when it cannot be examined.
std::optional<std::uint64_t> FileSize(const std::string& path) noexcept;
// Modification time of a file in nanoseconds since the epoch; nullopt when it cannot be read.
std::optional<std::int64_t> FileModifiedTime(const std::string& path) noexcept;

struct DirEntry {
  std::string name;  // the entry's name without directory
  bool isDirectory = false;
};
// Lists a directory's entries ("." and ".." excluded), symbolic links followed; an entry that
// cannot be examined (a link whose target is gone) is left out. nullopt when the directory cannot
// be opened or read.
std::optional<std::vector<DirEntry>> ListDirectory(const std::string& path);
// The absolute path of an existing file or directory with every symbolic link resolved; empty
// when it cannot be resolved. Two paths name the same directory when these are equal.
std::string CanonicalPath(const std::string& path);

// Reads a whole file when it holds at most `maxSize` bytes. nullopt when it cannot be opened or
// read, or when it is larger than maxSize (then `tooLarge` is set when given).
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path,
                                                       std::uint64_t maxSize,
                                                       bool* tooLarge = nullptr);
// Reads at most out.size() bytes of a file; the file size on success. Fails (nullopt) when the
// file is larger than out.size(), leaving `out` unspecified.
std::optional<std::size_t> ReadFileInto(const std::string& path,
                                        std::span<std::uint8_t> out) noexcept;

// True when both paths name one existing file (the same device and file number), whatever the
// spelling of the two paths.
bool SameFile(const std::string& a, const std::string& b) noexcept;
// Moves the file `from` to `to`, replacing `to` atomically when it exists, and flushes the
// directories so that the move survives a crash. Across file systems, where a rename cannot work,
// the content is written to `to` as WriteFileAtomic does (with the permissions of `from`) and
// `from` is removed afterwards. False on any failure; `from` is then still in place.
bool MoveFileDurably(const std::string& from, const std::string& to) noexcept;
// Renames `from` to `to` only when `to` does not exist; never replaces a file. False when `to`
// exists or the rename fails.
bool RenameNoReplace(const std::string& from, const std::string& to) noexcept;

// Replaces `path` with `data`: written to a temporary file in the same directory, flushed to disk
// and renamed over the target, so that a failure leaves the old content in place. `ownerOnly`
// gives the new file permissions for its owner only (secret files). False on any failure (the
// temporary file is removed).
bool WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data,
                     bool ownerOnly = false) noexcept;

// ---- changes in several steps ----
// The temporary name that WriteFileAtomic uses beside `path`: hidden (it starts with "."), unique
// to this process and call, and carrying the process number.
std::string TemporaryNameFor(const std::string& path);
// Creates `path`, which must not exist, with `data`, flushed to disk (not renamed anywhere):
// the staged new version of a file that a recorded change moves into place later. False on any
// failure (a file it created is removed again).
bool WriteNewFile(const std::string& path, std::span<const std::uint8_t> data,
                  bool ownerOnly = false) noexcept;
// Appends `data` to the existing file `path` and flushes it to disk; false on any failure.
bool AppendToFile(const std::string& path, std::span<const std::uint8_t> data) noexcept;
// Makes `link` a second name of the existing file `existing` (a hard link); false when `link`
// exists or the file system has no hard links.
bool LinkFile(const std::string& existing, const std::string& link) noexcept;
// Flushes a directory's entries (the names created, renamed and removed in it) to disk.
void SyncDirectory(const std::string& directory) noexcept;

// ---- processes ----
std::uint64_t CurrentProcessId() noexcept;
// False only when no process of that number runs (it ended, or never was).
bool ProcessRunning(std::uint64_t pid) noexcept;

// ---- cross-process locks ----
// An exclusive advisory lock on a directory that leaves no file in it. POSIX: flock on the
// directory's own descriptor. Windows: LockFileEx on a lock file in a directory of the library's
// own (under the common application data, named by a digest of the directory's canonical path),
// never in the directory itself. Each holder opens its own descriptor or handle, so the lock
// holds against other processes and against every other holder in this process as well. It goes
// with the object, or with the process that held it.
class DirectoryLock {
 public:
  enum class Attempt { kLocked, kBusy, kFailed };
  DirectoryLock() noexcept = default;
  DirectoryLock(DirectoryLock&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  DirectoryLock& operator=(DirectoryLock&& other) noexcept {
    if (this != &other) {
      Unlock();
      handle_ = other.handle_;
      other.handle_ = kNone;
    }
    return *this;
  }
  DirectoryLock(const DirectoryLock&) = delete;
  DirectoryLock& operator=(const DirectoryLock&) = delete;
  ~DirectoryLock() { Unlock(); }
  // One attempt, without waiting, to lock the directory whose canonical path is `directory`.
  // kFailed when it cannot be opened (or, on Windows, no lock file can be had for it). Taking a
  // lock is not a write point.
  Attempt TryLock(const std::string& directory) noexcept;
  bool Held() const noexcept { return handle_ != kNone; }
  void Unlock() noexcept;

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// An exclusive advisory lock on a lock file of a tool's own (flock on POSIX, LockFileEx on
// Windows), for files that are not in a host's directories: the file is created when missing.
class FileLock {
 public:
  enum class Attempt { kLocked, kBusy, kFailed };
  FileLock() noexcept = default;
  FileLock(FileLock&& other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
  FileLock& operator=(FileLock&& other) noexcept {
    if (this != &other) {
      Unlock();
      handle_ = other.handle_;
      other.handle_ = kNone;
    }
    return *this;
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { Unlock(); }
  // One attempt, without waiting, to lock `path` (created empty when missing; creating a lock
  // file is not a write point). kFailed when the file can be neither created nor opened.
  Attempt TryLock(const std::string& path) noexcept;
  bool Held() const noexcept { return handle_ != kNone; }
  void Unlock() noexcept;

 private:
  static constexpr std::intptr_t kNone = -1;
  std::intptr_t handle_ = kNone;
};

// ---- owners and tokens ----
// True when the file or directory `path` belongs to the account this process runs as (POSIX: its
// owner is the effective user; Windows: its owner is the token's user or default owner).
bool OwnedByCurrentUser(const std::string& path) noexcept;
// Fills `buffer` from the system's cryptographic random source; false when it cannot.
bool SystemRandom(void* buffer, std::size_t count) noexcept;

// ---- injected file faults (test builds with VORNAK2_FAULT_HOOKS only) ----
// Every operation that changes a file or directory (creating, writing, flushing, renaming,
// linking, removing, a directory's creation or flush) counts as one write point. A test can make
// the Nth write point counted from now fail with `error` (ENOSPC, EIO, EACCES: the call reports
// failure with that errno; a write then stores half of its bytes first, as a full disk does), or,
// with error 0, end the process there as a power cut would (exit status kFaultStopStatus).
// `nth` 0 turns injection off. Each call starts the count again. With `count` above 1 the
// `count` write points from the Nth on all fail (a step tried twice fails twice).
inline constexpr int kFaultStopStatus = 86;
// The error that pauses the process at the write point instead (POSIX: it stops itself with
// SIGSTOP and goes on when continued; Windows: it waits there for good), as a process that the
// system or a debugger holds in the middle of an operation.
inline constexpr int kFaultPause = -1;
void InjectFileFault(std::uint64_t nth, int error, std::uint64_t count = 1) noexcept;
// The write points counted since the last InjectFileFault.
std::uint64_t FileWritePoints() noexcept;

// ---- programs ----
// Runs the program `argv[0]` (a path) with the arguments `argv` and waits for it. With `output`,
// its standard output and error are appended there; without, its output is discarded and its
// errors go where this process's go. The exit status, or nullopt when it could not be started or
// did not exit normally.
std::optional<int> RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);
#ifdef _WIN32
// The command line that hands `argv` to a started program unchanged, as its C runtime splits it.
std::string CommandLineOf(const std::vector<std::string>& argv);
#endif

// ---- vendor library file names ----
// The file name of a shared library called `name` on this platform ("cc" -> "libcc.so" or
// "cc.dll").
inline std::string SharedLibraryFileName(std::string_view name) {
#ifdef _WIN32
  return std::string(name) + ".dll";
#else
  return "lib" + std::string(name) + ".so";
#endif
}

// ---- hardware random numbers ----
// POSIX: the CPU's generator (RDRAND on x86). Windows: the CryptoAPI provider "Intel Hardware
// Cryptographic Service Provider" (type 22) reached through advapi32.dll, loaded at run time.
//
// Whether this build can reach a generator at all: an x86 target with the instruction; on
// Windows, advapi32.dll could be loaded.
bool HardwareRandomSupported() noexcept;
// Whether the generator can be asked: the CPU offers the instruction (announced by CPUID); on
// Windows, CryptAcquireContextA, CryptReleaseContext and CryptGenRandom were all found.
bool HardwareRandomPresent() noexcept;
// Fills `count` bytes from the generator; false on failure, with the error code left for
// LastErrorCode. POSIX: each draw is retried a few times, as the instruction may transiently
// report no data (EIO when a draw keeps failing, ENODEV without the instruction). Windows: the
// provider is acquired on the first request and kept for the process; a failed acquisition is
// tried again on the next request, and its error (GetLastError) is the failure's code.
bool HardwareRandomFill(void* buffer, std::size_t count) noexcept;
// The calling thread's last operating-system error code (errno; GetLastError on Windows).
int LastErrorCode() noexcept;

// ---- time and threads ----
// Broken-down local time of the given moment (now when not given).
std::tm LocalTime(std::optional<std::time_t> when = std::nullopt) noexcept;
// The millisecond field (0 to 999) of the current time.
std::uint16_t CurrentMilliseconds() noexcept;
// Identifier of the calling thread; never 0.
std::uint32_t CurrentThreadId() noexcept;
// Gives up the rest of the time slice.
void YieldThread() noexcept;

}  // namespace vornak2::platform
