#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "dir_lock.h"

namespace ca {

DirLock::Attempt DirLock::TryLock(const std::string& dir) noexcept {
  Unlock();
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Attempt::kFailed;
  int rc;
  do rc = ::flock(fd, LOCK_EX | LOCK_NB);
  while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const bool busy = errno == EWOULDBLOCK;
    ::close(fd);
    return busy ? Attempt::kBusy : Attempt::kFailed;
  }
  handle_ = fd;
  return Attempt::kLocked;
}

void DirLock::Unlock() noexcept {
  if (handle_ == kNone) return;
  ::close(static_cast<int>(handle_));  // closing the descriptor releases the flock
  handle_ = kNone;
}

}  // namespace ca
