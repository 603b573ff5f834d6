// Cross-process locks on directories, ownership of files and the system's random source on
// Windows. A directory cannot be locked without a file of its own, and nothing of the library's may
// stay in the directories a host names: each directory's lock is LockFileEx on a lock file in a
// directory the library owns for that purpose, %ProgramData%\vornak2\locks (the user's local
// application data or the temporary directory when that cannot be made), named by a digest of the
// directory's canonical path in upper case. Every account of the machine reaches the common
// directory, so the lock holds across accounts as well. Locks belong to the handle: two holders in
// one process exclude each other as two processes do.
#include <windows.h>
#undef FreeModule
#include <aclapi.h>
#include <bcrypt.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/platform.h"

namespace vornak2::platform {
namespace {

// FNV-1a over the bytes of `text`, from `seed`.
std::uint64_t Fnv1a(const std::string& text, std::uint64_t seed) {
  std::uint64_t h = seed;
  for (const unsigned char c : text) {
    h ^= c;
    h *= 0x100000001B3ull;
  }
  return h;
}

// The digest that names a directory's lock file: two independent 64-bit hashes of the upper-case
// canonical path (a collision would only make two directories share a lock).
std::string LockName(const std::string& directory) {
  std::string key = directory;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  while (key.size() > 3 && (key.back() == '\\' || key.back() == '/')) key.pop_back();
  char name[48];
  std::snprintf(name, sizeof name, "%016llx%016llx.lock",
                static_cast<unsigned long long>(Fnv1a(key, 0xCBF29CE484222325ull)),
                static_cast<unsigned long long>(Fnv1a(key, 0x84222325CBF29CE4ull)));
  return name;
}

// The library's directory of lock files, made when missing; empty when none can be had.
std::string LockDirectory() {
  for (const char* variable : {"ProgramData", "LOCALAPPDATA", "TEMP"}) {
    const auto base = GetEnv(variable);
    if (!base || base->empty()) continue;
    std::string dir = *base;
    if (dir.back() != '\\') dir.push_back('\\');
    dir += "vornak2";
    CreateDirectoryA(dir.c_str(), nullptr);
    dir += "\\locks";
    CreateDirectoryA(dir.c_str(), nullptr);
    if (IsDirectory(dir)) return dir + "\\";
  }
  return {};
}

// The SID of a token's user or default owner; empty when it cannot be read.
std::string TokenSid(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  GetTokenInformation(token, kind, nullptr, 0, &size);
  if (size == 0) return {};
  std::string buffer(size, '\0');
  if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) return {};
  PSID sid = kind == TokenUser ? reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid
                               : reinterpret_cast<TOKEN_OWNER*>(buffer.data())->Owner;
  if (sid == nullptr || !IsValidSid(sid)) return {};
  return std::string(static_cast<const char*>(sid), GetLengthSid(sid));
}

enum class Locked { kYes, kBusy, kFailed };

// Opens the lock file `path` (made when missing; only readable where another account made it)
// and takes its lock in one attempt; the handle, or null with the reason in `state`.
HANDLE LockFileAt(const std::string& path, DWORD attributes, Locked& state) {
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                            OPEN_ALWAYS, attributes, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    file = CreateFileA(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  state = Locked::kFailed;
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING)
      state = Locked::kBusy;
    CloseHandle(file);
    return nullptr;
  }
  state = Locked::kYes;
  return file;
}

template <typename Attempt>
Attempt AsAttempt(Locked state) noexcept {
  return state == Locked::kYes    ? Attempt::kLocked
         : state == Locked::kBusy ? Attempt::kBusy
                                  : Attempt::kFailed;
}

}  // namespace

DirectoryLock::Attempt DirectoryLock::TryLock(const std::string& directory) noexcept {
  Unlock();
  try {
    if (directory.empty() || !IsDirectory(directory)) return Attempt::kFailed;
    static const std::string lockDirectory = LockDirectory();
    if (lockDirectory.empty()) return Attempt::kFailed;
    Locked state;
    HANDLE file = LockFileAt(lockDirectory + LockName(directory), FILE_ATTRIBUTE_NORMAL, state);
    if (file != nullptr) handle_ = reinterpret_cast<std::intptr_t>(file);
    return AsAttempt<Attempt>(state);
  } catch (...) {
    return Attempt::kFailed;
  }
}

void DirectoryLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the handle releases its locks.
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

bool OwnedByCurrentUser(const std::string& path) noexcept {
  try {
    if (path.empty()) return false;
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoA(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
      return false;
    std::string ownerSid;
    if (owner != nullptr && IsValidSid(owner))
      ownerSid.assign(static_cast<const char*>(owner), GetLengthSid(owner));
    LocalFree(descriptor);
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
    const std::string user = TokenSid(token, TokenUser);
    const std::string defaultOwner = TokenSid(token, TokenOwner);
    CloseHandle(token);
    return !ownerSid.empty() && (ownerSid == user || ownerSid == defaultOwner);
  } catch (...) {
    return false;
  }
}

bool SystemRandom(void* buffer, std::size_t count) noexcept {
  if (count > 0xFFFFFFFFu) return false;
  return BCryptGenRandom(nullptr, static_cast<PUCHAR>(buffer), static_cast<ULONG>(count),
                         BCRYPT_USE_SYSTEM_PREFERRED_RNG) == 0;
}

// ---- lock files of a tool's own ----

FileLock::Attempt FileLock::TryLock(const std::string& path) noexcept {
  Unlock();
  if (path.empty()) return Attempt::kFailed;
  Locked state;
  HANDLE file = LockFileAt(path, FILE_ATTRIBUTE_HIDDEN, state);
  if (file != nullptr) handle_ = reinterpret_cast<std::intptr_t>(file);
  return AsAttempt<Attempt>(state);
}

void FileLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the handle releases its locks.
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

}  // namespace vornak2::platform
