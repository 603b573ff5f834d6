// Loading the vendor library: the library search, the 62 entry points looked up by their exported
// names, the optional declaration of concurrent use, and the binding's exception barrier.
#include "binding/ccom_dll.h"

#include <new>

#include "root/rootpath.h"
#include "support/errors.h"

namespace vornak2 {

TCComDLL::TCComDLL() {
  Load(platform::SharedLibraryFileName("cc"));
}

TCComDLL::TCComDLL(const std::string& libraryName) {
  Load(libraryName);
}

void TCComDLL::Load(const std::string& libraryName) {
  libHandle_ = LoadCryptoLibrary(libraryName);
  if (libHandle_ == nullptr) return;
  loaded_ = true;
  int found = 0;
  // Every slot is looked up by the exported form of its decorated name (the decorated name itself
  // on Windows); a missing name does not stop the lookups, and the library is complete only when
  // all 62 were found.
#define VORNAK2_BIND_ENTRY(num, name, bytes, ret, params)                         \
  cc_.name = reinterpret_cast<CcFn##name>(                                        \
      platform::FindSymbol(libHandle_, cc_abi::kExportedNames[num - 1].c_str())); \
  found += cc_.name != nullptr ? 1 : 0;
  CC_ENTRY_POINTS(VORNAK2_BIND_ENTRY)
#undef VORNAK2_BIND_ENTRY
  complete_ = found == CC_ENTRY_COUNT;
  // The optional declaration: without it, or with another answer, every call is serialised.
  const auto declaration = reinterpret_cast<CcFnConcurrentContexts>(platform::FindSymbol(
      libHandle_, cc_abi::ExportedSymbol(CC_CONCURRENT_CONTEXTS_NAME).c_str()));
  concurrentContexts_ = declaration != nullptr && declaration() == CC_CONCURRENT_CONTEXTS;
  certIsAuthority_ = reinterpret_cast<CcFnCertIsAuthority>(
      platform::FindSymbol(libHandle_, cc_abi::ExportedSymbol(CC_CERT_IS_AUTHORITY_NAME).c_str()));
}

TCComDLL::~TCComDLL() {
  hardwareRandom_.reset();
  if (libHandle_ != nullptr) platform::FreeModule(libHandle_);
}

std::int32_t TCComDLL::Fail(const std::exception& e) noexcept {
  try {
    lastCallError_ = std::string(ExceptionClassName(e)) + ": " + e.what();
  } catch (...) {
  }
  return kLibraryCallException;
}

TIntelProvider* TCComDLL::Hardware() {
  if (!hardwareRandom_) hardwareRandom_ = std::make_unique<TIntelProvider>();
  return hardwareRandom_.get();
}

}  // namespace vornak2
