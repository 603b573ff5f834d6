// File, path and text helpers over the platform layer.
#include "support/files.h"

#include <limits>
#include <set>
#include <span>

#include "platform/platform.h"
#include "support/file_change.h"
#include "support/text.h"

namespace vornak2 {

namespace {

constexpr char kSeparator = platform::kPathSeparator;

[[maybe_unused]] constexpr bool IsAsciiLetter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

bool IsRoot(const std::string& path) {
  if constexpr (platform::kDriveLetterPaths) {
    if (path.size() < 3) return true;  // "C:" and the like
  }
  return path.size() == 1 && path[0] == kSeparator;
}

void FindFiles(const std::string& directory, const std::string& upperExtension,
               std::vector<std::string>& list, bool recursive, std::set<std::string>& visited) {
  if (!platform::IsDirectory(directory)) return;
  if (recursive) {
    // A directory reached twice through links is searched once, so link cycles end.
    const std::string canonical = platform::CanonicalPath(directory);
    if (!canonical.empty() && !visited.insert(canonical).second) return;
  }
  const auto entries = platform::ListDirectory(directory);
  if (!entries) return;
  const std::string prefix = AddPathSeparator(directory);
  for (const platform::DirEntry& entry : *entries) {
    if (entry.name.empty() || entry.name[0] == '.') continue;
    if (entry.isDirectory) {
      if (recursive) FindFiles(prefix + entry.name, upperExtension, list, true, visited);
      continue;
    }
    const std::size_t n = entry.name.size();
    const std::string_view tail = std::string_view(entry.name).substr(n >= 3 ? n - 3 : 0);
    if (AsciiUpper(tail) == upperExtension) list.push_back(prefix + entry.name);
  }
}

// Replaces a file as a change of its own: its content is staged under a name the change's record
// names, so that a stop leaves nothing the next change in that directory cannot clean up.
bool ReplaceFile(const std::string& fileName, std::span<const std::uint8_t> data, bool ownerOnly) {
  return ReplaceFileDurably(fileName, data, ownerOnly);
}

}  // namespace

std::string DirectoryPart(const std::string& path) {
  std::size_t end = path.rfind(kSeparator);
  if constexpr (platform::kDriveLetterPaths) {
    const std::size_t colon = path.rfind(':');
    if (colon != std::string::npos && (end == std::string::npos || colon > end)) end = colon;
  }
  return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

bool DirExists(const std::string& path) noexcept {
  return platform::IsDirectory(path);
}

std::optional<std::uint64_t> FileSize(const std::string& path) noexcept {
  return platform::FileSize(path);
}

bool FileExists(const std::string& path) noexcept {
  return platform::PathExists(path);
}

bool MakeDir(const std::string& path) noexcept {
  return platform::MakeDirectory(path);
}

bool DeleteFile(const std::string& path) noexcept {
  return platform::RemoveFile(path);
}

std::string AddPathSeparator(std::string path) {
  if (path.empty() || path.back() == kSeparator) return path;
  if constexpr (platform::kDriveLetterPaths) {
    if (path.size() == 1 && IsAsciiLetter(path[0])) return path + ":" + kSeparator;
  }
  path.push_back(kSeparator);
  return path;
}

bool ForceDirs(const std::string& original) noexcept {
  try {
    if (original.empty()) return false;
    std::string path = original;
    // "a//" names the directory "a"; the root keeps its only separator.
    while (path.size() > 1 && path.back() == kSeparator) path.pop_back();
    if (IsRoot(path) || platform::IsDirectory(path)) return true;
    const std::string parent = DirectoryPart(path);
    if (parent == path) return true;
    // A relative name without a directory part is created in the current directory.
    if (!parent.empty() && !ForceDirs(parent)) return false;
    return platform::MakeDirectory(path);
  } catch (...) {
    return false;
  }
}

bool ReadFileToBuffer(const std::string& fileName, void* buffer, std::int32_t& capacity) noexcept {
  if (capacity < 0 || (buffer == nullptr && capacity > 0)) return false;
  const std::span<std::uint8_t> out(static_cast<std::uint8_t*>(buffer),
                                    static_cast<std::size_t>(capacity));
  const auto size = platform::ReadFileInto(fileName, out);
  if (!size) return false;
  capacity = static_cast<std::int32_t>(*size);
  return true;
}

bool WriteBufferToFile(const std::string& fileName, const void* buffer, std::int32_t size,
                       bool ownerOnly) noexcept {
  if (size < 0 || (buffer == nullptr && size > 0)) return false;
  const std::span<const std::uint8_t> data(static_cast<const std::uint8_t*>(buffer),
                                           static_cast<std::size_t>(size));
  try {
    return ReplaceFile(fileName, data, ownerOnly);
  } catch (...) {
    return false;
  }
}

bool CopyFileContents(const std::string& source, const std::string& destination) noexcept {
  try {
    // Buffers in this library are described by 32-bit lengths; larger files are not copied.
    const auto data = platform::ReadWholeFile(
        source, static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()));
    if (!data) return false;
    if (data->empty()) return true;  // nothing to copy: the destination stays as it was
    return ReplaceFile(destination, *data, false);
  } catch (...) {
    return false;
  }
}

void FindFilesByExtension(const std::string& directory, const std::string& extension,
                          std::vector<std::string>& list, bool recursive) {
  std::set<std::string> visited;
  FindFiles(directory, AsciiUpper(extension), list, recursive, visited);
}

int SplitBySemicolon(const char* text, std::vector<std::string>& list) {
  int count = 0;
  if (text == nullptr || text[0] == '\0') return count;
  const std::string_view rest(text);
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = rest.find(';', start);
    list.emplace_back(
        rest.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
    ++count;
    if (end == std::string_view::npos) return count;
    start = end + 1;
  }
}

std::string HexDump(const void* data, std::int32_t length, int groupSize, int lineSize) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  if (data == nullptr || length < 1) return text;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  text.reserve(static_cast<std::size_t>(length) * 3);
  int g = 0;
  int l = 0;
  for (std::int32_t i = 0; i < length; ++i) {
    ++l;
    ++g;
    if (g > groupSize) {
      text.push_back(' ');
      g = 1;
    }
    if (l > lineSize) {
      text.append("\r\n");
      l = 1;
    }
    text.push_back(kDigits[bytes[i] >> 4]);
    text.push_back(kDigits[bytes[i] & 15]);
  }
  return text;
}

namespace {

// A UID that stays one name inside a directory: no separator, drive colon or control character.
bool StaysOneName(std::string_view uid) noexcept {
  for (const char c : uid) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

}  // namespace

bool UidMayBecomePath(std::string_view uid) noexcept {
  if (uid.empty() || !StaysOneName(uid)) return false;
  const std::size_t dot = uid.find('.');
  if (dot == std::string_view::npos) return true;
  return dot > 0 && dot + 1 < uid.size() && uid.find('.', dot + 1) == std::string_view::npos;
}

std::vector<std::string> CertDirsByUID(std::string_view uid, std::string_view directory) {
  std::vector<std::string> dirs;
  const std::string path = CertPathByUID(uid, directory);
  if (path.empty()) return dirs;
  // Every separator after the directory ends one level: prefix, "@", then the tail's characters.
  for (std::size_t at = path.find(kSeparator, directory.size()); at != std::string::npos;
       at = path.find(kSeparator, at + 1))
    dirs.push_back(path.substr(0, at));
  return dirs;
}

std::string CertPathByUID(std::string_view uid, std::string_view directory) {
  if (directory.empty() || !UidMayBecomePath(uid)) return {};
  const std::size_t dot = uid.find('.');
  if (dot == std::string_view::npos) return {};
  std::string path;
  path.reserve(directory.size() + 2 * uid.size() + 8);
  path.append(directory).append(uid.substr(0, dot)).push_back(kSeparator);
  path.push_back('@');
  for (std::size_t i = dot + 1; i < uid.size(); ++i) {
    path.push_back(kSeparator);
    path.push_back(uid[i]);
  }
  path.append(".crt");
  return path;
}

std::string AuthorityDirByUID(std::string_view secretDir, std::string_view uid) {
  // An authority's directory is one level below the secret-key directory, named by the UID as it
  // is: it must stay a single name there (no separator, drive colon or control character, not
  // "." or ".."); dots inside it are ordinary characters, unlike in store paths.
  if (secretDir.empty() || !IsPlainFileName(uid) || !StaysOneName(uid)) return {};
  return AddPathSeparator(std::string(secretDir)).append(uid);
}

std::string_view FileNamePart(std::string_view path) noexcept {
  const std::size_t last = path.find_last_of("/\\:");
  return last == std::string_view::npos ? path : path.substr(last + 1);
}

bool IsPlainFileName(std::string_view name) noexcept {
  return !name.empty() && name != "." && name != "..";
}

bool MoveFile(const std::string& from, const std::string& to) noexcept {
  return platform::MoveFileDurably(from, to);
}

bool RenameNoReplace(const std::string& from, const std::string& to) noexcept {
  return platform::RenameNoReplace(from, to);
}

std::string FreeOldKeyName(const std::string& dir, std::int32_t number) {
  const std::string base = dir + std::to_string(number) + ".old";
  std::string name = base;
  for (int i = 1; FileExists(name); ++i) name = base + "." + std::to_string(i);
  return name;
}

bool SameFile(const std::string& a, const std::string& b) noexcept {
  return platform::SameFile(a, b);
}

}  // namespace vornak2
