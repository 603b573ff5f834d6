#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "os.h"

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

bool OwnRegularFile(const std::string& path) noexcept {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid();
}

}  // namespace ca
