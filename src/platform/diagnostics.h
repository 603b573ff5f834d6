// What a tool needs to explain a failure to a person: why a shared library does not load and where
// the loader looks for one, what is wrong with a file, and the encoding of the user's terminal.
// The library itself does not use these.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/platform.h"

namespace vornak2::platform {

// The outcome of loading a shared library the way the adapter loads one.
struct ModuleProbe {
  bool loaded = false;
  std::string reason;                // the loader's own words when it did not load
  std::vector<std::string> missing;  // the names asked for that the library does not define
};
// Loads `path` (a name without a directory part goes through the loader's search) and looks up
// each of `symbols`. A library that loads stays loaded: unloading one that holds process-wide
// state is not safe in general.
ModuleProbe ProbeModule(const std::string& path, std::span<const std::string> symbols);

// The directories, in order, that the loader searches when `module` loads a library by a bare
// name: the library path variable, the module's own run path, the system's directories. Empty
// when the loader cannot tell.
std::vector<std::string> LoaderSearchDirectories(ModuleHandle module);

// What a path names, as a person needs to hear it before a file is read.
enum class FileKind { kMissing, kRegular, kDirectory, kOther, kInaccessible };
struct FileFacts {
  FileKind kind = FileKind::kMissing;
  std::uint64_t size = 0;  // of a regular file
  bool readable = false;   // a regular file that opens for reading
  std::string problem;     // the system's words for why it is missing, inaccessible or unreadable
};
FileFacts ExamineFile(const std::string& path);

// The system's text for an error code of LastErrorCode().
std::string ErrorText(int code);

// The character encoding of the user's locale (from LC_ALL, LC_CTYPE or LANG) as iconv names it:
// "UTF-8", "KOI8-R", "ANSI_X3.4-1968" for the C locale.
std::string LocaleEncoding();
// Converts text between two encodings named as iconv names them; a character the target lacks
// becomes "?". nullopt when the system cannot convert between the two.
std::optional<std::string> ConvertText(std::string_view text, const std::string& from,
                                       const std::string& to);

}  // namespace vornak2::platform
