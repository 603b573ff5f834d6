// Whole-file reads and writes of the small text files the library and the authority tool use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace cc {

// Permission modes are POSIX ones (0600 for secrets). On Windows a mode without group and other
// bits gives the file or directory an access list for its owner alone; any other mode leaves the
// inherited access.
using FileMode = unsigned;

// Writes the file through a temporary file in the same directory (flushed), a rename over the
// target and a flush of the directory, so that a failure or a crash leaves the old contents or
// the new, never a torn file. The new file is created with `mode` and the umask applies
// (0644 for public files), except that an owner-only mode (0600 for secrets) is set exactly.
// Returns 0 or CC_E_CREATE_FILE / CC_E_WRITE.
int WriteFileAtomically(const std::string& path, std::string_view data, FileMode mode);

// Writes the file where it lies: created with `mode` when missing (an owner-only mode set
// exactly), otherwise overwritten from its start and cut to the new length, then flushed. No
// second file is made, so a stop leaves nothing beside it; a stop can leave the file with part of
// the new bytes, which only a file that is no more than a seed (the random state) may be.
// Returns 0 or CC_E_CREATE_FILE / CC_E_WRITE.
int WriteFileInPlace(const std::string& path, std::string_view data, FileMode mode);

// Writes a fresh random-state file (owner-only): new bytes from the generator, so the file tells
// nothing about output handed out before. Returns 0 or CC_E_CREATE_FILE / CC_E_WRITE.
int WriteRandomState(const std::string& path);

// Creates a directory and its missing parents with `mode`; true when it exists afterwards.
bool MakeDirs(const std::string& path, FileMode mode);

// Creates a directory that did not exist before, named `prefix` followed by the process number and
// a counter, with `mode`; returns its path, or "" when none can be created.
std::string MakeUniqueDir(const std::string& prefix, FileMode mode);

// True when something (file or directory) exists at `path`.
bool PathExists(const std::string& path);

// Injected faults for tests (builds with VORNAK2_FAULT_HOOKS only), as in the adapter's platform
// layer: every change to a file or directory (creation, write, flush, rename, removal, a
// directory's creation or flush) counts as a write point; the `nth` one counted from now fails with
// `error` (a write then stores half of its bytes first), or with error 0 ends the process there
// (exit status kFaultStopStatus). `nth` 0 turns injection off; each call starts the count again.
inline constexpr int kFaultStopStatus = 86;
void InjectFileFault(unsigned long long nth, int error) noexcept;
// The write points counted since the last InjectFileFault.
unsigned long long FileWritePoints() noexcept;

// Reads a regular file of at most `limit` bytes; nullopt when missing, unreadable or longer.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit);

}  // namespace cc
