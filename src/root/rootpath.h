// The process-wide root directory, the root search list and the loading of vendor libraries.
// The root is set once per process; later calls must name the same directory.
#pragma once

#include <string>
#include <vector>

#include "platform/platform.h"

namespace vornak2 {

// The macro that paths taken from parameters may begin with; it stands for the engine's root.
inline constexpr std::string_view kRootMacro = "%QVXRoot%";
// The module whose directory is the last place a vendor library is loaded from.
inline constexpr const char* kFallbackModule =
    platform::kDriveLetterPaths ? "DazazOdi.dll" : "libDazazOdi.so";

// The subdirectory of the engine library's directory where an installed tree keeps the vendor
// library it ships (lib/vornak2/libcc.so), out of the system's shared-library directory.
inline constexpr const char* kPrivateLibrarySubdir = "vornak2";

// Sets the process-wide root (with a trailing separator) and the root search list, and adds the
// search list to the search-path variable. A root already set to a different directory is
// refused with an Error; the same directory again is accepted and changes nothing.
void SetGlobalRoot(const std::string& path);
// The process-wide root; empty until set.
std::string GlobalRoot();
// Root + "EXE/", root + "SYSTEM/", root + "USER/", root; empty until the root is set.
std::vector<std::string> RootSearchList();
// Forgets the root and the search list (library unload; tests).
void ResetGlobalRoot();

// Appends the entries that the search-path variable does not hold yet, in order.
void AddRootDirsToPath(const std::vector<std::string>& entries);
// Finds a library file: a name with a directory part is returned unchanged; otherwise the
// executable's directory, then the root search list; the bare name when none holds it.
std::string ResolveLibraryPath(const std::string& name);
// The directories searched after all of the above: the engine library's own directory (the build
// tree, a tree unpacked anywhere) and its kPrivateLibrarySubdir (an installed tree), each with a
// trailing separator; empty when the engine library's path is unknown.
std::vector<std::string> EngineLibraryDirs();
// Loads a library found by ResolveLibraryPath, falling back to the directory of the module
// kFallbackModule (or of the executable when that module is not loaded), then, for a bare name,
// to EngineLibraryDirs. Null on failure.
platform::ModuleHandle LoadCryptoLibrary(const std::string& name);

}  // namespace vornak2
