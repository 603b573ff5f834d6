// Files and directories on POSIX systems.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/platform.h"

namespace vornak2::platform {

namespace {

// ---- injected faults: see InjectFileFault (test builds only, VORNAK2_FAULT_HOOKS) ----
#ifdef VORNAK2_FAULT_HOOKS
std::atomic<std::uint64_t> writePoints{0};
std::atomic<std::uint64_t> faultAt{0};
std::atomic<std::uint64_t> faultCount{1};
std::atomic<int> faultError{0};

// Counts one write point; true when it is one a test chose to fail (errno then holds the
// error). A chosen stop ends the process here, before the operation.
bool FaultHere() noexcept {
  const std::uint64_t n = writePoints.fetch_add(1, std::memory_order_relaxed) + 1;
  const std::uint64_t first = faultAt.load(std::memory_order_relaxed);
  if (first == 0 || n < first || n - first >= faultCount.load(std::memory_order_relaxed))
    return false;
  const int error = faultError.load(std::memory_order_relaxed);
  if (error == 0) ::_exit(kFaultStopStatus);
  if (error == kFaultPause) {
    ::raise(SIGSTOP);
    return false;
  }
  errno = error;
  return true;
}
#else
constexpr bool FaultHere() noexcept {
  return false;
}
#endif

int CountedOpenForWriting(const char* path, int flags, mode_t mode) noexcept {
  if (FaultHere()) return -1;
  return ::open(path, flags, mode);
}
int CountedMkdir(const char* path) noexcept {
  return FaultHere() ? -1 : ::mkdir(path, 0777);
}
int CountedUnlink(const char* path) noexcept {
  return FaultHere() ? -1 : ::unlink(path);
}
int CountedRename(const char* from, const char* to) noexcept {
  return FaultHere() ? -1 : ::rename(from, to);
}
int CountedRenameNoReplace(const char* from, const char* to) noexcept {
  return FaultHere() ? -1 : ::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE);
}
int CountedLink(const char* from, const char* to) noexcept {
  return FaultHere() ? -1 : ::link(from, to);
}
int CountedFsync(int fd) noexcept {
  return FaultHere() ? -1 : ::fsync(fd);
}
int CountedFchmod(int fd, mode_t mode) noexcept {
  return FaultHere() ? -1 : ::fchmod(fd, mode);
}
// A failing write stores the first half of its bytes, as a disk that fills up part-way does.
ssize_t CountedWrite(int fd, const std::uint8_t* data, std::size_t size) noexcept {
  if (FaultHere()) {
    const int error = errno;
    if (size > 1) (void)!::write(fd, data, size / 2);
    errno = error;
    return -1;
  }
  return ::write(fd, data, size);
}

bool StatPath(const std::string& path, struct stat& info) noexcept {
  return !path.empty() && ::stat(path.c_str(), &info) == 0;
}

// Closes a descriptor on every path out of a scope.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor() { Close(); }
  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Closes now; false when the close reports an error (a write may not have reached the file).
  bool Close() noexcept {
    if (fd_ < 0) return true;
    const int rc = ::close(fd_);
    fd_ = -1;
    return rc == 0;
  }

 private:
  int fd_;
};

constexpr int kNoDescriptor = -1;

int OpenForReading(const std::string& path) noexcept {
  if (path.empty()) return kNoDescriptor;
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Size of the regular file behind an open descriptor; nullopt for anything else.
std::optional<std::uint64_t> RegularFileSize(int fd) noexcept {
  struct stat info;
  if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

// Reads up to `size` bytes; the number read (less when the file ended early), nullopt on error.
std::optional<std::size_t> ReadUpTo(int fd, std::uint8_t* out, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = ::read(fd, out + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return done;
}

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t n = CountedWrite(fd, data + done, size - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

// A name for a temporary file next to `path` that no other writer in this or another process
// chooses at the same time. It starts with "." so that listings of key files pass over it.
std::string TemporaryName(const std::string& directoryPrefix, const std::string& baseName) {
  static std::atomic<std::uint64_t> counter{0};
  const auto now =
      static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
  char suffix[64];
  std::snprintf(suffix, sizeof suffix, ".tmp-%ld-%llx-%llx", static_cast<long>(::getpid()),
                static_cast<unsigned long long>(counter.fetch_add(1, std::memory_order_relaxed)),
                static_cast<unsigned long long>(now & 0xFFFFFFFFFFull));
  // Keep the whole name well under the usual 255-byte limit of one path component.
  return directoryPrefix + "." + baseName.substr(0, 160) + suffix;
}

// The directory a path lies in, as a name that can be opened: "." for a bare file name.
std::string DirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? std::string("/") : path.substr(0, slash);
}

}  // namespace

void SyncDirectory(const std::string& directory) noexcept {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  // Some file systems refuse fsync on directories; the rename has happened either way, so the
  // operation stands (a failure here only leaves the change less certain to survive a crash).
  (void)CountedFsync(fd);
  ::close(fd);
}

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
  struct stat info;
  return StatPath(path, info) && S_ISDIR(info.st_mode);
}

bool IsRegularFile(const std::string& path) noexcept {
  struct stat info;
  return StatPath(path, info) && S_ISREG(info.st_mode);
}

bool PathExists(const std::string& path) noexcept {
  struct stat info;
  return StatPath(path, info);
}

bool MakeDirectory(const std::string& path) noexcept {
  if (path.empty()) return false;
  if (CountedMkdir(path.c_str()) == 0) {
    // The new directory's entry in its parent reaches the disk before anything is put in it.
    std::string trimmed = path;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    SyncDirectory(DirectoryOf(trimmed));
    return true;
  }
  return errno == EEXIST && IsDirectory(path);
}

bool RemoveFile(const std::string& path) noexcept {
  return !path.empty() && CountedUnlink(path.c_str()) == 0;
}

bool RenameFile(const std::string& from, const std::string& to) noexcept {
  return !from.empty() && !to.empty() && CountedRename(from.c_str(), to.c_str()) == 0;
}

std::optional<std::uint64_t> FileSize(const std::string& path) noexcept {
  struct stat info;
  if (!StatPath(path, info) || !S_ISREG(info.st_mode) || info.st_size < 0) return std::nullopt;
  return static_cast<std::uint64_t>(info.st_size);
}

std::optional<std::int64_t> FileModifiedTime(const std::string& path) noexcept {
  struct stat info;
  if (!StatPath(path, info)) return std::nullopt;
  return static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec;
}

std::optional<std::vector<DirEntry>> ListDirectory(const std::string& path) {
  if (path.empty()) return std::nullopt;
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return std::nullopt;
  struct DirCloser {
    DIR* d;
    ~DirCloser() { ::closedir(d); }
  } closer{dir};

  std::vector<DirEntry> entries;
  for (;;) {
    // readdir tells its end from an error only through errno, so errno is cleared before each
    // call (the fstatat below may have set it).
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) return std::nullopt;
      break;
    }
    const char* name = entry->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool isDirectory = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      // Follow symbolic links, as the rest of the library does when it opens the entry. An entry
      // that cannot be examined (a link whose target is gone) is passed over; the rest are listed.
      struct stat info;
      if (::fstatat(::dirfd(dir), name, &info, 0) != 0) continue;
      isDirectory = S_ISDIR(info.st_mode);
    }
    entries.push_back(DirEntry{name, isDirectory});
  }
  // The order of readdir depends on the file system; callers get a stable one.
  std::sort(entries.begin(), entries.end(),
            [](const DirEntry& a, const DirEntry& b) { return a.name < b.name; });
  return entries;
}

std::string CanonicalPath(const std::string& path) {
  if (path.empty()) return {};
  // realpath's buffer is freed on every path, also when the copy below cannot be allocated.
  const std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path.c_str(), nullptr),
                                                             &std::free);
  if (resolved == nullptr) return {};
  return std::string(resolved.get());
}

std::optional<std::vector<std::uint8_t>> ReadWholeFile(const std::string& path,
                                                       std::uint64_t maxSize, bool* tooLarge) {
  if (tooLarge != nullptr) *tooLarge = false;
  FileDescriptor fd(OpenForReading(path));
  if (!fd.valid()) return std::nullopt;
  const auto size = RegularFileSize(fd.get());
  if (!size) return std::nullopt;
  if (*size > maxSize) {
    if (tooLarge != nullptr) *tooLarge = true;
    return std::nullopt;
  }
  std::vector<std::uint8_t> data(static_cast<std::size_t>(*size));
  const auto read = ReadUpTo(fd.get(), data.data(), data.size());
  if (!read) return std::nullopt;
  data.resize(*read);  // the file may have shrunk since fstat
  return data;
}

std::optional<std::size_t> ReadFileInto(const std::string& path,
                                        std::span<std::uint8_t> out) noexcept {
  FileDescriptor fd(OpenForReading(path));
  if (!fd.valid()) return std::nullopt;
  const auto size = RegularFileSize(fd.get());
  if (!size || *size > out.size()) return std::nullopt;
  return ReadUpTo(fd.get(), out.data(), static_cast<std::size_t>(*size));
}

bool SameFile(const std::string& a, const std::string& b) noexcept {
  struct stat first;
  struct stat second;
  return StatPath(a, first) && StatPath(b, second) && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

bool MoveFileDurably(const std::string& from, const std::string& to) noexcept {
  try {
    if (from.empty() || to.empty()) return false;
    if (CountedRename(from.c_str(), to.c_str()) == 0) {
      SyncDirectory(DirectoryOf(to));
      if (DirectoryOf(from) != DirectoryOf(to)) SyncDirectory(DirectoryOf(from));
      return true;
    }
    if (errno != EXDEV) return false;
    // Another file system: write the content beside the target, then drop the source.
    struct stat info;
    if (!StatPath(from, info) || !S_ISREG(info.st_mode)) return false;
    const auto data = ReadWholeFile(from, static_cast<std::uint64_t>(info.st_size));
    if (!data || !WriteFileAtomic(to, *data, (info.st_mode & 077) == 0)) return false;
    CountedUnlink(from.c_str());
    SyncDirectory(DirectoryOf(from));
    return true;
  } catch (...) {
    return false;
  }
}

bool RenameNoReplace(const std::string& from, const std::string& to) noexcept {
  try {
    if (from.empty() || to.empty()) return false;
    if (CountedRenameNoReplace(from.c_str(), to.c_str()) != 0) {
      if (errno != EINVAL && errno != ENOSYS) return false;
      // A file system without the flag: a new link fails when the name exists.
      if (CountedLink(from.c_str(), to.c_str()) != 0) return false;
      CountedUnlink(from.c_str());
    }
    SyncDirectory(DirectoryOf(to));
    return true;
  } catch (...) {
    return false;
  }
}

bool WriteFileAtomic(const std::string& path, std::span<const std::uint8_t> data,
                     bool ownerOnly) noexcept {
  try {
    if (path.empty() || path.back() == '/') return false;
    const std::string directory = DirectoryOf(path);

    // Without ownerOnly the process umask decides, as for any newly created file.
    const mode_t mode = ownerOnly ? 0600 : 0666;
    std::string temporary;
    int rawFd = -1;
    for (int attempt = 0; attempt < 16 && rawFd < 0; ++attempt) {
      temporary = TemporaryNameFor(path);
      rawFd = CountedOpenForWriting(temporary.c_str(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
      if (rawFd < 0 && errno != EEXIST && errno != EINTR) return false;
    }
    if (rawFd < 0) return false;
    FileDescriptor fd(rawFd);

    bool ok = true;
    if (ownerOnly) ok = CountedFchmod(fd.get(), 0600) == 0;
    ok = ok && WriteAll(fd.get(), data.data(), data.size());
    ok = ok && CountedFsync(fd.get()) == 0;
    ok = fd.Close() && ok;
    ok = ok && CountedRename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
      // Not a write point of its own: a test's fault must not leave the temporary file behind.
      ::unlink(temporary.c_str());
      return false;
    }
    SyncDirectory(directory);
    return true;
  } catch (...) {
    return false;  // allocation of the names failed; nothing was created
  }
}

std::string TemporaryNameFor(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string prefix = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
  return TemporaryName(prefix, slash == std::string::npos ? path : path.substr(slash + 1));
}

std::uint64_t CurrentProcessId() noexcept {
  return static_cast<std::uint64_t>(::getpid());
}

bool ProcessRunning(std::uint64_t pid) noexcept {
  if (pid == 0 || pid > static_cast<std::uint64_t>(INT32_MAX)) return false;
  // EPERM: the process exists but belongs to another user.
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

bool WriteNewFile(const std::string& path, std::span<const std::uint8_t> data,
                  bool ownerOnly) noexcept {
  if (path.empty()) return false;
  const int rawFd = CountedOpenForWriting(
      path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, ownerOnly ? 0600 : 0666);
  if (rawFd < 0) return false;
  FileDescriptor fd(rawFd);
  bool ok = !ownerOnly || CountedFchmod(fd.get(), 0600) == 0;
  ok = ok && WriteAll(fd.get(), data.data(), data.size());
  ok = ok && CountedFsync(fd.get()) == 0;
  ok = fd.Close() && ok;
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool AppendToFile(const std::string& path, std::span<const std::uint8_t> data) noexcept {
  if (path.empty()) return false;
  const int rawFd =
      CountedOpenForWriting(path.c_str(), O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0);
  if (rawFd < 0) return false;
  FileDescriptor fd(rawFd);
  bool ok = WriteAll(fd.get(), data.data(), data.size());
  ok = ok && CountedFsync(fd.get()) == 0;
  return fd.Close() && ok;
}

bool LinkFile(const std::string& existing, const std::string& link) noexcept {
  return !existing.empty() && !link.empty() && CountedLink(existing.c_str(), link.c_str()) == 0;
}

}  // namespace vornak2::platform
