// Files and directories of the cc library on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "cc_abi.h"
#include "files.h"

namespace cc {

namespace {

// Closes a descriptor when it leaves scope.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

// Injected faults (test builds only, VORNAK2_FAULT_HOOKS).
#ifdef VORNAK2_FAULT_HOOKS
std::atomic<unsigned long long> writePoints{0};
std::atomic<unsigned long long> faultAt{0};
std::atomic<int> faultError{0};

// Counts one write point; true when a test chose it to fail (errno then holds the error).
bool FaultHere() noexcept {
  const unsigned long long n = writePoints.fetch_add(1, std::memory_order_relaxed) + 1;
  if (n != faultAt.load(std::memory_order_relaxed)) return false;
  const int error = faultError.load(std::memory_order_relaxed);
  if (error == 0) ::_exit(kFaultStopStatus);
  errno = error;
  return true;
}
#else
constexpr bool FaultHere() noexcept {
  return false;
}
#endif

ssize_t CountedWrite(int fd, const char* data, std::size_t size) noexcept {
  if (FaultHere()) {
    const int error = errno;
    if (size > 1) (void)!::write(fd, data, size / 2);  // a disk that fills up part-way
    errno = error;
    return -1;
  }
  return ::write(fd, data, size);
}

// Flushes a directory, so that a rename into it survives a crash. Some file systems refuse fsync
// on directories; the rename has happened either way, so a failure is not reported.
void SyncDirectory(const std::string& directory) noexcept {
  const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (!FaultHere()) (void)::fsync(fd);
  ::close(fd);
}

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = CountedWrite(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
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

namespace {

// Creates `path` with `data` whole or not at all: the content goes into an unnamed file of the
// directory (O_TMPFILE), which gets its name only once it is complete, so that a stop leaves no
// file of part of it. CC_E_NOT_SUPPORTED where the file system has no unnamed files.
int CreateWhole(const std::string& path, std::string_view data, FileMode mode) {
#ifdef O_TMPFILE
  const std::size_t slash = path.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : path.substr(0, slash == 0 ? 1 : slash);
  const int raw = FaultHere() ? -1
                              : ::open(directory.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC,
                                       static_cast<mode_t>(mode));
  if (raw < 0) {
    return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL ? CC_E_NOT_SUPPORTED
                                                                     : CC_E_CREATE_FILE;
  }
  Fd fd(raw);
  const bool ownerOnly = (mode & 077) == 0;
  const std::string self = "/proc/self/fd/" + std::to_string(fd.get());
  if (!((!ownerOnly || (!FaultHere() && ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0)) &&
        WriteAll(fd.get(), data) && !FaultHere() && ::fsync(fd.get()) == 0))
    return CC_E_WRITE;
  if (FaultHere() ||
      ::linkat(AT_FDCWD, self.c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) != 0)
    return errno == EEXIST ? CC_E_CREATE_FILE : CC_E_WRITE;
  SyncDirectory(directory);
  return CC_OK;
#else
  (void)path, (void)data, (void)mode;
  return CC_E_NOT_SUPPORTED;
#endif
}

}  // namespace

int WriteFileInPlace(const std::string& path, std::string_view data, FileMode mode) {
  if (path.empty() || path.back() == '/') return CC_E_CREATE_FILE;
  bool created = false;
  int raw = FaultHere() ? -1 : ::open(path.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC);
  if (raw < 0 && errno == ENOENT) {
    // A new file is made whole where the file system allows, else where it lies.
    if (const int r = CreateWhole(path, data, mode); r != CC_E_NOT_SUPPORTED) return r;
    raw = FaultHere() ? -1
                      : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               static_cast<mode_t>(mode));
    created = raw >= 0;
  }
  if (raw < 0) return CC_E_CREATE_FILE;
  Fd fd(raw);
  const bool ownerOnly = (mode & 077) == 0;
  struct stat st {};
  const bool ok =
      (!ownerOnly || (!FaultHere() && ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0)) &&
      WriteAll(fd.get(), data) && ::fstat(fd.get(), &st) == 0 &&
      (static_cast<unsigned long long>(st.st_size) == data.size() ||
       (!FaultHere() && ::ftruncate(fd.get(), static_cast<off_t>(data.size())) == 0)) &&
      !FaultHere() && ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0;
  if (!ok) return CC_E_WRITE;
  if (created) {
    const std::size_t slash = path.rfind('/');
    SyncDirectory(slash == std::string::npos ? std::string(".")
                                             : path.substr(0, slash == 0 ? 1 : slash));
  }
  return CC_OK;
}

bool MakeDirs(const std::string& path, FileMode mode) {
  if (path.empty()) return false;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
  const std::size_t slash = path.find_last_of('/', path.size() - 1 - (path.back() == '/'));
  if (slash != std::string::npos && slash != 0 && !MakeDirs(path.substr(0, slash), mode))
    return false;
  if (!FaultHere() && ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string MakeUniqueDir(const std::string& prefix, FileMode mode) {
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir = prefix + std::to_string(::getpid()) + "-" + std::to_string(i);
    if (!FaultHere() && ::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) return dir;
    if (errno != EEXIST) break;
  }
  return {};
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> ReadSmallFile(const std::string& path, std::size_t limit) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > limit)
    return std::nullopt;
  // Room for the size seen, grown while the file grows, up to one byte past the limit.
  std::string out(static_cast<std::size_t>(st.st_size) + 1, '\0');
  std::size_t got = 0;
  for (;;) {
    if (got == out.size()) {
      if (out.size() > limit) break;
      out.resize(std::min(limit + 1, out.size() * 2));
    }
    const ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::nullopt;
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > limit) return std::nullopt;  // grew while being read
  out.resize(got);
  return out;
}

// ---- single steps of a change in several files ----

int WriteNewFile(const std::string& path, std::string_view data, FileMode mode) {
  const int raw = FaultHere()
                      ? -1
                      : ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                               static_cast<mode_t>(mode));
  if (raw < 0) return CC_E_CREATE_FILE;
  Fd fd(raw);
  const bool ownerOnly = (mode & 077) == 0;
  const bool ok =
      (!ownerOnly || (!FaultHere() && ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0)) &&
      WriteAll(fd.get(), data) && !FaultHere() && ::fsync(fd.get()) == 0 &&
      ::close(fd.release()) == 0;
  if (!ok) {
    ::unlink(path.c_str());
    return CC_E_WRITE;
  }
  return CC_OK;
}

bool RenameFile(const std::string& from, const std::string& to) {
  return !FaultHere() && ::rename(from.c_str(), to.c_str()) == 0;
}

bool RemoveFile(const std::string& path) {
  if (FaultHere()) return false;
  return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

bool MakeDir(const std::string& path, FileMode mode) {
  return !FaultHere() && ::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0;
}

bool RemoveEmptyDir(const std::string& path) {
  if (FaultHere()) return false;
  return ::rmdir(path.c_str()) == 0 || errno == ENOENT;
}

void SyncDir(const std::string& path) {
  SyncDirectory(path);
}

}  // namespace cc
