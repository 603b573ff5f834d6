// How the engine's operations hold LibraryLock: one guard that every operation uses, so that the
// rule below lives in one place.
//
// LibraryLock is process-wide, re-entrant for its owner and fair (waiting threads get it in
// arrival order, see support/fair_lock.h). The locks of the shared state are always taken in one
// order: LibraryLock, then the path-to-UID cache's lock, then the key-file cache's lock (which
// also guards the random pool).
//
// - LibraryWork::Exclusive: the operation runs alone. For store changes, cache clears, key
//   generation: whatever changes what other operations read from the shared state.
// - LibraryWork::Data: a data operation's key-cache preparation and cryptographic call. With a
//   library that does not declare concurrent use safe, alone, as Exclusive. With one that does,
//   the lock is held shared: the cryptographic calls of different threads run in parallel, the
//   shared state they touch is guarded by its own locks, and store changes and clears still wait
//   for them (so no operation loses its keys between its preparation and its call).
#pragma once

#include "support/fair_lock.h"

namespace vornak2 {

class TCComDLL;

enum class LibraryWork { Exclusive, Data };

// The process-wide library lock.
FairLock& ProcessLibraryLock();

class LibraryGuard {
 public:
  LibraryGuard(LibraryWork work, const TCComDLL& dll);
  ~LibraryGuard();
  LibraryGuard(const LibraryGuard&) = delete;
  LibraryGuard& operator=(const LibraryGuard&) = delete;

 private:
  bool shared_;
};

}  // namespace vornak2
