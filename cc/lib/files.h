// Whole-file reads and writes of the small text files the library and the authority tool use.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "util.h"

namespace cc {

// Permission modes are POSIX ones (0600 for secrets). On Windows a mode without group and other
// bits gives the file or directory an access list for its owner alone; any other mode leaves the
// inherited access.
using FileMode = unsigned;

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

// The text of a fresh random-state file, as WriteRandomState writes it.
void RandomStateText(SecretText& out);

// ---- single steps of a change in several files (the test authority's journal) ----
// Each step is one write point for the injected faults (a file's creation, its permissions, its
// bytes and its flush count one each). A change stages its new files, then renames them into
// place, so none of these replaces a file's content where it lies.

// Creates `path`, which must not exist, with `data`, flushed to disk but not renamed anywhere.
// It is created with `mode` and the umask applies (0644 for public files), except that an
// owner-only mode (0600 for secrets) is set exactly. Returns 0; CC_E_CREATE_FILE when it exists or cannot be
// created; CC_E_WRITE when writing fails (the file it created is removed again).
int WriteNewFile(const std::string& path, std::string_view data, FileMode mode);
// Renames `from` to `to`, replacing a file at `to` atomically.
bool RenameFile(const std::string& from, const std::string& to);
// Removes a file; true when it is gone, also when it was not there.
bool RemoveFile(const std::string& path);
// Creates one directory (its parent exists) with `mode`; true only when this call created it.
bool MakeDir(const std::string& path, FileMode mode);
// Removes a directory when it is empty; true when it is gone, also when it was not there.
bool RemoveEmptyDir(const std::string& path);
// Flushes a directory's entries (names created, renamed or removed in it) to disk. Where the
// system has no such flush, it only counts as a write point.
void SyncDir(const std::string& path);

}  // namespace cc
