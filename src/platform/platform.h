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

// The path separator of this platform and the separator of the library search variable.
inline constexpr char kPathSeparator = '/';
inline constexpr char kSearchListSeparator = ':';
// Name of the environment variable that lists directories searched for shared libraries.
inline constexpr const char* kSearchPathVariable = "PATH";
// Whether paths may begin with a drive letter ("C:"); only Windows paths do.
inline constexpr bool kDriveLetterPaths = false;

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

// ---- environment ----
std::optional<std::string> GetEnv(const char* name);
bool SetEnv(const char* name, const std::string& value) noexcept;

// ---- files and directories ----
bool IsDirectory(const std::string& path) noexcept;
bool IsRegularFile(const std::string& path) noexcept;
bool PathExists(const std::string& path) noexcept;
// Creates one directory (parent must exist); true when created or it already is a directory.
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
std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path, std::uint64_t maxSize,
                                                       bool* tooLarge = nullptr);
// Reads at most out.size() bytes of a file; the file size on success. Fails (nullopt) when the
// file is larger than out.size(), leaving `out` unspecified.
std::optional<std::size_t> ReadFileInto(const std::string& path, std::span<std::uint8_t> out) noexcept;

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

// ---- programs ----
// Runs the program `argv[0]` (a path) with the arguments `argv` and waits for it. With `output`,
// its standard output and error are appended there; without, its output is discarded and its
// errors go where this process's go. The exit status, or nullopt when it could not be started or
// did not exit normally.
std::optional<int> RunProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

// ---- vendor library file names ----
// The file name of a shared library called `name` on this platform ("cc" -> "libcc.so").
inline std::string SharedLibraryFileName(std::string_view name) {
  return "lib" + std::string(name) + ".so";
}

// ---- hardware random numbers ----
// Whether this build can reach a CPU random-number instruction at all (x86 targets).
bool HardwareRandomSupported() noexcept;
// Whether the running CPU offers the instruction (RDRAND, announced by CPUID).
bool HardwareRandomPresent() noexcept;
// Fills `count` bytes from the CPU's generator. Each draw is retried a few times, as the
// instruction may transiently report no data; false when a draw keeps failing or the
// instruction is not present, with the error code (EIO) left for LastErrorCode.
bool HardwareRandomFill(void* buffer, std::size_t count) noexcept;
// The calling thread's last operating-system error code (errno).
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
