#include "root/rootpath.h"

#include <algorithm>
#include <mutex>
#include <shared_mutex>

#include "support/errors.h"
#include "support/files.h"
#include "support/text.h"

namespace vornak2 {
namespace {

using platform::kPathSeparator;

struct RootState {
  std::shared_mutex lock;
  std::string root;
  std::vector<std::string> searchList;
};

RootState& State() {
  static RootState state;
  return state;
}

}  // namespace

void SetGlobalRoot(const std::string& path) {
  RootState& s = State();
  std::vector<std::string> added;
  {
    std::unique_lock guard(s.lock);
    if (!s.root.empty()) {
      if (s.root == AddPathSeparator(path)) return;
      throw Error("Could not set QVXRoot to '" + path + "'. Already set to '" + s.root + "'.");
    }
    s.root = AddPathSeparator(path);
    s.searchList = {s.root + "EXE" + kPathSeparator, s.root + "SYSTEM" + kPathSeparator,
                    s.root + "USER" + kPathSeparator, s.root};
    added = s.searchList;
  }
  AddRootDirsToPath(added);
}

std::string GlobalRoot() {
  std::shared_lock guard(State().lock);
  return State().root;
}

std::vector<std::string> RootSearchList() {
  std::shared_lock guard(State().lock);
  return State().searchList;
}

void ResetGlobalRoot() {
  std::unique_lock guard(State().lock);
  State().root.clear();
  State().searchList.clear();
}

namespace {

// Windows: "Path" ignores letter case. An entry counts as present when its first occurrence in the
// variable as it was (lower-cased) ends the variable or is followed by ";". Only Windows builds
// call it.
[[maybe_unused]] void AddRootDirsToWindowsPath(const std::vector<std::string>& entries) {
  std::string current = platform::GetEnv(platform::kSearchPathVariable).value_or(std::string());
  const std::string before = AsciiLower(current);
  for (const auto& entry : entries) {
    if (current.empty()) {
      current = entry;
      continue;
    }
    const std::size_t at = before.find(AsciiLower(entry));
    const std::size_t end = at + entry.size();
    const bool present = at != std::string::npos &&
                         (end >= current.size() || current[end] == platform::kSearchListSeparator);
    if (!present) {
      current += platform::kSearchListSeparator;
      current += entry;
    }
  }
  if (AsciiLower(current) != before) platform::SetEnv(platform::kSearchPathVariable, current);
}

}  // namespace

void AddRootDirsToPath(const std::vector<std::string>& entries) {
  if constexpr (platform::kCaseInsensitiveFileNames) return AddRootDirsToWindowsPath(entries);
  const auto before = platform::GetEnv(platform::kSearchPathVariable).value_or(std::string());
  std::string current = before;
  // Entries are compared whole and exactly: file names are case-sensitive here, and a longer
  // directory that merely starts with an entry does not count as that entry.
  std::vector<std::string> present;
  for (std::size_t start = 0; start <= current.size() && !current.empty();) {
    const auto end = std::min(current.find(platform::kSearchListSeparator, start), current.size());
    present.push_back(current.substr(start, end - start));
    start = end + 1;
  }
  for (const auto& entry : entries) {
    if (current.empty()) {
      current = entry;
      present.push_back(entry);
      continue;
    }
    bool found = false;
    for (const auto& p : present) found = found || p == entry;
    if (!found) {
      current += platform::kSearchListSeparator;
      current += entry;
      present.push_back(entry);
    }
  }
  if (current != before) platform::SetEnv(platform::kSearchPathVariable, current);
}

namespace {

// A directory part: a separator, or on Windows also "/" or a drive colon.
bool HasDirectoryPart(const std::string& name) {
  const char* directoryMarks = platform::kDriveLetterPaths ? "\\/:" : "/";
  return name.find_first_of(directoryMarks) != std::string::npos;
}

}  // namespace

std::string ResolveLibraryPath(const std::string& name) {
  if (HasDirectoryPart(name)) return name;
  const std::string exeDir = DirectoryPart(platform::ExecutablePath());
  if (!exeDir.empty() && platform::IsRegularFile(exeDir + name)) return exeDir + name;
  for (const auto& dir : RootSearchList()) {
    if (platform::IsRegularFile(dir + name)) return dir + name;
  }
  return name;
}

std::vector<std::string> EngineLibraryDirs() {
  const std::string dir = DirectoryPart(platform::OwnModulePath());
  if (dir.empty()) return {};
  return {dir, dir + kPrivateLibrarySubdir + kPathSeparator};
}

platform::ModuleHandle LoadCryptoLibrary(const std::string& name) {
  if (auto handle = platform::LoadModule(ResolveLibraryPath(name))) return handle;
  const std::string fallback = platform::LoadedModulePath(kFallbackModule);
  if (!fallback.empty()) {
    if (auto handle = platform::LoadModule(DirectoryPart(fallback) + name)) return handle;
  }
  // Last, where this project's own trees keep the vendor library beside the engine library: a
  // tree installed under any prefix and the build tree work without a root or a library path.
  if (HasDirectoryPart(name)) return nullptr;
  for (const std::string& dir : EngineLibraryDirs()) {
    if (!platform::IsRegularFile(dir + name)) continue;
    if (auto handle = platform::LoadModule(dir + name)) return handle;
  }
  return nullptr;
}

}  // namespace vornak2
