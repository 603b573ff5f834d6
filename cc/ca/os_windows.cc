#include <windows.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <span>

#include "gost.h"
#include "os.h"
#include "util.h"

namespace ca {

namespace {

// The mutex's name: a digest of the directory's full path in lower case (Windows file names
// ignore letter case), so that every spelling of one directory names one mutex.
std::string MutexName(const std::string& dir) {
  std::error_code error;
  std::filesystem::path full = std::filesystem::canonical(dir, error);
  if (error) full = std::filesystem::absolute(dir, error);
  std::string text = full.lexically_normal().string();
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  while (text.size() > 3 && (text.back() == '\\' || text.back() == '/')) text.pop_back();
  const auto digest =
      ccgost::HashOnce(ccgost::HashAlg::Streebog256,
                       std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
  return "Local\\vornak2-ca-" + cc::HexEncode(digest);
}

}  // namespace

DirLock::Attempt DirLock::TryLock(const std::string& dir) noexcept {
  Unlock();
  try {
    const DWORD attributes = GetFileAttributesA(dir.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
      return Attempt::kFailed;
    HANDLE mutex = CreateMutexA(nullptr, FALSE, MutexName(dir).c_str());
    if (mutex == nullptr) return Attempt::kFailed;
    // A mutex abandoned by a process that ended while holding it passes to this one.
    const DWORD wait = WaitForSingleObject(mutex, 0);
    if (wait != WAIT_OBJECT_0 && wait != WAIT_ABANDONED) {
      CloseHandle(mutex);
      return wait == WAIT_TIMEOUT ? Attempt::kBusy : Attempt::kFailed;
    }
    handle_ = reinterpret_cast<std::intptr_t>(mutex);
    return Attempt::kLocked;
  } catch (...) {
    return Attempt::kFailed;
  }
}

void DirLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  HANDLE mutex = reinterpret_cast<HANDLE>(handle_);
  ReleaseMutex(mutex);
  CloseHandle(mutex);
  handle_ = kNone;
}

bool OwnRegularFile(const std::string& path) noexcept {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

}  // namespace ca
