// The exported C functions. Every export goes through one exception barrier: a null or unknown
// handle, or any exception from the engine, yields the export's fallback value, so nothing ever
// unwinds into the host.
#include <cstdint>
#include <cstring>
#include <mutex>
#include <shared_mutex>
#include <string>
#include <unordered_set>

#include "ccom/ce_ccom.h"
#include "engine/cryptobj.h"
#include "engine/export_table.h"
#include "engine/rootpath.h"
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

template <typename R, typename Op>
R Guarded(VORNAK2_HANDLE handle, R fallback, Op&& op) noexcept {
  try {
    TCryptoEngine* engine = Registry().Find(handle);
    return engine ? op(*engine) : fallback;
  } catch (...) {
    return fallback;
  }
}

template <typename Op>
void GuardedProcedure(VORNAK2_HANDLE handle, Op&& op) noexcept {
  try {
    if (TCryptoEngine* engine = Registry().Find(handle)) op(*engine);
  } catch (...) {
  }
}

// Windows-1251 text to UTF-16: the 8-bit texts of this library are in that code page.
std::u16string Cp1251ToUtf16(const char* text) {
  static constexpr char16_t kHigh[64] = {
      0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
      0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
      0x2013, 0x2014, 0xFFFD, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
      0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
      0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
      0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457};
  std::u16string out;
  if (text == nullptr) return out;
  for (const char* p = text; *p; ++p) {
    const auto c = static_cast<unsigned char>(*p);
    if (c < 0x80) out.push_back(c);
    else if (c < 0xC0) out.push_back(kHigh[c - 0x80]);
    else out.push_back(static_cast<char16_t>(0x0410 + (c - 0xC0)));
  }
  return out;
}

}  // namespace
}  // namespace vornak2

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
  try {
    auto engine = std::make_unique<vornak2::TCcom22Engine>();
    vornak2::Registry().Add(engine.get());
    return reinterpret_cast<VORNAK2_HANDLE>(static_cast<TCryptoEngine*>(engine.release()));
  } catch (...) {
    return nullptr;
  }
}

extern "C" VORNAK2_API void VORNAK2_CALL DoneEngine(VORNAK2_HANDLE handle) {
  try {
    auto* engine = reinterpret_cast<TCryptoEngine*>(handle);
    if (engine != nullptr && vornak2::Registry().Remove(engine)) {
      std::unique_ptr<TCryptoEngine> owned(engine);
    }
  } catch (...) {
  }
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL IsDifferentKeys(VORNAK2_HANDLE handle) {
  return Guarded<int32_t>(handle, -1, [](TCryptoEngine& e) { return e.IsDifferentKeys() ? -1 : 0; });
}

extern "C" VORNAK2_API void VORNAK2_CALL SetRootPath(VORNAK2_HANDLE handle, const char* path) {
  try {
    const std::string root = path ? path : "";
    vornak2::SetGlobalRoot(root);
    GuardedProcedure(handle, [&](TCryptoEngine& e) { e.SetEngineRoot(root); });
  } catch (...) {
  }
}

extern "C" VORNAK2_API void VORNAK2_CALL SetTMRequestFunc(VORNAK2_HANDLE handle, VORNAK2_CALLBACK callback) {
  GuardedProcedure(handle, [&](TCryptoEngine& e) { e.SetTMRequestFunc(reinterpret_cast<HostCallback>(callback)); });
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL GetMaxFilePathLength(VORNAK2_HANDLE) { return 255; }

extern "C" VORNAK2_API int32_t VORNAK2_CALL UpdateCertificateCash(VORNAK2_HANDLE handle, const char* uid) {
  const int32_t result =
      Guarded<int32_t>(handle, VORNAK2_CODE_FALLBACK, [&](TCryptoEngine& e) { return e.UpdateCertificateCash(uid); });
  if (result != -1) return result;
  ClearCash(handle);
  return 0;
}

extern "C" VORNAK2_API int32_t VORNAK2_CALL RegisterOIDInfo(VORNAK2_HANDLE handle, const char* first,
                                                            const char* second) {
  return Guarded<int32_t>(handle, VORNAK2_CODE_FALLBACK, [&](TCryptoEngine& e) {
    return e.RegisterOIDInfo(first ? first : "", vornak2::Cp1251ToUtf16(second));
  });
}
