// The exported C functions. Every export goes through one exception barrier: a null or unknown
// handle, or any exception from the engine, yields the export's fallback value, so nothing ever
// unwinds into the host.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <type_traits>
#include <unordered_set>

#include "ccom/ce_ccom.h"
#include "engine/cryptobj.h"
#include "engine/export_table.h"
#include "root/rootpath.h"
#include "support/text.h"
#include "vornak2.h"

namespace vornak2 {
namespace {

// The engines handed out and not yet released. A handle the host passes is used only when it is
// in this set, so a stale or made-up handle gets the fallback instead of a crash.
class EngineRegistry {
 public:
  void Add(TCryptoEngine* engine) {
    std::unique_lock guard(lock_);
    live_.insert(engine);
  }
  bool Remove(TCryptoEngine* engine) {
    std::unique_lock guard(lock_);
    return live_.erase(engine) != 0;
  }
  TCryptoEngine* Find(VORNAK2_HANDLE handle) const {
    if (handle == nullptr) return nullptr;
    auto* engine = reinterpret_cast<TCryptoEngine*>(handle);
    std::shared_lock guard(lock_);
    return live_.count(engine) ? engine : nullptr;
  }

 private:
  mutable std::shared_mutex lock_;
  std::unordered_set<TCryptoEngine*> live_;
};

EngineRegistry& Registry() {
  static EngineRegistry registry;
  return registry;
}

// The exception barrier of the exports: runs `op` and gives its result; any exception gives the
// export's fallback, except that an allocation failure in an export that answers a result code
// gives the engine's out-of-memory code.
template <typename R, typename Op>
R Barrier(R fallback, Op&& op) noexcept {
  try {
    return op();
  } catch (const std::bad_alloc&) {
    if constexpr (std::is_same_v<R, int32_t>) {
      if (fallback == VORNAK2_CODE_FALLBACK) return kEngineOutOfMemory;
    }
    return fallback;
  } catch (...) {
    return fallback;
  }
}

template <typename Op>
void BarrierProcedure(Op&& op) noexcept {
  try {
    op();
  } catch (...) {
  }
}

// The barrier with the handle checked first: a null, stale or made-up handle gives the fallback.
template <typename R, typename Op>
R Guarded(VORNAK2_HANDLE handle, R fallback, Op&& op) noexcept {
  return Barrier<R>(fallback, [&]() -> R {
    TCryptoEngine* engine = Registry().Find(handle);
    return engine ? op(*engine) : fallback;
  });
}

template <typename Op>
void GuardedProcedure(VORNAK2_HANDLE handle, Op&& op) noexcept {
  BarrierProcedure([&] {
    if (TCryptoEngine* engine = Registry().Find(handle)) op(*engine);
  });
}

}  // namespace
}  // namespace vornak2

using vornak2::Barrier;
using vornak2::BarrierProcedure;
using vornak2::Guarded;
using vornak2::GuardedProcedure;
using vornak2::HostCallback;
using vornak2::TCryptoEngine;

#define VORNAK2_UNPACK(...) __VA_ARGS__

#define VORNAK2_DEFINE_FUNCTION(ord, R, name, fallback, params, args, op)                   \
  extern "C" VORNAK2_API R VORNAK2_CALL name(VORNAK2_HANDLE handle VORNAK2_UNPACK params) { \
    return Guarded<R>(handle, fallback, [&](TCryptoEngine& engine) { return engine.op args; });      \
  }
#define VORNAK2_DEFINE_PROCEDURE(ord, name, params, args, op)                                  \
  extern "C" VORNAK2_API void VORNAK2_CALL name(VORNAK2_HANDLE handle VORNAK2_UNPACK params) { \
    GuardedProcedure(handle, [&](TCryptoEngine& engine) { engine.op args; });                            \
  }

VORNAK2_FORWARDED_FUNCTIONS(VORNAK2_DEFINE_FUNCTION)
VORNAK2_FORWARDED_PROCEDURES(VORNAK2_DEFINE_PROCEDURE)

// ---- exports with behaviour of their own ----

extern "C" VORNAK2_API VORNAK2_HANDLE VORNAK2_CALL GetCryptObj(int32_t) {
  return Barrier<VORNAK2_HANDLE>(nullptr, [] {
    auto engine = std::make_unique<vornak2::TCcom22Engine>();
    vornak2::Registry().Add(engine.get());
    return reinterpret_cast<VORNAK2_HANDLE>(static_cast<TCryptoEngine*>(engine.release()));
  });
}

extern "C" VORNAK2_API void VORNAK2_CALL DoneEngine(VORNAK2_HANDLE handle) {
  BarrierProcedure([&] {
    auto* engine = reinterpret_cast<TCryptoEngine*>(handle);
    if (engine != nullptr && vornak2::Registry().Remove(engine)) {
      std::unique_ptr<TCryptoEngine> owned(engine);
    }
  });
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL IsDifferentKeys(VORNAK2_HANDLE handle) {
  // The host's boolean convention: -1 for true, 0 for false; the fallback is "true".
  constexpr int32_t kHostTrue = -1;
  constexpr int32_t kHostFalse = 0;
  return Guarded<int32_t>(handle, kHostTrue, [](TCryptoEngine& e) {
    return e.IsDifferentKeys() ? kHostTrue : kHostFalse;
  });
}

extern "C" VORNAK2_API void VORNAK2_CALL SetRootPath(VORNAK2_HANDLE handle, const char* path) {
  // A root the process already has set differently is refused, and the engine keeps its own.
  BarrierProcedure([&] {
    const std::string root = path ? path : "";
    vornak2::SetGlobalRoot(root);
    if (TCryptoEngine* engine = vornak2::Registry().Find(handle)) engine->SetEngineRoot(root);
  });
}

extern "C" VORNAK2_API void VORNAK2_CALL SetTMRequestFunc(VORNAK2_HANDLE handle, VORNAK2_CALLBACK callback) {
  GuardedProcedure(handle, [&](TCryptoEngine& e) { e.SetTMRequestFunc(reinterpret_cast<HostCallback>(callback)); });
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL GetMaxFilePathLength(VORNAK2_HANDLE) {
  return vornak2::kBaseTextLength;
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL UpdateCertificateCash(VORNAK2_HANDLE handle, const char* uid) {
  const int32_t result =
      Guarded<int32_t>(handle, VORNAK2_CODE_FALLBACK, [&](TCryptoEngine& e) { return e.UpdateCertificateCash(uid); });
  if (result != vornak2::kNotProvided) return result;
  ClearCash(handle);
  return vornak2::kOk;
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL RegisterOIDInfo(VORNAK2_HANDLE handle, const char* first,
                                                            const char* second) {
  return Guarded<int32_t>(handle, VORNAK2_CODE_FALLBACK, [&](TCryptoEngine& e) {
    return e.RegisterOIDInfo(first ? first : "", vornak2::Cp1251ToUtf16(second ? second : ""));
  });
}
