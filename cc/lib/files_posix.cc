// Files and directories of the cc library on POSIX systems.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
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
  std::vector<char> tmp(path.begin(), path.end());
  for (char c : std::string_view(".XXXXXX")) tmp.push_back(c);
  tmp.push_back('\0');
  Fd fd(::mkstemp(tmp.data()));  // created owner-only
  if (fd.get() < 0) return CC_E_CREATE_FILE;
  const bool ok = ::fchmod(fd.get(), static_cast<mode_t>(mode)) == 0 && WriteAll(fd.get(), data) &&
                  ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0 &&
                  ::rename(tmp.data(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(tmp.data());
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
