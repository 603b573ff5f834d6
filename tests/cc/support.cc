#include "support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "platform/platform.h"
#include "util.h"

namespace cctest {

namespace {

struct Loaded {
  void* handle = nullptr;
  CcEntryTable table{};
};

Loaded LoadLibrary() {
  Loaded l;
  l.handle = vornak2::platform::LoadModule(CC_LIBRARY_PATH);
  if (l.handle == nullptr) {
    std::fprintf(stderr, "cannot load %s\n", CC_LIBRARY_PATH);
    std::abort();
  }
  // Every slot is resolved by the name the library exports it under (the decorated name on
  // Windows, the POSIX name derived from it elsewhere).
#define CC_RESOLVE(num, name, bytes, ret, params)                                        \
  l.table.name = reinterpret_cast<CcFn##name>(                                           \
      vornak2::platform::FindSymbol(l.handle, cc_abi::kExportedNames[num - 1].c_str())); \
  if (l.table.name == nullptr) {                                                         \
    std::fprintf(stderr, "missing entry point %s\n", cc_abi::kDecoratedNames[num - 1]);  \
    std::abort();                                                                        \
  }
  CC_ENTRY_POINTS(CC_RESOLVE)
#undef CC_RESOLVE
  return l;
}

const Loaded& Library() {
  static const Loaded loaded = LoadLibrary();
  return loaded;
}

thread_local std::string authorityText;

}  // namespace

const CcEntryTable& Cc() {
  return Library().table;
}
void* CcHandle() {
  return Library().handle;
}

Ctx NewCtx(const char* cipher, const char* hash) {
  Ctx ctx(Cc()._InitCryptCtx());
  EXPECT_NE(ctx, nullptr);
  if (ctx && *cipher) {
    EXPECT_EQ(Cc()._SetCipherAlgorithm(ctx.get(), cipher), 0);
  }
  if (ctx && *hash) {
    EXPECT_EQ(Cc()._SetHashAlgorithm(ctx.get(), hash), 0);
  }
  return ctx;
}

void SetAuthorityText(std::string text) {
  authorityText = std::move(text);
}

const char* AuthorityLookup(const char* name, std::int32_t number) {
  if (authorityText.empty()) return nullptr;
  cc::PublicDocument doc;
  // A text that does not parse is handed over as it is, for the library to refuse.
  if (cc::ParsePublicDocument(authorityText, doc) == 0 &&
      (doc.uid != name || doc.keyNumber != number))
    return nullptr;
  return authorityText.c_str();
}

User Pki::MakeUser(const std::string& uid, std::int32_t kn, std::int64_t fromMin,
                   std::int64_t toMin, ccgost::Curve curve) const {
  const cc::Minutes now = cc::NowMinutes();
  cc::NewKeys keys = cc::GenerateKeys(uid, kn, curve, now + fromMin, now + toMin);
  User u;
  cc::SecretText secret;
  keys.secret.ToText(secret);
  u.secretText = secret.str();
  u.requestText = keys.request.Text();
  u.certText =
      cc::IssueCertificate(keys.request, authorityKey, authorityCert, now + fromMin, now + toMin)
          .Text();
  return u;
}

const Pki& TestPki() {
  static const Pki pki = [] {
    ccgost::Init();
    Pki p;
    const cc::Minutes now = cc::NowMinutes();
    auto a = cc::GenerateKeys("CA.0", 0, ccgost::Curve::Tc26_256_A, now - 60, now + 60 * 24 * 365);
    p.authorityKey = std::move(a.secret);
    p.authorityCert = cc::SelfSignedCertificate(p.authorityKey);
    p.autText = p.authorityCert.Text();
    auto f = cc::GenerateKeys("CA.0", 0, ccgost::Curve::Tc26_256_A, now - 60, now + 60 * 24 * 365);
    p.forgerKey = std::move(f.secret);
    p.forgerCert = cc::SelfSignedCertificate(p.forgerKey);
    return p;
  }();
  return pki;
}

namespace {
// Without given sizes, the data goes in as the adapter feeds it: chunks of 65 528 bytes.
std::vector<std::size_t> OneChunk(std::size_t total, const std::vector<std::size_t>& chunks) {
  if (!chunks.empty()) return chunks;
  std::vector<std::size_t> out;
  do {
    out.push_back(std::min<std::size_t>(total, 65528));
    total -= out.back();
  } while (total > 0);
  return out;
}
}  // namespace

std::vector<std::uint8_t> SignChunked(CcContext* ctx, const std::string& secretText,
                                      std::span<const std::uint8_t> data,
                                      const std::vector<std::size_t>& chunks) {
  EXPECT_EQ(Cc()._BufferSignInit(ctx, secretText.c_str()), 0);
  std::size_t pos = 0;
  for (std::size_t n : OneChunk(data.size(), chunks)) {
    EXPECT_EQ(Cc()._BufferSignUpdate(ctx, data.data() + pos, static_cast<std::int32_t>(n)), 0);
    pos += n;
  }
  EXPECT_EQ(pos, data.size());
  std::uint8_t* sig = nullptr;
  std::int32_t len = 0;
  EXPECT_EQ(Cc()._BufferSignFinal(ctx, &sig, &len), 0);
  Buffer guard(sig);
  return sig ? std::vector<std::uint8_t>(sig, sig + len) : std::vector<std::uint8_t>{};
}

std::int32_t VerifyChunked(CcContext* ctx, const std::string& certText,
                           std::span<const std::uint8_t> data, const std::uint8_t* signature,
                           const std::vector<std::size_t>& chunks) {
  if (const std::int32_t rc = Cc()._BufferVerifyInit(ctx, certText.c_str()); rc != 0) return rc;
  std::size_t pos = 0;
  for (std::size_t n : OneChunk(data.size(), chunks)) {
    if (const std::int32_t rc =
            Cc()._BufferSignUpdate(ctx, data.data() + pos, static_cast<std::int32_t>(n));
        rc != 0)
      return rc;
    pos += n;
  }
  return Cc()._BufferVerifyFinal(ctx, signature);
}

std::vector<std::size_t> RandomSplit(std::size_t total, std::mt19937& rng) {
  std::vector<std::size_t> out;
  while (total > 0) {
    const std::size_t limit = std::min<std::size_t>(total, rng() % 4 == 0 ? CC_MAX_CHUNK : 97);
    const std::size_t n = std::uniform_int_distribution<std::size_t>(0, limit)(rng);
    out.push_back(n);
    total -= n;
  }
  if (out.empty()) out.push_back(0);
  return out;
}

std::int32_t CipherChunked(CcContext* ctx, int direction, const std::uint8_t* key, std::uint8_t* iv,
                           std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out,
                           const std::vector<std::size_t>& chunks) {
  out.assign(in.size() + 4096, 0);
  if (const std::int32_t rc = Cc()._BufferCipherInit(ctx, direction, key, iv); rc != 0) return rc;
  std::size_t pos = 0, written = 0;
  for (std::size_t n : OneChunk(in.size(), chunks)) {
    std::int32_t produced = -1;
    const std::int32_t rc = Cc()._BufferCipherUpdate(
        ctx, in.data() + pos, static_cast<std::int32_t>(n), out.data() + written, &produced);
    if (rc != 0) return rc;
    pos += n;
    written += static_cast<std::size_t>(produced);
  }
  std::int32_t produced = -1;
  const std::int32_t rc = Cc()._BufferCipherFinal(ctx, out.data() + written, &produced);
  if (rc != 0) return rc;
  out.resize(written + static_cast<std::size_t>(produced));
  return 0;
}

std::vector<std::uint8_t> RandomBytes(std::size_t n, std::mt19937& rng) {
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

TempDir::TempDir() {
  // A name nobody else holds: create_directory refuses one that exists.
  static std::mt19937_64 rng(std::random_device{}());
  static std::mutex lock;
  std::lock_guard guard(lock);
  const auto base = std::filesystem::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const auto dir = base / ("cc-test-" + std::to_string(rng()));
    std::error_code ec;
    if (std::filesystem::create_directory(dir, ec)) {
      path_ = dir.string();
      return;
    }
  }
  std::abort();
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::string Quote(const std::string& s) {
  return "'" + s + "'";
}

std::string Slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>()};
}

void Spill(const std::string& path, const std::string& data) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

}  // namespace cctest
