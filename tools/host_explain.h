// vornak2-host: failures explained to the person at the terminal: what a result code means and
// what to try, where the vendor library was looked for, what is wrong with a file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host_api.h"

namespace vornak2::host {

// The vendor library the engine loads, and the module whose directory it searches last.
inline constexpr const char* kVendorLibrary = platform::kDriveLetterPaths ? "cc.dll" : "libcc.so";
inline constexpr const char* kFallbackModule =
    platform::kDriveLetterPaths ? "DazazOdi.dll" : "libDazazOdi.so";
// The engine's own library, as the tool loads it by default.
inline constexpr const char* kEngineLibrary =
    platform::kDriveLetterPaths ? "vornak2.dll" : "libvornak2.so";

// One English sentence: what a result code means for the person running the tool, and what to
// try.
std::string Hint(std::int32_t code);

// Prints a failed call to stderr: "CALL -> CODE: message" and the hint; for 134 and 135 also
// every place the vendor library was looked for, in the engine's order, with what was found there
// and what the loader said.
void ExplainFailure(const Library& library, const Engine& engine,
                    const std::optional<std::string>& root, const char* call, std::int32_t code);

// The vendor library files the engine tries for `root`, in its order: the program's directory,
// the root's EXE/, SYSTEM/ and USER/ and the root itself, then the bare name through the
// loader's own search (a name without a directory), the directory of the fallback module, and
// last the engine library's own directory and its private subdirectory.
std::vector<std::string> VendorLibraryCandidates(const Library& library,
                                                 const std::optional<std::string>& root);

// Why a file cannot be an operation's input: missing, not a regular file, unreadable, empty, or
// larger than `limit` bytes (the most one call can take for that operation). nullopt when it can.
std::optional<std::string> InputProblem(const std::string& path, std::uint64_t limit);
// Why `path` could not be written, to be asked right after the write failed.
std::string OutputProblem(const std::string& path);

}  // namespace vornak2::host
