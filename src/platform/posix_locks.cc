// Cross-process advisory locks on POSIX systems: flock, whose locks belong to the open file, so
// that two holders in one process exclude each other as two processes do.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "platform/platform.h"

namespace vornak2::platform {

FileLock::Attempt FileLock::TryLock(const std::string& path) noexcept {
  Unlock();
  if (path.empty()) return Attempt::kFailed;
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  // A directory this user may only read: a lock file someone made can still be locked.
  if (fd < 0 && (errno == EACCES || errno == EROFS))
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return Attempt::kFailed;
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Attempt::kBusy : Attempt::kFailed;
  }
  handle_ = fd;
  return Attempt::kLocked;
}

void FileLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  // Closing the last descriptor of the open file releases its lock.
  ::close(static_cast<int>(handle_));
  handle_ = kNone;
}

}  // namespace vornak2::platform
