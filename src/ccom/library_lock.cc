#include "ccom/library_lock.h"

#include "binding/ccom_dll.h"

namespace vornak2 {

FairLock& ProcessLibraryLock() {
  static FairLock lock;
  return lock;
}

LibraryGuard::LibraryGuard(LibraryWork work, const TCComDLL& dll)
    : shared_(work == LibraryWork::Data && dll.ConcurrentContexts()) {
  if (shared_) {
    ProcessLibraryLock().lock_shared();
  } else {
    ProcessLibraryLock().lock();
  }
}

LibraryGuard::~LibraryGuard() {
  if (shared_) {
    ProcessLibraryLock().unlock_shared();
  } else {
    ProcessLibraryLock().unlock();
  }
}

}  // namespace vornak2
