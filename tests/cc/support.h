// Test support for the cc library: libcc.so loaded through dlopen and resolved by the POSIX names
// derived from the decorated table, guards that release what the library returns through its own
// release entry points, and a small PKI built with the library's inner code.
#pragma once

#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "cc_abi.h"
#include "documents.h"

namespace cctest {

// Small file and shell helpers of the tests that drive other tools: a text in single quotes for a
// shell command, a whole file read, a file written anew.
std::string Quote(const std::string& s);
std::string Slurp(const std::string& path);
void Spill(const std::string& path, const std::string& data);

// The loaded library; every entry point resolved (the test aborts when one is missing).
const CcEntryTable& Cc();
// The dlopen handle of the loaded library.
void* CcHandle();

struct CtxDeleter {
  void operator()(CcContext* c) const { Cc()._FreeCryptCtx(c); }
};
using Ctx = std::unique_ptr<CcContext, CtxDeleter>;
// A new context with the given algorithms (empty: the library defaults).
Ctx NewCtx(const char* cipher = "28147", const char* hash = "34.11");

struct CertInfoDeleter {
  void operator()(CcCertInfo* p) const { Cc()._FreeCertInfo(p); }
};
using CertInfo = std::unique_ptr<CcCertInfo, CertInfoDeleter>;
struct SecInfoDeleter {
  void operator()(CcSecInfo* p) const { Cc()._FreeSecInfo(p); }
};
using SecInfo = std::unique_ptr<CcSecInfo, SecInfoDeleter>;
struct BufferDeleter {
  void operator()(std::uint8_t* p) const { Cc()._BufferFree(p); }
};
using Buffer = std::unique_ptr<std::uint8_t, BufferDeleter>;
struct CleanBufferDeleter {
  std::int32_t length = 0;
  void operator()(std::uint8_t* p) const { Cc()._BufferCleanFree(p, length); }
};
using CleanBuffer = std::unique_ptr<std::uint8_t, CleanBufferDeleter>;
struct TextDeleter {
  void operator()(char* p) const { Cc().__BufferCleanFree(p); }
};
using Text = std::unique_ptr<char, TextDeleter>;

// The authority-key lookup used by the tests: answers the text set for the calling thread when
// the name and number match (or when it is no certificate at all), else null.
void SetAuthorityText(std::string text);
const char* AuthorityLookup(const char* name, std::int32_t number);

// Certificates and keys made with the library's inner code.
struct User {
  std::string secretText;
  std::string certText;
  std::string requestText;
};
struct Pki {
  cc::SecretKey authorityKey;
  cc::PublicDocument authorityCert;
  std::string autText;
  // An authority certificate of the same name but another key pair (a forger).
  cc::SecretKey forgerKey;
  cc::PublicDocument forgerCert;

  // A user whose certificate is valid from..to (minutes from now), with a key of `curve`.
  User MakeUser(const std::string& uid, std::int32_t kn, std::int64_t fromMin = -60,
                std::int64_t toMin = 60 * 24 * 30,
                ccgost::Curve curve = ccgost::Curve::Tc26_256_A) const;
};
// One PKI per process (key generation is the slow part).
const Pki& TestPki();

// Signs through the entry points, feeding the data in the given chunk sizes (empty: chunks of
// 65 528 bytes, as the adapter does).
std::vector<std::uint8_t> SignChunked(CcContext* ctx, const std::string& secretText,
                                      std::span<const std::uint8_t> data,
                                      const std::vector<std::size_t>& chunks = {});
std::int32_t VerifyChunked(CcContext* ctx, const std::string& certText,
                           std::span<const std::uint8_t> data, const std::uint8_t* signature,
                           const std::vector<std::size_t>& chunks = {});
// Random chunk sizes that add up to `total` (each at most CC_MAX_CHUNK, zeros allowed).
std::vector<std::size_t> RandomSplit(std::size_t total, std::mt19937& rng);
// Runs the cipher through the entry points: init, updates in the chunk sizes, final.
std::int32_t CipherChunked(CcContext* ctx, int direction, const std::uint8_t* key, std::uint8_t* iv,
                           std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out,
                           const std::vector<std::size_t>& chunks = {});
std::vector<std::uint8_t> RandomBytes(std::size_t n, std::mt19937& rng);

// A fresh temporary directory removed with its contents at the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);

}  // namespace cctest
