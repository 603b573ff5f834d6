// Files and directories on Windows (ANSI paths, "\" separators).
#include <windows.h>
// windows.h defines FreeModule as a macro; the platform layer has a function of that name.
#undef FreeModule
#include <sddl.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace vornak2::platform {

namespace {

// ---- injected faults: see InjectFileFault (test builds only, VORNAK2_FAULT_HOOKS) ----
#ifdef VORNAK2_FAULT_HOOKS
std::atomic<std::uint64_t> writePoints{0};
std::atomic<std::uint64_t> faultAt{0};
std::atomic<std::uint64_t> faultCount{1};
std::atomic<int> faultError{0};

// Counts one write point; true when it is one a test chose to fail (the last error is then
// set). A chosen stop ends the process here, before the operation, without any clean-up.
bool FaultHere() noexcept {
  const std::uint64_t n = writePoints.fetch_add(1, std::memory_order_relaxed) + 1;
  const std::uint64_t first = faultAt.load(std::memory_order_relaxed);
  if (first == 0 || n < first || n - first >= faultCount.load(std::memory_order_relaxed))
    return false;
  if (faultError.load(std::memory_order_relaxed) == 0)
    TerminateProcess(GetCurrentProcess(), kFaultStopStatus);
  if (faultError.load(std::memory_order_relaxed) == kFaultPause) {
    Sleep(INFINITE);
    return false;
  }
  SetLastError(ERROR_WRITE_FAULT);
  return true;
}
#else
constexpr bool FaultHere() noexcept {
  return false;
}
#endif

BOOL CountedMoveFile(const char* from, const char* to, DWORD flags) noexcept {
  return FaultHere() ? FALSE : MoveFileExA(from, to, flags);
}

// Closes a handle on every path out of a scope.
class Handle {
 public:
  explicit Handle(HANDLE h) noexcept : h_(h) {}
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  ~Handle() { Close(); }
  HANDLE get() const noexcept { return h_; }
  bool valid() const noexcept { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  bool Close() noexcept {
    if (!valid()) return true;
    const BOOL ok = CloseHandle(h_);
    h_ = INVALID_HANDLE_VALUE;
    return ok != 0;
  }

 private:
  HANDLE h_;
};

bool Attributes(const std::string& path, WIN32_FILE_ATTRIBUTE_DATA& data) noexcept {
  return !path.empty() && GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data) != 0;
}

bool IsDirectoryAttribute(DWORD attributes) noexcept {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

HANDLE OpenForReading(const std::string& path) noexcept {
  if (path.empty()) return INVALID_HANDLE_VALUE;
  return CreateFileA(path.c_str(), GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Size of the regular file behind an open handle; nullopt for anything else.
std::optional<std::uint64_t> RegularFileSize(HANDLE file) noexcept {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(file, &info) || IsDirectoryAttribute(info.dwFileAttributes))
    return std::nullopt;
  return (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
}

// Reads up to `size` bytes; the number read (less when the file ended early), nullopt on error.
std::optional<std::size_t> ReadUpTo(HANDLE file, std::uint8_t* out, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD got = 0;
    if (!ReadFile(file, out + done, want, &got, nullptr)) return std::nullopt;
    if (got == 0) break;
    done += got;
  }
  return done;
}

bool WriteAll(HANDLE file, const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 30));
    DWORD wrote = 0;
    if (FaultHere()) {
      // A disk that fills up part-way stores half of the bytes first.
      if (want > 1) WriteFile(file, data + done, want / 2, &wrote, nullptr);
      return false;
    }
    if (!WriteFile(file, data + done, want, &wrote, nullptr) || wrote == 0) return false;
    done += wrote;
  }
  return true;
}

// A name for a temporary file next to the target that no other writer in this or another
// process chooses at the same time. It starts with "." so that listings of key files pass over it.
std::string TemporaryName(const std::string& directoryPrefix, const std::string& baseName) {
  static std::atomic<std::uint64_t> counter{0};
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%lu-%llx-%llx",
                static_cast<unsigned long>(GetCurrentProcessId()),
                static_cast<unsigned long long>(counter.fetch_add(1, std::memory_order_relaxed)),
                static_cast<unsigned long long>(GetTickCount64() & 0xFFFFFFFFFFull));
  return directoryPrefix + "." + baseName.substr(0, 160) + suffix;
}

// A security descriptor that gives the current user full access and nobody else any: the
// Windows form of owner-only permissions. Released with LocalFree.
class OwnerOnlyDescriptor {
 public:
  OwnerOnlyDescriptor() noexcept {
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return;
    Handle tokenGuard(token);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    if (size == 0) return;
    std::string buffer(size, '\0');
    if (!GetTokenInformation(token, TokenUser, buffer.data(), size, &size)) return;
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.data());
    char* sid = nullptr;
    if (!ConvertSidToStringSidA(user->User.Sid, &sid)) return;
    // Protected DACL: no inherited entries; one entry granting the user all file access.
    const std::string sddl = std::string("D:P(A;;FA;;;") + sid + ")";
    LocalFree(sid);
    ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.c_str(), SDDL_REVISION_1,
                                                         &descriptor_, nullptr);
  }
  ~OwnerOnlyDescriptor() {
    if (descriptor_ != nullptr) LocalFree(descriptor_);
  }
  OwnerOnlyDescriptor(const OwnerOnlyDescriptor&) = delete;
  OwnerOnlyDescriptor& operator=(const OwnerOnlyDescriptor&) = delete;
  PSECURITY_DESCRIPTOR get() const noexcept { return descriptor_; }

 private:
  PSECURITY_DESCRIPTOR descriptor_ = nullptr;
};

}  // namespace

#ifdef VORNAK2_FAULT_HOOKS
void InjectFileFault(std::uint64_t nth, int error, std::uint64_t count) noexcept {
  faultAt.store(0, std::memory_order_relaxed);
  faultError.store(error, std::memory_order_relaxed);
  faultCount.store(count == 0 ? 1 : count, std::memory_order_relaxed);
  writePoints.store(0, std::memory_order_relaxed);
  faultAt.store(nth, std::memory_order_relaxed);
}

std::uint64_t FileWritePoints() noexcept {
  return writePoints.load(std::memory_order_relaxed);
}
#endif

bool IsDirectory(const std::string& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, data) && IsDirectoryAttribute(data.dwFileAttributes);
}

bool IsRegularFile(const std::string& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, data) && !IsDirectoryAttribute(data.dwFileAttributes) &&
         (data.dwFileAttributes & FILE_ATTRIBUTE_DEVICE) == 0;
}

bool PathExists(const std::string& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  return Attributes(path, data);
}

bool MakeDirectory(const std::string& path) noexcept {
  if (path.empty()) return false;
  if (!FaultHere() && CreateDirectoryA(path.c_str(), nullptr)) return true;
  return GetLastError() == ERROR_ALREADY_EXISTS && IsDirectory(path);
}

bool RemoveFile(const std::string& path) noexcept {
  return !path.empty() && !FaultHere() && DeleteFileA(path.c_str()) != 0;
}

bool RenameFile(const std::string& from, const std::string& to) noexcept {
  return !from.empty() && !to.empty() &&
         CountedMoveFile(from.c_str(), to.c_str(),
                         MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
}

std::optional<std::uint64_t> FileSize(const std::string& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data) || IsDirectoryAttribute(data.dwFileAttributes)) return std::nullopt;
  return (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

std::optional<std::int64_t> FileModifiedTime(const std::string& path) noexcept {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!Attributes(path, data)) return std::nullopt;
  // 100-nanosecond ticks since 1601-01-01; the epoch is 11644473600 seconds later.
  const std::int64_t ticks = static_cast<std::int64_t>(
      (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
      data.ftLastWriteTime.dwLowDateTime);
  return (ticks - 116444736000000000LL) * 100;
}

std::optional<std::vector<DirEntry>> ListDirectory(const std::string& path) {
  if (path.empty() || !IsDirectory(path)) return std::nullopt;
  std::string pattern = path;
  if (pattern.back() != '\\' && pattern.back() != '/' && pattern.back() != ':')
    pattern.push_back('\\');
  pattern += "*";
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  std::vector<DirEntry> entries;
  if (search == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return entries;  // an empty drive root
    return std::nullopt;
  }
  struct SearchCloser {
    HANDLE h;
    ~SearchCloser() { FindClose(h); }
  } closer{search};
  do {
    const char* name = found.cFileName;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    entries.push_back(DirEntry{name, IsDirectoryAttribute(found.dwFileAttributes)});
  } while (FindNextFileA(search, &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return entries;
}

std::string CanonicalPath(const std::string& path) {
  if (path.empty() || !PathExists(path)) return {};
  // The final path of the opened file or directory resolves links and junctions.
  Handle file(CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (file.valid()) {
    std::string buffer(MAX_PATH, '\0');
    DWORD n =
        GetFinalPathNameByHandleA(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()), 0);
    if (n >= buffer.size()) {
      buffer.resize(n + 1);
      n = GetFinalPathNameByHandleA(file.get(), buffer.data(), static_cast<DWORD>(buffer.size()),
                                    0);
    }
    if (n > 0 && n < buffer.size()) {
      buffer.resize(n);
      if (buffer.rfind("\\\\?\\UNC\\", 0) == 0) return "\\\\" + buffer.substr(8);
      if (buffer.rfind("\\\\?\\", 0) == 0) return buffer.substr(4);
      return buffer;
    }
  }
  std::string full(MAX_PATH, '\0');
  DWORD n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (n >= full.size()) {
    full.resize(n + 1);
    n = GetFullPathNameA(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  }
  if (n == 0 || n >= full.size()) return {};
  full.resize(n);
  return full;
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path,
                                                       std::uint64_t maxSize, bool* tooLarge) {
  if (tooLarge != nullptr) *tooLarge = false;
  Handle file(OpenForReading(path));
  if (!file.valid()) return std::nullopt;
  const auto size = RegularFileSize(file.get());
  if (!size) return std::nullopt;
  if (*size > maxSize || *size > SIZE_MAX) {
    if (tooLarge != nullptr) *tooLarge = true;
    return std::nullopt;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(*size));
  const auto read = ReadUpTo(file.get(), data.data(), data.size());
  if (!read) return std::nullopt;
  data.resize(*read);  // the file may have shrunk since its size was taken
  return data;
}

std::optional<std::size_t> ReadFileInto(const std::string& path,
                                        std::span<std::uint8_t> out) noexcept {
  Handle file(OpenForReading(path));
  if (!file.valid()) return std::nullopt;
  const auto size = RegularFileSize(file.get());
  if (!size || *size > out.size()) return std::nullopt;
  return ReadUpTo(file.get(), out.data(), static_cast<std::size_t>(*size));
}

bool SameFile(const std::string& a, const std::string& b) noexcept {
  // The volume and the file index name a file whatever the spelling of its path.
  BY_HANDLE_FILE_INFORMATION info[2];
  const std::string* paths[2] = {&a, &b};
  for (int i = 0; i < 2; ++i) {
    if (paths[i]->empty()) return false;
    Handle file(CreateFileA(paths[i]->c_str(), 0,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file.valid() || !GetFileInformationByHandle(file.get(), &info[i])) return false;
  }
  return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
         info[0].nFileIndexHigh == info[1].nFileIndexHigh &&
         info[0].nFileIndexLow == info[1].nFileIndexLow;
}

bool MoveFileDurably(const std::string& from, const std::string& to) noexcept {
  // Across volumes the system copies the file and deletes the source only once the copy is
  // complete; write-through returns only when the move is on the disk.
  return !from.empty() && !to.empty() &&
         CountedMoveFile(
             from.c_str(), to.c_str(),
             MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED | MOVEFILE_WRITE_THROUGH) != 0;
}

bool RenameNoReplace(const std::string& from, const std::string& to) noexcept {
  // Without MOVEFILE_REPLACE_EXISTING the rename fails when `to` exists.
  return !from.empty() && !to.empty() &&
         CountedMoveFile(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
}

bool WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data,
                     bool ownerOnly) noexcept {
  try {
    if (path.empty() || path.back() == '\\' || path.back() == '/' || path.back() == ':')
      return false;
    OwnerOnlyDescriptor descriptor;
    if (ownerOnly && descriptor.get() == nullptr) return false;
    SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
    std::string temporary;
    HANDLE raw = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 16 && raw == INVALID_HANDLE_VALUE; ++attempt) {
      temporary = TemporaryNameFor(path);
      raw = FaultHere()
                ? INVALID_HANDLE_VALUE
                : CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, ownerOnly ? &security : nullptr,
                              CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      if (raw == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS &&
          GetLastError() != ERROR_ALREADY_EXISTS)
        return false;
    }
    if (raw == INVALID_HANDLE_VALUE) return false;
    Handle file(raw);

    bool ok = WriteAll(file.get(), data.data(), data.size());
    ok = ok && !FaultHere() && FlushFileBuffers(file.get()) != 0;
    ok = file.Close() && ok;
    // The rename reaches the disk before it returns (write-through).
    ok = ok && CountedMoveFile(temporary.c_str(), path.c_str(),
                               MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
    if (!ok) {
      DeleteFileA(temporary.c_str());
      return false;
    }
    return true;
  } catch (...) {
    return false;  // allocation of the names failed; nothing was created
  }
}

std::string TemporaryNameFor(const std::string& path) {
  const std::size_t end = path.find_last_of("\\/:");
  const std::string prefix = end == std::string::npos ? std::string() : path.substr(0, end + 1);
  return TemporaryName(prefix, end == std::string::npos ? path : path.substr(end + 1));
}

std::uint64_t CurrentProcessId() noexcept {
  return GetCurrentProcessId();
}

bool ProcessRunning(std::uint64_t pid) noexcept {
  if (pid == 0 || pid > 0xFFFFFFFFull) return false;
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return GetLastError() == ERROR_ACCESS_DENIED;
  const bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

bool WriteNewFile(const std::string& path, std::span<const std::uint8_t> data,
                  bool ownerOnly) noexcept {
  if (path.empty()) return false;
  OwnerOnlyDescriptor descriptor;
  if (ownerOnly && descriptor.get() == nullptr) return false;
  SECURITY_ATTRIBUTES security{sizeof(SECURITY_ATTRIBUTES), descriptor.get(), FALSE};
  Handle file(FaultHere()
                  ? INVALID_HANDLE_VALUE
                  : CreateFileA(path.c_str(), GENERIC_WRITE, 0, ownerOnly ? &security : nullptr,
                                CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  bool ok = WriteAll(file.get(), data.data(), data.size());
  ok = ok && !FaultHere() && FlushFileBuffers(file.get()) != 0;
  ok = file.Close() && ok;
  if (!ok) DeleteFileA(path.c_str());
  return ok;
}

bool AppendToFile(const std::string& path, std::span<const std::uint8_t> data) noexcept {
  if (path.empty()) return false;
  Handle file(FaultHere() ? INVALID_HANDLE_VALUE
                          : CreateFileA(path.c_str(), FILE_APPEND_DATA, 0, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.valid()) return false;
  bool ok = WriteAll(file.get(), data.data(), data.size());
  ok = ok && !FaultHere() && FlushFileBuffers(file.get()) != 0;
  return file.Close() && ok;
}

bool LinkFile(const std::string& existing, const std::string& link) noexcept {
  return !existing.empty() && !link.empty() && !FaultHere() &&
         CreateHardLinkA(link.c_str(), existing.c_str(), nullptr) != 0;
}

void SyncDirectory(const std::string&) noexcept {
  // Renames are made with MOVEFILE_WRITE_THROUGH: they are on the disk when they return.
}

}  // namespace vornak2::platform
