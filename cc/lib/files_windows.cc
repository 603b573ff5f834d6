// Files and directories of the cc library on Windows, and the library's residence: once loaded,
// cc.dll stays in the process (libgcrypt's process-wide state must not be dropped by an unload).
#include <windows.h>
// sddl.h needs the declarations of windows.h first.
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

#include "cc_abi.h"
#include "files.h"

namespace cc {

namespace {

// Pins the module that holds this code, the first time the module is initialised.
const bool kPinned = [] {
  HMODULE self = nullptr;
  return GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                            reinterpret_cast<LPCSTR>(&kPinned), &self) != 0;
}();

// Injected faults (test builds only, VORNAK2_FAULT_HOOKS).
#ifdef VORNAK2_FAULT_HOOKS
std::atomic<unsigned long long> writePoints{0};
std::atomic<unsigned long long> faultAt{0};
std::atomic<int> faultError{0};

// Counts one write point; true when a test chose it to fail. A chosen stop ends the process here.
bool FaultHere() noexcept {
  const unsigned long long n = writePoints.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n != faultAt.load(std::memory_order_relaxed)) return false;
  if (faultError.load(std::memory_order_relaxed) == 0)
    TerminateProcess(GetCurrentProcess(), kFaultStopStatus);
  SetLastError(ERROR_WRITE_FAULT);
  return true;
}
#else
constexpr bool FaultHere() noexcept {
  return false;
}
#endif

bool OwnerOnly(FileMode mode) {
  return (mode & 077) == 0;
}

// An access list for the current user alone; null when it cannot be built.
class OwnerOnlyDescriptor {
 public:
  OwnerOnlyDescriptor() {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<char> buffer(size);
    const bool ok = size != 0 && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!ok) return;
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sid))
      return;
    const std::string sddl = std::string("D:P(A;OICI;FA;;;") + sid + ")";
    LocalFree(sid);
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1, &sd_,
                                                         nullptr);
  }
  ~OwnerOnlyDescriptor() {
    if (sd_ != nullptr) LocalFree(sd_);
  }
  OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
  OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;
  SECURITY_ATTRIBUTES* attributes() {
    if (sd_ == nullptr) return nullptr;
    sa_ = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), sd_, FALSE};
    return &sa_;
  }

 private:
  PSECURITY_DESCRIPTOR sd_ = nullptr;
  SECURITY_ATTRIBUTES sa_{};
};

bool IsDirectory(const std::string& path) {
  const DWORD a = GetFileAttributesA(path.c_str());
  return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// Writes all of `data` through `file`; false on the first failure. An injected fault stores half
// of the bytes first, as a disk that fills up part-way does.
bool WriteAllTo(HANDLE file, std::string_view data) {
  std::size_t done = 0;
  while (done < data.size()) {
    DWORD wrote = 0;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
    if (FaultHere()) {
      if (want > 1) WriteFile(file, data.data() + done, want / 2, &wrote, nullptr);
      return false;
    }
    if (WriteFile(file, data.data() + done, want, &wrote, nullptr) == 0 || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

// Opens `path` for writing with `disposition` (OPEN_ALWAYS, CREATE_NEW); a file made here gets
// an owner-only access list when `mode` asks for one. INVALID_HANDLE_VALUE when it cannot, also
// when that access list cannot be built: a secret is never made readable by others instead.
HANDLE OpenForWriting(const std::string& path, DWORD disposition, FileMode mode) {
  OwnerOnlyDescriptor descriptor;
  SECURITY_ATTRIBUTES* security = nullptr;
  if (OwnerOnly(mode)) {
    security = descriptor.attributes();
    if (security == nullptr) return INVALID_HANDLE_VALUE;
  }
  if (FaultHere()) return INVALID_HANDLE_VALUE;
  return CreateFileA(path.c_str(), GENERIC_WRITE, 0, security, disposition, FILE_ATTRIBUTE_NORMAL,
                     nullptr);
}

}  // namespace

#ifdef VORNAK2_FAULT_HOOKS
void InjectFileFault(unsigned long long nth, int error) noexcept {
  faultAt.store(0, std::memory_order_relaxed);
  faultError.store(error, std::memory_order_relaxed);
  writePoints.store(0, std::memory_order_relaxed);
  faultAt.store(nth, std::memory_order_relaxed);
}

unsigned long long FileWritePoints() noexcept {
  return writePoints.load(std::memory_order_relaxed);
}
#endif

int WriteFileInPlace(const std::string& path, std::string_view data, FileMode mode) {
  if (path.empty()) return CC_E_CREATE_FILE;
  // Opened where it lies; the access list applies only when the file is made here.
  HANDLE file = OpenForWriting(path, OPEN_ALWAYS, mode);
  if (file == INVALID_HANDLE_VALUE) return CC_E_CREATE_FILE;
  bool ok = WriteAllTo(file, data);
  ok = ok && !FaultHere() && SetEndOfFile(file) != 0;
  ok = ok && !FaultHere() && FlushFileBuffers(file) != 0;
  ok = CloseHandle(file) != 0 && ok;
  return ok ? CC_OK : CC_E_WRITE;
}

bool MakeDirs(const std::string& path, FileMode mode) {
  if (path.empty()) return false;
  if (PathExists(path)) return IsDirectory(path);
  std::size_t end = path.size() - 1;
  while (end > 0 && (path[end] == '\\' || path[end] == '/')) --end;
  const std::size_t slash = path.find_last_of("\\/", end);
  // A parent that is a drive root ("C:\") or nothing exists already or cannot be made.
  if (slash != std::string::npos && slash > 0 && path[slash - 1] != ':' &&
      !MakeDirs(path.substr(0, slash), mode))
    return false;
  OwnerOnlyDescriptor descriptor;
  SECURITY_ATTRIBUTES* security = OwnerOnly(mode) ? descriptor.attributes() : nullptr;
  if (OwnerOnly(mode) && security == nullptr) return false;
  if (!FaultHere() && CreateDirectoryA(path.c_str(), security)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(path);
}

std::string MakeUniqueDir(const std::string& prefix, FileMode mode) {
  OwnerOnlyDescriptor descriptor;
  SECURITY_ATTRIBUTES* security = OwnerOnly(mode) ? descriptor.attributes() : nullptr;
  if (OwnerOnly(mode) && security == nullptr) return {};
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir =
        prefix + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i);
    if (!FaultHere() && CreateDirectoryA(dir.c_str(), security)) return dir;
    if (GetLastError() != ERROR_ALREADY_EXISTS) break;
  }
  return {};
}

bool PathExists(const std::string& path) {
  return !path.empty() && GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
  HANDLE file = CreateFileA(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return std::nullopt;
  std::optional<std::string> result;
  LARGE_INTEGER size;
  if (GetFileSizeEx(file, &size) && size.QuadPart >= 0 &&
      static_cast<unsigned long long>(size.QuadPart) <= limit) {
    // Room for the size seen, grown while the file grows, up to one byte past the limit.
    std::string out(static_cast<std::size_t>(size.QuadPart) + 1, '\0');
    std::size_t got = 0;
    bool ok = true;
    for (;;) {
      if (got == out.size()) {
        if (out.size() > limit) break;
        out.resize(std::min(limit + 1, out.size() * 2));
      }
      DWORD n = 0;
      if (!ReadFile(file, out.data() + got, static_cast<DWORD>(out.size() - got), &n, nullptr)) {
        ok = false;
        break;
      }
      if (n == 0) break;
      got += n;
    }
    if (ok && got <= limit) {  // not grown while being read
      out.resize(got);
      result = std::move(out);
    }
  }
  CloseHandle(file);
  return result;
}

// ---- single steps of a change in several files ----

int WriteNewFile(const std::string& path, std::string_view data, FileMode mode) {
  HANDLE file = OpenForWriting(path, CREATE_NEW, mode);
  if (file == INVALID_HANDLE_VALUE) return CC_E_CREATE_FILE;
  bool ok = WriteAllTo(file, data);
  ok = ok && !FaultHere() && FlushFileBuffers(file) != 0;
  ok = CloseHandle(file) != 0 && ok;
  if (!ok) {
    DeleteFileA(path.c_str());
    return CC_E_WRITE;
  }
  return CC_OK;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return !FaultHere() && MoveFileExA(from.c_str(), to.c_str(),
                                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFile(const std::string& path) {
  if (FaultHere()) return false;
  if (DeleteFileA(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool MakeDir(const std::string& path, FileMode mode) {
  OwnerOnlyDescriptor descriptor;
  SECURITY_ATTRIBUTES* security = OwnerOnly(mode) ? descriptor.attributes() : nullptr;
  if (OwnerOnly(mode) && security == nullptr) return false;
  return !FaultHere() && CreateDirectoryA(path.c_str(), security) != 0;
}

bool RemoveEmptyDir(const std::string& path) {
  if (FaultHere()) return false;
  if (RemoveDirectoryA(path.c_str())) return true;
  const DWORD error = GetLastError();
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

// NTFS keeps its directory entries in its own journal: there is nothing to flush.
void SyncDir(const std::string&) {
  (void)FaultHere();
}

}  // namespace cc
