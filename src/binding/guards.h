// Guards for what the library hands out and what a binding operation starts: each releases its
// object through the library's own entry point on every path out of the operation.
#pragma once

#include <cstdint>

#include "binding/ccom_dll.h"

namespace vornak2 {

// A text the library hands out, or the empty text for none.
inline const char* OrEmpty(const char* text) noexcept {
  return text != nullptr ? text : "";
}

// An object the library hands out through an out-parameter, released through the entry point
// `Release` of the table when the guard goes out of scope.
template <typename T, auto Release>
class LibraryObject {
 public:
  explicit LibraryObject(const CcEntryTable& cc) : cc_(cc) {}
  LibraryObject(const LibraryObject&) = delete;
  LibraryObject& operator=(const LibraryObject&) = delete;
  ~LibraryObject() {
    if (p_ != nullptr) (cc_.*Release)(p_);
  }
  T** Out() noexcept { return &p_; }
  T* get() const noexcept { return p_; }

 private:
  const CcEntryTable& cc_;
  T* p_ = nullptr;
};

using CertRecord = LibraryObject<CcCertInfo, &CcEntryTable::_FreeCertInfo>;
using SecRecord = LibraryObject<CcSecInfo, &CcEntryTable::_FreeSecInfo>;
// Signatures and enciphered session keys.
using LibraryBuffer = LibraryObject<std::uint8_t, &CcEntryTable::_BufferFree>;
// Secret-key and request texts of a key generation, wiped as they are released.
using LibraryText = LibraryObject<char, &CcEntryTable::__BufferCleanFree>;

// A session key from the library, wiped and released by _BufferCleanFree.
class SessionKey {
 public:
  explicit SessionKey(const CcEntryTable& cc) : cc_(cc) {}
  SessionKey(const SessionKey&) = delete;
  SessionKey& operator=(const SessionKey&) = delete;
  ~SessionKey() {
    if (p_ != nullptr) cc_._BufferCleanFree(p_, length_);
  }
  std::uint8_t** Out() noexcept { return &p_; }
  std::int32_t* Length() noexcept { return &length_; }
  const std::uint8_t* get() const noexcept { return p_; }
  std::int32_t size() const noexcept { return length_; }

 private:
  const CcEntryTable& cc_;
  std::uint8_t* p_ = nullptr;
  std::int32_t length_ = 0;
};

class Context {
 public:
  explicit Context(TCComDLL& dll) : dll_(dll) {}
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;
  ~Context() { dll_.FreeContext(ctx_); }
  CcContext*& Ref() noexcept { return ctx_; }
  CcContext* get() const noexcept { return ctx_; }

 private:
  TCComDLL& dll_;
  CcContext* ctx_ = nullptr;
};

// Stops the library's generator when it was started.
class RandomSession {
 public:
  explicit RandomSession(const CcEntryTable& cc) : cc_(cc) {}
  RandomSession(const RandomSession&) = delete;
  RandomSession& operator=(const RandomSession&) = delete;
  ~RandomSession() {
    if (started_) cc_._FreeRand();
  }
  void Started() noexcept { started_ = true; }
  bool IsStarted() const noexcept { return started_; }

 private:
  const CcEntryTable& cc_;
  bool started_ = false;
};

// The first steps of every operation that works under a user's identity: start and seed the
// library's generator, then open a context configured with the UID, directories and algorithms.
inline std::int32_t StartOperation(TCComDLL& dll, std::int32_t randomKind, RandomSession& random,
                                   Context& ctx, const std::string& uid,
                                   const std::string& secretDir, const std::string& publicDir,
                                   const std::string& cipher, const std::string& hash) {
  if (const std::int32_t r = dll.InitRandom(randomKind); r != 0) return r;
  random.Started();
  return dll.CreateContext(ctx.Ref(), uid, secretDir, publicDir, cipher, hash);
}

}  // namespace vornak2
