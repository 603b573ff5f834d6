// The 62 entry points of the cc library. Each one checks its arguments, runs inside one exception
// barrier (nothing is thrown across the C boundary) and answers a result code of cc_abi.h.
#include <algorithm>
#include <array>
#include <atomic>
#include <filesystem>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "blocks.h"
#include "cc_abi.h"
#include "context.h"
#include "documents.h"
#include "files.h"
#include "gost.h"
#include "paths.h"
#include "session_key.h"
#include "util.h"

namespace {

using cc::ContextImpl;

// Longest path the library accepts.
constexpr std::size_t kMaxPath = 4095;

// Runs `body`; an allocation failure answers CC_E_MEMORY, any other exception `failure`.
template <typename Body>
std::int32_t Guard(std::int32_t failure, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return CC_E_MEMORY;
  } catch (...) {
    return failure;
  }
}

// Frees a library block when an operation fails halfway.
struct BlockDeleter {
  void operator()(void* p) const noexcept { cc::FreeBlock(p); }
};
template <typename T>
using BlockPtr = std::unique_ptr<T, BlockDeleter>;

bool ValidLength(const void* data, std::int32_t length) {
  return length >= 0 && length <= CC_MAX_CHUNK && (data != nullptr || length == 0);
}

// Stores a configuration text of at most `limit` bytes.
std::int32_t StoreText(CcContext* ctx, const char* text, std::size_t limit,
                       std::string ContextImpl::*field) {
  return Guard(CC_E_BAD_ARGUMENT, [&] {
    ContextImpl* c = cc::ContextOf(ctx);
    if (c == nullptr) return CC_E_CONTEXT;
    const auto value = cc::BoundedText(text, limit);
    if (!value) return CC_E_BAD_ARGUMENT;
    c->*field = std::string(*value);
    return CC_OK;
  });
}

// The hash of a signature by a key of `curve`: "34.11" is GOST R 34.11-2012 of the key's size
// (the 512-bit digest for a 512-bit key); MD5 stays MD5.
ccgost::HashAlg HashFor(ccgost::HashAlg configured, ccgost::Curve curve) {
  return configured == ccgost::HashAlg::Streebog256 ? ccgost::SignatureDigest(curve) : configured;
}

// The digest of the running hash as the KeySize(curve) bytes a signature takes. A shorter digest
// (MD5) is the same number: the bytes are read as a little-endian integer, so zeros go at the end.
std::vector<std::uint8_t> FinishDigest(ccgost::Hash& hash, ccgost::Curve curve) {
  std::vector<std::uint8_t> d = hash.Final();
  d.resize(ccgost::KeySize(curve), 0);
  return d;
}

// Parses a certificate text given by pointer: CC_E_CERT_READ for none, CC_E_CERT_FORMAT for one
// that is too long, else the parser's result.
std::int32_t ParseCertificateText(const char* text, cc::PublicDocument& doc) {
  if (text == nullptr) return CC_E_CERT_READ;
  const auto view = cc::BoundedText(text, CC_MAX_TEXT);
  if (!view) return CC_E_CERT_FORMAT;
  return cc::ParsePublicDocument(*view, doc);
}

// Whether a certificate's key may be used for one of the uses in `usage` (keyUsage bits):
// CC_E_UNKNOWN_CRITICAL for a certificate no use may rely on, CC_E_KEY_USAGE for one whose
// keyUsage allows none of them.
std::int32_t UsableFor(const cc::PublicDocument& doc, std::uint16_t usage) {
  if (doc.unknownCritical) return CC_E_UNKNOWN_CRITICAL;
  return doc.Allows(usage) ? CC_OK : CC_E_KEY_USAGE;
}

// Parses a secret-key text given by pointer; a key without the library's own attributes takes
// them from the context's own certificate when that holds its public key.
std::int32_t ParseSecretText(const ContextImpl& c, const char* text, cc::SecretKey& key) {
  const auto view = cc::BoundedText(text, CC_MAX_TEXT);
  if (!view) return CC_E_SECRET_FORMAT;
  return cc::ParseSecretKey(*view, key, c.ownCertificate ? &*c.ownCertificate : nullptr);
}

// Copies texts behind a record in one library block; `Put` hands out the copies.
class RecordBuilder {
 public:
  RecordBuilder(std::size_t recordSize, std::initializer_list<std::string_view> texts) {
    std::size_t total = recordSize;
    for (std::string_view t : texts) total += t.size() + 1;
    block_.reset(cc::AllocBlock(total));
    next_ = static_cast<char*>(block_.get()) + recordSize;
  }
  template <typename Record>
  Record* record() {
    return static_cast<Record*>(block_.get());
  }
  const char* Put(std::string_view text) {
    char* p = next_;
    std::copy(text.begin(), text.end(), p);
    p[text.size()] = '\0';
    next_ += text.size() + 1;
    return p;
  }
  void* release() { return block_.release(); }

 private:
  BlockPtr<void> block_;
  char* next_ = nullptr;
};

// The parameter set of new keys from the two key-generation settings (see cc_abi.h) and the set
// of the user's current key, when known: 0, CC_E_KEY_FORMAT or CC_E_UNKNOWN_PKS.
std::int32_t ChooseCurve(std::int32_t first, std::int32_t second,
                         std::optional<ccgost::Curve> current, ccgost::Curve& out) {
  std::optional<ccgost::Curve> named;
  if (first < 0) return CC_E_KEY_FORMAT;
  if (first < 256) {
    named = cc::CurveOfCode(first);
    if (!named) return CC_E_KEY_FORMAT;
  }
  if (second != 0 && second != 256 && second != 512) return CC_E_UNKNOWN_PKS;
  const auto is512 = [](ccgost::Curve c) { return ccgost::KeySize(c) == 64; };
  if (named) {
    if (second == 512 && !is512(*named)) return CC_E_UNKNOWN_PKS;
    out = *named;
  } else if (second == 512) {
    out = current && is512(*current) ? *current : ccgost::Curve::Tc26_512_A;
  } else {
    out = current.value_or(ccgost::Curve::Tc26_256_A);
  }
  return CC_OK;
}

std::int32_t CheckPksSettings(std::int32_t first, std::int32_t second) {
  ccgost::Curve unused{};
  return ChooseCurve(first, second, std::nullopt, unused);
}

// The parameter set of the newest secret key in the context's secret-key directory: the file
// "N.sec" of the highest N.
std::optional<ccgost::Curve> NewestKeyCurve(const std::string& dir) {
  if (dir.empty()) return std::nullopt;
  std::error_code error;
  std::optional<std::int32_t> newest;
  for (std::filesystem::directory_iterator it(dir, error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.size() < 5 || name.compare(name.size() - 4, 4, ".sec") != 0) continue;
    const auto number = cc::ParseKeyNumber(std::string_view(name).substr(0, name.size() - 4));
    if (number && (!newest || *number > *newest)) newest = number;
  }
  if (!newest) return std::nullopt;
  auto text = cc::ReadSmallFile(cc::SecretKeyPath(dir, *newest), CC_MAX_TEXT);
  if (!text) return std::nullopt;
  cc::SecretText secret;
  secret.str() = std::move(*text);
  cc::SecretKey key;
  if (cc::ParseSecretKey(secret.str(), key) != CC_OK) return std::nullopt;
  return key.curve;
}

// The parameter set of the user's current key: the context's own certificate; else the
// certificate the store holds for the context's identifier; else the newest secret key.
std::optional<ccgost::Curve> CurrentCurve(const ContextImpl& c) {
  if (c.ownCertificate) return c.ownCertificate->curve;
  const std::string path = cc::CertPathByUid(c.identifier, cc::AddPathSeparator(c.publicPath));
  cc::PublicDocument doc;
  if (!c.identifier.empty() && !path.empty()) {
    const auto text = cc::ReadSmallFile(path, CC_MAX_TEXT);
    if (text && cc::ParsePublicDocument(*text, doc) == CC_OK &&
        doc.kind == cc::DocKind::Certificate && doc.uid == c.identifier)
      return doc.curve;
  }
  return NewestKeyCurve(c.secretPath);
}

}  // namespace

#define CC_ENTRY(ret, name) extern "C" CC_EXPORT ret CC_CALL name

// ---- random ----

CC_ENTRY(int32_t, _InitRand)(void) {
  return Guard(CC_E_RANDOM, [] {
    ccgost::Init();
    return CC_OK;
  });
}

// The generator is libgcrypt's, shared by the process; there is nothing to stop.
CC_ENTRY(int32_t, _FreeRand)(void) {
  return CC_OK;
}

CC_ENTRY(int32_t, _RandSeed)(const void* seed, int32_t length) {
  if (length < 0 || (seed == nullptr && length != 0)) return CC_E_BAD_ARGUMENT;
  return Guard(CC_E_RANDOM, [&] {
    ccgost::AddSeed({static_cast<const std::uint8_t*>(seed), static_cast<std::size_t>(length)});
    return CC_OK;
  });
}

CC_ENTRY(int32_t, _RandWriteFile)(const char* path) {
  const auto name = cc::BoundedText(path, kMaxPath);
  if (!name || name->empty()) return CC_E_BAD_ARGUMENT;
  return Guard(CC_E_RANDOM, [&] { return cc::WriteRandomState(std::string(*name)); });
}

CC_ENTRY(int32_t, _GetRandom)(void* buffer, int32_t length) {
  if (length < 0 || (buffer == nullptr && length != 0)) return CC_E_BAD_ARGUMENT;
  return Guard(CC_E_RANDOM, [&] {
    ccgost::RandomBytes({static_cast<std::uint8_t*>(buffer), static_cast<std::size_t>(length)});
    return CC_OK;
  });
}

#ifdef CC_FAULT_HOOKS
// Test builds only: the injected file faults of files.h, for tests that walk every write point of
// an operation through this library.
extern "C" CC_EXPORT void _CcInjectFileFault(uint64_t nth, int32_t error) {
  cc::InjectFileFault(nth, error);
}
extern "C" CC_EXPORT uint64_t _CcFileWritePoints(void) {
  return cc::FileWritePoints();
}
#endif

// ---- contexts ----

#ifdef CC_CONTEXT_PROBE
// Test builds only: how many contexts are alive, and the most that ever were at once. A caller
// that serialises its operations never has two alive.
namespace {
std::atomic<std::int32_t> liveContexts{0};
std::atomic<std::int32_t> maxLiveContexts{0};
void ContextOpened() noexcept {
  const std::int32_t now = ++liveContexts;
  std::int32_t seen = maxLiveContexts.load();
  while (now > seen && !maxLiveContexts.compare_exchange_weak(seen, now)) {
  }
}
}  // namespace
// The most contexts alive at once since the previous call.
extern "C" CC_EXPORT int32_t _CcProbeMaxLiveContexts(void) {
  return maxLiveContexts.exchange(liveContexts.load());
}
#define CC_CONTEXT_OPENED() ContextOpened()
#define CC_CONTEXT_CLOSED() --liveContexts
#else
#define CC_CONTEXT_OPENED()
#define CC_CONTEXT_CLOSED()
#endif

CC_ENTRY(CcContext*, _InitCryptCtx)(void) {
  try {
    ccgost::Init();
    auto impl = std::make_unique<ContextImpl>();
    impl->abi.magic = cc::kContextMagic;
    impl->abi.impl = impl.get();
    CC_CONTEXT_OPENED();
    return &impl.release()->abi;
  } catch (...) {
    return nullptr;
  }
}

CC_ENTRY(int32_t, _FreeCryptCtx)(CcContext* ctx) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  CC_CONTEXT_CLOSED();
  c->abi.magic = 0;
  c->abi.impl = nullptr;
  std::unique_ptr<ContextImpl> owned(c);  // secrets in it wipe themselves
  return CC_OK;
}

CC_ENTRY(int32_t, _SetIdentifier)(CcContext* ctx, const char* uid) {
  return StoreText(ctx, uid, CC_MAX_TEXT, &ContextImpl::identifier);
}

CC_ENTRY(int32_t, _SetCipherAlgorithm)(CcContext* ctx, const char* name) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  const auto text = cc::BoundedText(name, 64);
  if (!text) return CC_E_UNKNOWN_CIPHER;
  if (cc::EqualsIgnoreCase(*text, "28147")) {
    c->cipherKind = cc::CipherKind::Cfb;
  } else if (cc::EqualsIgnoreCase(*text, "28147-ECB")) {
    c->cipherKind = cc::CipherKind::Ecb;
  } else {
    return CC_E_UNKNOWN_CIPHER;
  }
  return CC_OK;
}

CC_ENTRY(int32_t, _SetHashAlgorithm)(CcContext* ctx, const char* name) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  const auto text = cc::BoundedText(name, 64);
  if (!text) return CC_E_UNKNOWN_HASH;
  if (cc::EqualsIgnoreCase(*text, "34.11")) {
    c->hashAlg = ccgost::HashAlg::Streebog256;
  } else if (cc::EqualsIgnoreCase(*text, "MD5")) {
    c->hashAlg = ccgost::HashAlg::Md5;
  } else {
    return CC_E_UNKNOWN_HASH;
  }
  return CC_OK;
}

CC_ENTRY(int32_t, _SetSecretPath)(CcContext* ctx, const char* dir) {
  return StoreText(ctx, dir, kMaxPath, &ContextImpl::secretPath);
}

CC_ENTRY(int32_t, _SetPublicPath)(CcContext* ctx, const char* dir) {
  return StoreText(ctx, dir, kMaxPath, &ContextImpl::publicPath);
}

// Both numbers are kept even when refused, so that _NewKeys reports the refusal as well.
CC_ENTRY(int32_t, _SetPKSParameters)(CcContext* ctx, int32_t first, int32_t second) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  c->pksFirst = first;
  c->pksSecond = second;
  return CheckPksSettings(first, second);
}

CC_ENTRY(int32_t, _SetPeriod)(CcContext* ctx, int32_t days) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  // A 16-bit value; a caller that widened it with its sign gets its unsigned reading.
  if (days < -0x8000 || days > 0xFFFF) return CC_E_BAD_ARGUMENT;
  const std::int32_t value = days & 0xFFFF;
  c->periodDays = value == 0 ? CC_DEFAULT_PERIOD_DAYS : value;
  return CC_OK;
}

// ---- paths ----

CC_ENTRY(const char*, _GetCertPath)(CcContext* ctx, const char* uid) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return nullptr;
  try {
    const auto text = cc::BoundedText(uid, CC_MAX_TEXT);
    c->certPath = text ? cc::CertPathByUid(*text, cc::AddPathSeparator(c->publicPath)) : "";
  } catch (...) {
    c->certPath.clear();
  }
  return c->certPath.c_str();
}

CC_ENTRY(const char*, _GetSecPath)(CcContext* ctx, int32_t keyNumber) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return nullptr;
  try {
    c->secPath = cc::SecretKeyPath(c->secretPath, keyNumber);
  } catch (...) {
    c->secPath.clear();
  }
  return c->secPath.c_str();
}

// ---- information records ----

CC_ENTRY(int32_t, __CertInfo)(CcContext* ctx, const char* text, CcCertInfo** info) {
  if (info == nullptr) return CC_E_BAD_ARGUMENT;
  *info = nullptr;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  return Guard(CC_E_CERT_FORMAT, [&] {
    cc::PublicDocument doc;
    if (const std::int32_t rc = ParseCertificateText(text, doc); rc != CC_OK) return rc;
    std::int32_t revocation = CC_REVOCATION_NONE;
    const std::int32_t status = cc::CertificateStatus(doc, c->abi.authorityLookup, cc::NowMinutes(),
                                                      c->secretPath, &revocation);
    const std::string from = cc::FormatDate(doc.notBefore), to = cc::FormatDate(doc.notAfter);
    const std::string publicKey = cc::HexEncode(doc.publicKey);
    RecordBuilder b(sizeof(CcCertInfo), {doc.uid, doc.issuer, from, to, publicKey});
    auto* r = b.record<CcCertInfo>();
    r->keyNumber = doc.keyNumber;
    r->kind = doc.kind == cc::DocKind::Certificate ? CC_DOC_CERTIFICATE : CC_DOC_REQUEST;
    r->issuerKeyNumber = doc.issuerKeyNumber;
    r->uid = b.Put(doc.uid);
    r->issuerName = b.Put(doc.issuer);
    r->validFrom = b.Put(from);
    r->validTo = b.Put(to);
#ifdef CC_CONTRACT_ONLY
    // The build that fills only the fields every vendor library of this interface fills: a
    // binding must not need the kind, the public key or the curve.
    r->kind = 0;
#else
    r->publicKey = b.Put(publicKey);
    r->curve = cc::CurveCode(doc.curve);
    r->revocation = revocation;
#endif
    r->status = status;
    *info = static_cast<CcCertInfo*>(b.release());
    if (doc.kind == cc::DocKind::Certificate && doc.uid == c->identifier)
      c->ownCertificate = std::move(doc);
    return CC_OK;
  });
}

CC_ENTRY(int32_t, __SecInfo)(CcContext* ctx, const char* text, CcSecInfo** info) {
  if (info == nullptr) return CC_E_BAD_ARGUMENT;
  *info = nullptr;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  return Guard(CC_E_SECRET_FORMAT, [&] {
    cc::SecretKey key;
    const std::int32_t rc = ParseSecretText(*c, text, key);
    if (rc == CC_E_SECRET_FORMAT) return rc;  // no secret key we can read: no record
    const bool haveDates = rc == CC_OK ? key.hasValidity : key.notBefore != 0 || key.notAfter != 0;
    const std::string from = haveDates ? cc::FormatDate(key.notBefore) : "";
    const std::string to = haveDates ? cc::FormatDate(key.notAfter) : "";
    // A key that names no owner belongs to whoever the context is for.
    if (rc == CC_OK && key.uid.empty()) key.uid = c->identifier;
    RecordBuilder b(sizeof(CcSecInfo), {key.uid, from, to});
    auto* r = b.record<CcSecInfo>();
    r->keyNumber = key.keyNumber;
    r->uid = b.Put(key.uid);
    r->validFrom = b.Put(from);
    r->validTo = b.Put(to);
    r->curve = cc::CurveCode(key.curve);
    r->status = rc == CC_OK ? cc::SecretKeyStatus(key, cc::NowMinutes()) : rc;
    *info = static_cast<CcSecInfo*>(b.release());
    return CC_OK;
  });
}

CC_ENTRY(int32_t, _FreeCertInfo)(CcCertInfo* info) {
  return info == nullptr || cc::FreeBlock(info) ? CC_OK : CC_E_BAD_ARGUMENT;
}

CC_ENTRY(int32_t, _FreeSecInfo)(CcSecInfo* info) {
  return info == nullptr || cc::FreeBlock(info) ? CC_OK : CC_E_BAD_ARGUMENT;
}

// ---- signing and verification ----

CC_ENTRY(int32_t, _BufferSignInit)(CcContext* ctx, const char* secretKeyText) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  c->EndHash();
  return Guard(CC_E_SECRET_FORMAT, [&] {
    cc::SecretKey key;
    if (const std::int32_t rc = ParseSecretText(*c, secretKeyText, key); rc != CC_OK) return rc;
    c->hash = std::make_unique<ccgost::Hash>(HashFor(c->hashAlg, key.curve));
    c->signer = std::move(key);
    c->hashMode = ContextImpl::HashMode::Sign;
    return CC_OK;
  });
}

// Feeds the running hash of a signature or of a verification.
CC_ENTRY(int32_t, _BufferSignUpdate)(CcContext* ctx, const void* data, int32_t length) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr || c->hashMode == ContextImpl::HashMode::None) return CC_E_CONTEXT;
  if (!ValidLength(data, length)) return CC_E_BAD_ARGUMENT;
  return Guard(CC_E_CONTEXT, [&] {
    c->hash->Update({static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length)});
    return CC_OK;
  });
}

CC_ENTRY(int32_t, _BufferSignFinal)(CcContext* ctx, uint8_t** signature, int32_t* length) {
  if (signature == nullptr || length == nullptr) return CC_E_BAD_ARGUMENT;
  *signature = nullptr;
  *length = 0;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr || c->hashMode != ContextImpl::HashMode::Sign) return CC_E_CONTEXT;
  const std::int32_t rc = Guard(CC_E_KEY_FORMAT, [&] {
    const auto digest = FinishDigest(*c->hash, c->signer.curve);
    const auto sig = ccgost::SignDigest(c->signer.curve, c->signer.privateKey.span(), digest);
    *signature = cc::CopyToBlock(sig);
    *length = static_cast<std::int32_t>(sig.size());
    return CC_OK;
  });
  c->EndHash();
  return rc;
}

CC_ENTRY(int32_t, _BufferVerifyInit)(CcContext* ctx, const char* certificateText) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  c->EndHash();
  return Guard(CC_E_CERT_FORMAT, [&] {
    cc::PublicDocument doc;
    if (const std::int32_t rc = ParseCertificateText(certificateText, doc); rc != CC_OK) return rc;
    if (const std::int32_t rc = UsableFor(doc, cc::kDigitalSignature | cc::kNonRepudiation);
        rc != CC_OK)
      return rc;
    c->hash = std::make_unique<ccgost::Hash>(HashFor(c->hashAlg, doc.curve));
    c->verifyCurve = doc.curve;
    c->verifyKey = std::move(doc.publicKey);
    c->hashMode = ContextImpl::HashMode::Verify;
    return CC_OK;
  });
}

// A signature has the size of the certificate's key (CC_SIGNATURE_SIZE or
// CC_SIGNATURE_SIZE_512 bytes), so the pointer alone delimits it.
CC_ENTRY(int32_t, _BufferVerifyFinal)(CcContext* ctx, const uint8_t* signature) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr || c->hashMode != ContextImpl::HashMode::Verify) return CC_E_CONTEXT;
  if (signature == nullptr) return CC_E_BAD_ARGUMENT;
  const std::int32_t rc = Guard(CC_E_SIGNATURE, [&] {
    const auto digest = FinishDigest(*c->hash, c->verifyCurve);
    return ccgost::VerifyDigest(c->verifyCurve, c->verifyKey, digest,
                                {signature, ccgost::SignatureSize(c->verifyCurve)})
               ? CC_OK
               : CC_E_SIGNATURE;
  });
  c->EndHash();
  return rc;
}

// ---- ciphering ----

CC_ENTRY(int32_t, _BufferCipherInit)
(CcContext* ctx, int32_t direction, const uint8_t* key, uint8_t* iv) {
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  c->EndCipher();
  if (key == nullptr || iv == nullptr || (direction != CC_ENCIPHER && direction != CC_DECIPHER))
    return CC_E_BAD_ARGUMENT;
  return Guard(CC_E_BLOCK_FORMAT, [&] {
    const std::span<const std::uint8_t> k(key, CC_SESSION_KEY_SIZE);
    c->cipher = std::make_unique<cc::DataCipher>(c->cipherKind, direction == CC_ENCIPHER, k, iv,
                                                 c->CarrierOf(k));
    return CC_OK;
  });
}

// A refusal ends the run: the calls that follow it find no cipher.
CC_ENTRY(int32_t, _BufferCipherUpdate)
(CcContext* ctx, const void* input, int32_t length, void* output, int32_t* produced) {
  if (produced == nullptr) return CC_E_BAD_ARGUMENT;
  *produced = 0;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr || !c->cipher) return CC_E_CONTEXT;
  if (!ValidLength(input, length) || output == nullptr) return CC_E_BAD_ARGUMENT;
  const std::int32_t rc = Guard(CC_E_BLOCK_FORMAT, [&] {
    const std::span<const std::uint8_t> in(static_cast<const std::uint8_t*>(input),
                                           static_cast<std::size_t>(length));
    std::size_t n = 0;
    const std::int32_t result = c->cipher->Update(in, static_cast<std::uint8_t*>(output), n);
    *produced = static_cast<std::int32_t>(n);
    return result;
  });
  if (rc != CC_OK) c->EndCipher();
  return rc;
}

CC_ENTRY(int32_t, _BufferCipherFinal)(CcContext* ctx, void* output, int32_t* produced) {
  if (produced == nullptr) return CC_E_BAD_ARGUMENT;
  *produced = 0;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr || !c->cipher) return CC_E_CONTEXT;
  if (output == nullptr) return CC_E_BAD_ARGUMENT;
  const std::int32_t rc = Guard(CC_E_BLOCK_FORMAT, [&] {
    std::size_t n = 0;
    const std::int32_t result = c->cipher->Final(static_cast<std::uint8_t*>(output), n);
    *produced = static_cast<std::int32_t>(n);
    return result;
  });
  c->EndCipher();
  return rc;
}

// ---- session keys ----

CC_ENTRY(int32_t, _SessionKeyEncrypt)
(CcContext* ctx, const char* certificateText, uint8_t** sessionKey, int32_t* sessionKeyLength,
 uint8_t** encipheredKey, int32_t* encipheredKeyLength) {
  if (!sessionKey || !sessionKeyLength || !encipheredKey || !encipheredKeyLength)
    return CC_E_BAD_ARGUMENT;
  *sessionKey = *encipheredKey = nullptr;
  *sessionKeyLength = *encipheredKeyLength = 0;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  return Guard(CC_E_PUBLIC_INTEGRITY, [&] {
    cc::PublicDocument recipient;
    if (const std::int32_t rc = ParseCertificateText(certificateText, recipient); rc != CC_OK)
      return rc;
    if (recipient.kind != cc::DocKind::Certificate) return CC_E_CERT_FORMAT;
    if (const std::int32_t rc = UsableFor(recipient, cc::kKeyEncipherment | cc::kKeyAgreement);
        rc != CC_OK)
      return rc;
    ccgost::SecureBytes key;
    cc::EncipheredKey blob;
    cc::EncipherSessionKey(recipient, key, blob);
    BlockPtr<std::uint8_t> keyBlock(cc::CopyToBlock(key.span()));
    BlockPtr<std::uint8_t> blobBlock(cc::CopyToBlock(blob));
    c->carriedKey = {};
    c->carrier.assign(blob.begin(), blob.end());
    c->carriedKey = std::move(key);
    *sessionKey = keyBlock.release();
    *sessionKeyLength = CC_SESSION_KEY_SIZE;
    *encipheredKey = blobBlock.release();
    *encipheredKeyLength = static_cast<std::int32_t>(blob.size());
    return CC_OK;
  });
}

CC_ENTRY(int32_t, _SessionKeyDecrypt)
(CcContext* ctx, const char* secretKeyText, uint8_t** sessionKey, int32_t* sessionKeyLength,
 const uint8_t* encipheredKey) {
  if (!sessionKey || !sessionKeyLength || !encipheredKey) return CC_E_BAD_ARGUMENT;
  *sessionKey = nullptr;
  *sessionKeyLength = 0;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  return Guard(CC_E_DECRYPT, [&] {
    cc::SecretKey key;
    if (const std::int32_t rc = ParseSecretText(*c, secretKeyText, key); rc != CC_OK) return rc;
    ccgost::SecureBytes session;
    std::size_t blockSize = 0;
    if (const std::int32_t rc = cc::DecipherSessionKey(key, encipheredKey, session, blockSize);
        rc != CC_OK)
      return rc;
    // The carrier is the whole block, as DecipherSessionKey read it: its size is that of the
    // recipient's key (116 or 180 bytes), exactly what _SessionKeyEncrypt sealed the data with.
    c->carriedKey = {};
    c->carrier.assign(encipheredKey, encipheredKey + blockSize);
    BlockPtr<std::uint8_t> keyBlock(cc::CopyToBlock(session.span()));
    const auto length = static_cast<std::int32_t>(session.size());
    c->carriedKey = std::move(session);
    *sessionKey = keyBlock.release();
    *sessionKeyLength = length;
    return CC_OK;
  });
}

// ---- releasing returned memory (every block is wiped before it is released) ----

CC_ENTRY(int32_t, _BufferFree)(void* buffer) {
  return buffer == nullptr || cc::FreeBlock(buffer) ? CC_OK : CC_E_BAD_ARGUMENT;
}

// The block records its own size; the whole block is wiped whatever `length` says.
CC_ENTRY(int32_t, _BufferCleanFree)(void* buffer, int32_t /*length*/) {
  return buffer == nullptr || cc::FreeBlock(buffer) ? CC_OK : CC_E_BAD_ARGUMENT;
}

CC_ENTRY(int32_t, __BufferCleanFree)(void* buffer) {
  return buffer == nullptr || cc::FreeBlock(buffer) ? CC_OK : CC_E_BAD_ARGUMENT;
}

// ---- key generation ----

CC_ENTRY(int32_t, _NewKeys)
(CcContext* ctx, const char* uid, int32_t keyNumber, char** secretKeyText, char** requestText,
 int32_t /*reserved1*/, int32_t /*reserved2*/) {
  if (secretKeyText == nullptr || requestText == nullptr) return CC_E_BAD_ARGUMENT;
  *secretKeyText = *requestText = nullptr;
  ContextImpl* c = cc::ContextOf(ctx);
  if (c == nullptr) return CC_E_CONTEXT;
  const auto name = cc::BoundedText(uid, CC_MAX_UID);
  if (!name || !cc::IsValidUid(*name) || keyNumber < 0) return CC_E_BAD_ARGUMENT;
  if (const std::int32_t rc = CheckPksSettings(c->pksFirst, c->pksSecond); rc != CC_OK) return rc;
  return Guard(CC_E_RANDOM, [&] {
    ccgost::Curve curve{};
    if (const std::int32_t rc = ChooseCurve(c->pksFirst, c->pksSecond, CurrentCurve(*c), curve);
        rc != CC_OK)
      return rc;
    const cc::Minutes now = cc::NowMinutes();
    const cc::Minutes until = now + std::int64_t{c->periodDays} * cc::kMinutesPerDay;
    const cc::NewKeys keys = cc::GenerateKeys(*name, keyNumber, curve, now, until);
    cc::SecretText secret;
    keys.secret.ToText(secret);
    BlockPtr<char> secretBlock(cc::TextToBlock(secret.str()));
    BlockPtr<char> requestBlock(cc::TextToBlock(keys.request.Text()));
    *secretKeyText = secretBlock.release();
    *requestText = requestBlock.release();
    return CC_OK;
  });
}

// ---- optional entry points ----

#if !defined(CC_WITHOUT_CONCURRENCY_DECLARATION) && !defined(CC_CONTRACT_ONLY)
// Every entry point may run on several threads at once as long as each context is used by one
// thread at a time: a context holds all of an operation's state; the generator is libgcrypt's,
// which locks its own pool; libgcrypt is set up once (std::call_once) with its curve tables built
// then; the memos of passed checks take their own lock; the random-state file and every other
// file is written under a name of its own and renamed into place.
CC_ENTRY(int32_t, _ConcurrentContexts)(void) {
  return CC_CONCURRENT_CONTEXTS;
}
#endif

#ifndef CC_CONTRACT_ONLY
// Whether a certificate is an authority's: it says so (basicConstraints cA) and, where it carries
// keyUsage, that usage allows certificate signing.
CC_ENTRY(int32_t, _CertIsAuthority)(CcContext* ctx, const char* text) {
  if (cc::ContextOf(ctx) == nullptr) return CC_E_CONTEXT;
  return Guard(CC_E_CERT_FORMAT, [&] {
    cc::PublicDocument doc;
    if (const std::int32_t rc = ParseCertificateText(text, doc); rc != CC_OK) return rc;
    if (doc.kind != cc::DocKind::Certificate) return CC_E_UNCERTIFIED;
    return doc.authority && doc.Allows(cc::kKeyCertSign) ? CC_AUTHORITY_YES : CC_AUTHORITY_NO;
  });
}
#endif

// ---- entry points this library does not offer: they answer CC_E_NOT_SUPPORTED ----

CC_ENTRY(int32_t, _RandReadFile)(const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetPKSAlgorithm)(CcContext*, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetCurrentDir)(CcContext*, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetArchivePath)(CcContext*, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetSignFlags)(CcContext*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetVerifyFlags)(CcContext*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetCipherFlags)(CcContext*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SetDebug)(CcContext*, int32_t, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _KeysGeneration)(CcContext*, const char*, int32_t, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FileSign)(CcContext*, const char*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FileVerify)(CcContext*, const char*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _InitSubjectList)(void) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FreeSubjectList)(void*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _AddSubject)(void*, const char*, const char*, int32_t, int32_t, void*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FileEncipher)(CcContext*, void*, const char*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FileDecipher)(CcContext*, const char*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FileDeleteSignatures)(CcContext*, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _GetArchCertPath)(CcContext*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _GetInfoPath)(CcContext*, const char*) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _GetCAPath)(CcContext*, const char*, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _CertInfo)(CcContext*, const char*, CcCertInfo**) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _InfoInfo)(CcContext*, const char*, void**) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, __InfoInfo)(CcContext*, const char*, void**) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _SecInfo)(CcContext*, const char*, CcSecInfo**) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _FreeInfoInfo)(void*) {
  return CC_E_NOT_SUPPORTED;
}
#ifndef CC_WITHOUT_LIBRARY_VERSION
CC_ENTRY(int32_t, _GetLibraryVersion)(void) {
  return CC_E_NOT_SUPPORTED;
}
#endif
CC_ENTRY(int32_t, _NewCertificate)
(CcContext*, const char*, const char*, const char*, int32_t, int32_t, int32_t, char**, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
CC_ENTRY(int32_t, _NewUserInfo)
(CcContext*, const char*, const char*, const char*, const char*, const char*, char**, int32_t) {
  return CC_E_NOT_SUPPORTED;
}
