// Cross-process advisory locks on Windows: LockFileEx on a handle of the lock file. Locks
// belong to the handle, so two holders in one process exclude each other as two processes do.
#include <windows.h>
#undef FreeModule

#include "platform/platform.h"

namespace vornak2::platform {

FileLock::Attempt FileLock::TryLock(const std::string& path) noexcept {
  Unlock();
  if (path.empty()) return Attempt::kFailed;
  constexpr DWORD kShare = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShare, nullptr,
                            OPEN_ALWAYS, FILE_ATTRIBUTE_HIDDEN, nullptr);
  if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
    file = CreateFileA(path.c_str(), GENERIC_READ, kShare, nullptr, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Attempt::kFailed;
  OVERLAPPED at{};
  if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
    const bool busy = GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING;
    CloseHandle(file);
    return busy ? Attempt::kBusy : Attempt::kFailed;
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
  return Attempt::kLocked;
}

void FileLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the handle releases its locks.
  CloseHandle(reinterpret_cast<HANDLE>(handle_));
  handle_ = kNone;
}

}  // namespace vornak2::platform
