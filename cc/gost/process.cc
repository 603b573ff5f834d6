// The one operating-system call of the GOST primitives: the process identity that tells a forked
// child from its parent, so that the child never hands out random bytes its parent reserved.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "internal.h"

namespace ccgost::detail {

std::uint64_t ProcessIdentity() noexcept {
#ifdef _WIN32
  return GetCurrentProcessId();
#else
  return static_cast<std::uint64_t>(getpid());
#endif
}

}  // namespace ccgost::detail
