// Guards for what the library hands out and what a binding operation starts: each releases its
// object through the library's own entry point on every path out of the operation.
#pragma once

#include <cstdint>

#include "binding/ccom_dll.h"

namespace vornak2 {

// Releases what the library hands out, on every path out of a binding operation.
class CertRecord {
 public:
  explicit CertRecord(const CcEntryTable& cc) : cc_(cc) {}
  CertRecord(const CertRecord&) = delete;
  CertRecord& operator=(const CertRecord&) = delete;
  ~CertRecord() {
    if (p_ != nullptr) cc_._FreeCertInfo(p_);
  }
  CcCertInfo** Out() noexcept { return &p_; }
  CcCertInfo* get() const noexcept { return p_; }

 private:
  const CcEntryTable& cc_;
  CcCertInfo* p_ = nullptr;
};

// A library buffer released by _BufferFree (signatures, enciphered session keys).
class LibraryBuffer {
 public:
  explicit LibraryBuffer(const CcEntryTable& cc) : cc_(cc) {}
  LibraryBuffer(const LibraryBuffer&) = delete;
  LibraryBuffer& operator=(const LibraryBuffer&) = delete;
  ~LibraryBuffer() {
    if (p_ != nullptr) cc_._BufferFree(p_);
  }
  std::uint8_t** Out() noexcept { return &p_; }
  const std::uint8_t* get() const noexcept { return p_; }

 private:
  const CcEntryTable& cc_;
  std::uint8_t* p_ = nullptr;
};

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

class SecRecord {
 public:
  explicit SecRecord(const CcEntryTable& cc) : cc_(cc) {}
  SecRecord(const SecRecord&) = delete;
  SecRecord& operator=(const SecRecord&) = delete;
  ~SecRecord() {
    if (p_ != nullptr) cc_._FreeSecInfo(p_);
  }
  CcSecInfo** Out() noexcept { return &p_; }
  CcSecInfo* get() const noexcept { return p_; }

 private:
  const CcEntryTable& cc_;
  CcSecInfo* p_ = nullptr;
};

class LibraryText {
 public:
  explicit LibraryText(const CcEntryTable& cc) : cc_(cc) {}
  LibraryText(const LibraryText&) = delete;
  LibraryText& operator=(const LibraryText&) = delete;
  ~LibraryText() {
    if (p_ != nullptr) cc_.__BufferCleanFree(p_);
  }
  char** Out() noexcept { return &p_; }
  const char* get() const noexcept { return p_; }

 private:
  const CcEntryTable& cc_;
  char* p_ = nullptr;
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

}  // namespace vornak2
