// Cross-process locks on directories, ownership of files and the system's random source on POSIX
// systems. A directory is locked with flock on a descriptor of the directory itself, so that the
// lock leaves no file anywhere; flock's locks belong to the open descriptor, so two holders in one
// process exclude each other as two processes do.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace vornak2::platform {
namespace {

enum class Flock { kLocked, kBusy, kFailed };

// One attempt to lock the open descriptor `fd` exclusively; it is closed unless locked.
Flock LockOrClose(int fd) noexcept {
  if (fd < 0) return Flock::kFailed;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return Flock::kLocked;
  const bool busy = errno == EWOULDBLOCK;
  ::close(fd);
  return busy ? Flock::kBusy : Flock::kFailed;
}

template <typename Attempt>
Attempt AsAttempt(Flock result) noexcept {
  return result == Flock::kLocked ? Attempt::kLocked
         : result == Flock::kBusy ? Attempt::kBusy
                                  : Attempt::kFailed;
}

}  // namespace

DirectoryLock::Attempt DirectoryLock::TryLock(const std::string& directory) noexcept {
  Unlock();
  if (directory.empty()) return Attempt::kFailed;
  int fd;
  do {
    fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  const Flock result = LockOrClose(fd);
  if (result == Flock::kLocked) handle_ = fd;
  return AsAttempt<Attempt>(result);
}

void DirectoryLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the last descriptor of the open directory releases its lock.
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

bool OwnedByCurrentUser(const std::string& path) noexcept {
  struct stat info;
  return !path.empty() && ::lstat(path.c_str(), &info) == 0 && info.st_uid == ::geteuid();
}

bool SystemRandom(void* buffer, std::size_t count) noexcept {
  auto* out = static_cast<unsigned char*>(buffer);
  while (count > 0) {
    const ssize_t n = ::getrandom(out, count, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    out += n;
    count -= static_cast<std::size_t>(n);
  }
  if (count == 0) return true;
  // A kernel without getrandom: the device.
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  while (count > 0) {
    const ssize_t n = ::read(fd, out, count);
    if (n <= 0) {
      if (n < 0 && errno == EINTR) continue;
      ::close(fd);
      return false;
    }
    out += n;
    count -= static_cast<std::size_t>(n);
  }
  ::close(fd);
  return true;
}

// ---- lock files of a tool's own ----

FileLock::Attempt FileLock::TryLock(const std::string& path) noexcept {
  Unlock();
  if (path.empty()) return Attempt::kFailed;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  // A directory this user may only read: a lock file someone made can still be locked.
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  const Flock result = LockOrClose(fd);
  if (result == Flock::kLocked) handle_ = fd;
  return AsAttempt<Attempt>(result);
}

void FileLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the last descriptor of the open file releases its lock.
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

}  // namespace vornak2::platform
