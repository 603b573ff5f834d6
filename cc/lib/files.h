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

// Writes the file through a temporary file in the same directory and a rename, so the old
// contents stay whole on failure. The new file is created with `mode` and the umask applies
// (0644 for public files), except that an owner-only mode (0600 for secrets) is set exactly.
// Returns 0 or CC_E_CREATE_FILE / CC_E_WRITE.
int WriteFileAtomically(const std::string& path, std::string_view data, FileMode mode);

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

// Reads a regular file of at most `limit` bytes; nullopt when missing, unreadable or longer.
std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit);

}  // namespace cc
