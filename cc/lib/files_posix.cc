// Files and directories of the cc library on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

int WriteFileAtomically(const std::string& path, std::string_view data, FileMode mode) {
  if (path.empty()) return CC_E_CREATE_FILE;
  // The temporary file is created with `mode`, so the umask applies as to any new file; a mode
  // that gives nobody but the owner access (a secret) is then set exactly, whatever the umask.
  static std::atomic<unsigned> counter{0};
  std::string tmp;
  int raw = -1;
  for (int attempt = 0; attempt < 16 && raw < 0; ++attempt) {
    tmp = path + ".tmp-" + std::to_string(::getpid()) + "-" +
          std::to_string(counter.fetch_add(1, std::memory_order_relaxed));
    raw = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                 static_cast<mode_t>(mode));
    if (raw < 0 && errno != EEXIST && errno != EINTR) return CC_E_CREATE_FILE;
  }
  if (raw < 0) return CC_E_CREATE_FILE;
  Fd fd(raw);
  const bool ownerOnly = (mode & 077) == 0;
  const bool ok = (!ownerOnly || ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0) &&
                  WriteAll(fd.get(), data) && ::fsync(fd.get()) == 0 &&
                  ::close(fd.release()) == 0 && ::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.c_str());
    return CC_E_WRITE;
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
  if (::mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  return errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string MakeUniqueDir(const std::string& prefix, FileMode mode) {
  for (unsigned i = 0; i < 1000; ++i) {
    const std::string dir = prefix + std::to_string(::getpid()) + "-" + std::to_string(i);
    if (::mkdir(dir.c_str(), static_cast<mode_t>(mode)) == 0) return dir;
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
  std::string out(limit + 1, '\0');
  std::size_t got = 0;
  while (got < out.size()) {
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

}  // namespace cc
