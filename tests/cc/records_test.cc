// Certificate and secret-key records, key generation and the random-state file through the
// entry points.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstring>

#include "support.h"
#include "util.h"

namespace cctest {
namespace {

constexpr std::int64_t kDay = 24 * 60;

// Parses a text with the test authority's lookup in place; the record or null and the result.
std::pair<CertInfo, std::int32_t> ParseCert(const std::string& text, bool withLookup = true,
                                            const std::string& aut = TestPki().autText) {
  Ctx ctx = NewCtx();
  if (withLookup) ctx->authorityLookup = &AuthorityLookup;
  SetAuthorityText(aut);
  CcCertInfo* raw = nullptr;
  const std::int32_t rc = Cc().__CertInfo(ctx.get(), text.c_str(), &raw);
  SetAuthorityText("");
  return {CertInfo(raw), rc};
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

TEST(CcCertInfo, RecordFieldsOfAValidCertificate) {
  const Pki& pki = TestPki();
  const User u = pki.MakeUser("AB.12", 7);
  auto [info, rc] = ParseCert(u.certText);
  ASSERT_EQ(rc, 0);
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->status, 0);
  EXPECT_EQ(info->keyNumber, 7);
  EXPECT_EQ(info->kind, CC_DOC_CERTIFICATE);
  EXPECT_STREQ(info->uid, "AB.12");
  EXPECT_STREQ(info->issuerName, "CA.0");
  EXPECT_EQ(info->issuerKeyNumber, 0);
  EXPECT_EQ(info->curve, CC_CURVE_TC26_256_A);
  EXPECT_EQ(std::strlen(info->publicKey), 128u);
  // "dd.mm.yyyy hh:mm"
  for (const char* date : {info->validFrom, info->validTo}) {
    ASSERT_EQ(std::strlen(date), 16u);
    EXPECT_TRUE(cc::ParseDate(date).has_value()) << date;
  }
  EXPECT_LE(u.certText.size(), std::size_t{CC_MAX_TEXT});
  EXPECT_LE(u.secretText.size(), std::size_t{CC_MAX_TEXT});
  EXPECT_LE(u.requestText.size(), std::size_t{CC_MAX_TEXT});
}

TEST(CcCertInfo, StatusRules) {
  const Pki& pki = TestPki();
  const User valid = pki.MakeUser("H.0", 0);
  const User expired = pki.MakeUser("H.0", 0, -10 * kDay, -kDay);
  const User notYet = pki.MakeUser("H.0", 0, kDay, 10 * kDay);
  // Signed by a forger's key under the authority's name and number.
  cc::PublicDocument req;
  ASSERT_EQ(cc::ParsePublicDocument(valid.requestText, req), 0);
  const cc::Minutes now = cc::NowMinutes();
  const std::string forged =
      cc::IssueCertificate(req, pki.forgerKey, pki.authorityCert, now - 60, now + kDay).Text();
  // An authority certificate that is not self-signed: the forger's signature on the real one.
  cc::PublicDocument brokenAut = pki.authorityCert;
  brokenAut.signature = pki.forgerCert.signature;
  // An authority certificate of another number.
  cc::PublicDocument otherAut = pki.authorityCert;
  otherAut.keyNumber = 5;

  struct Case {
    const char* name;
    std::string text;
    bool lookup;
    std::string aut;
    std::int32_t status;
  } const cases[] = {
      {"valid", valid.certText, true, pki.autText, 0},
      {"no lookup function", valid.certText, false, pki.autText, CC_E_AUTHORITY_NOT_FOUND},
      {"unknown issuer", valid.certText, true, "", CC_E_AUTHORITY_NOT_FOUND},
      {"authority of another number", valid.certText, true, otherAut.Text(),
       CC_E_AUTHORITY_NOT_FOUND},
      {"unreadable authority", valid.certText, true, "VORNAK2-CC CERTIFICATE 1\nUID: CA.0\n",
       CC_E_AUTHORITY_FORMAT},
      {"authority not self-signed", valid.certText, true, brokenAut.Text(), CC_E_AUTHORITY_DAMAGED},
      {"forged issuer signature", forged, true, pki.autText, CC_E_ISSUER_SIGNATURE},
      {"changed owner", Replace(valid.certText, "UID: H.0", "UID: H.1"), true, pki.autText,
       CC_E_ISSUER_SIGNATURE},
      {"expired", expired.certText, true, pki.autText, CC_E_CERT_EXPIRED},
      {"not yet valid", notYet.certText, true, pki.autText, CC_E_NOT_YET_VALID},
      {"request", valid.requestText, true, pki.autText, CC_E_UNCERTIFIED},
      {"request with a changed key number",
       Replace(valid.requestText, "Key-Number: 0", "Key-Number: 9"), true, pki.autText,
       CC_E_PUBLIC_INTEGRITY},
      {"CRLF line ends", Replace(Replace(valid.certText, "\nKey", "\r\nKey"), "\nSig", "\r\nSig"),
       true, pki.autText, 0},
  };
  for (const auto& c : cases) {
    auto [info, rc] = ParseCert(c.text, c.lookup, c.aut);
    ASSERT_EQ(rc, 0) << c.name;
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_EQ(info->status, c.status) << c.name;
  }
}

TEST(CcCertInfo, UnparseableTextGivesNoRecord) {
  const User u = TestPki().MakeUser("H.0", 0);
  struct Case {
    const char* name;
    std::string text;
    std::int32_t rc;
  } const cases[] = {
      {"empty", "", CC_E_CERT_HEADER},
      {"other header", "HELLO\nUID: H.0\n", CC_E_CERT_HEADER},
      {"missing field", Replace(u.certText, "Curve: tc26-256-A\n", ""), CC_E_CERT_FORMAT},
      {"unknown field", u.certText + "Extra: 1\n", CC_E_CERT_FORMAT},
      {"repeated field", u.certText + "UID: H.0\n", CC_E_CERT_FORMAT},
      {"short key", Replace(u.certText, "Public-Key: ", "Public-Key: 00"), CC_E_CERT_FORMAT},
      {"bad date", Replace(u.certText, "Not-After: ", "Not-After: 3"), CC_E_CERT_FORMAT},
      {"bad key number", Replace(u.certText, "Key-Number: 0", "Key-Number: -1"), CC_E_CERT_FORMAT},
      {"line without colon", Replace(u.certText, "Curve: ", "Curve "), CC_E_CERT_FORMAT},
      {"too long", u.certText + std::string(3000, '\n'), CC_E_CERT_FORMAT},
      {"secret key", u.secretText, CC_E_CERT_HEADER},
  };
  for (const auto& c : cases) {
    auto [info, rc] = ParseCert(c.text);
    EXPECT_EQ(rc, c.rc) << c.name;
    EXPECT_EQ(info, nullptr) << c.name;
  }
  Ctx ctx = NewCtx();
  CcCertInfo* raw = reinterpret_cast<CcCertInfo*>(&ctx);
  EXPECT_EQ(Cc().__CertInfo(ctx.get(), nullptr, &raw), CC_E_CERT_READ);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(Cc().__CertInfo(ctx.get(), u.certText.c_str(), nullptr), CC_E_BAD_ARGUMENT);
}

TEST(CcSecInfo, StatusOfSecretKeys) {
  const Pki& pki = TestPki();
  const User valid = pki.MakeUser("H.0", 3);
  const User expired = pki.MakeUser("H.0", 3, -10 * kDay, -kDay);
  const User notYet = pki.MakeUser("H.0", 3, kDay, 2 * kDay);
  std::string flippedKey = valid.secretText;
  const std::size_t at = flippedKey.find("Private-Key: ") + 20;
  flippedKey[at] = flippedKey[at] == 'A' ? 'B' : 'A';
  struct Case {
    const char* name;
    std::string text;
    std::int32_t status;
    std::int32_t keyNumber;  // as far as it can be read
  } const cases[] = {
      {"valid", valid.secretText, 0, 3},
      {"expired", expired.secretText, CC_E_SECRET_EXPIRED, 3},
      {"not yet valid", notYet.secretText, CC_E_SECRET_NOT_YET_VALID, 3},
      {"changed private key", flippedKey, CC_E_SECRET_INTEGRITY, 3},
      {"changed key number", Replace(valid.secretText, "Key-Number: 3", "Key-Number: 4"),
       CC_E_SECRET_INTEGRITY, 4},
      {"check missing", valid.secretText.substr(0, valid.secretText.find("Check:")),
       CC_E_SECRET_INTEGRITY, 3},
      {"truncated", valid.secretText.substr(0, 60), CC_E_SECRET_INTEGRITY, 3},
  };
  for (const auto& c : cases) {
    Ctx ctx = NewCtx();
    CcSecInfo* raw = nullptr;
    ASSERT_EQ(Cc().__SecInfo(ctx.get(), c.text.c_str(), &raw), 0) << c.name;
    SecInfo info(raw);
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_EQ(info->status, c.status) << c.name;
    EXPECT_STREQ(info->uid, "H.0") << c.name;
    EXPECT_EQ(info->keyNumber, c.keyNumber) << c.name;
  }
  // A damaged key is refused wherever it is used.
  Ctx ctx = NewCtx();
  EXPECT_EQ(Cc()._BufferSignInit(ctx.get(), flippedKey.c_str()), CC_E_SECRET_INTEGRITY);
  std::uint8_t* key = nullptr;
  std::int32_t len = 0;
  const std::uint8_t blob[CC_ENCIPHERED_KEY_SIZE] = {};
  EXPECT_EQ(Cc()._SessionKeyDecrypt(ctx.get(), flippedKey.c_str(), &key, &len, blob),
            CC_E_SECRET_INTEGRITY);
  // Not a secret key at all: no record.
  CcSecInfo* raw = nullptr;
  EXPECT_EQ(Cc().__SecInfo(ctx.get(), valid.certText.c_str(), &raw), CC_E_SECRET_FORMAT);
  EXPECT_EQ(raw, nullptr);
  EXPECT_EQ(Cc().__SecInfo(ctx.get(), nullptr, &raw), CC_E_SECRET_FORMAT);
}

// Generates keys through the entry points; returns the secret-key and request texts.
std::int32_t NewKeys(CcContext* ctx, const char* uid, std::int32_t kn, std::string& secret,
                     std::string& request) {
  char *s = nullptr, *r = nullptr;
  const std::int32_t rc = Cc()._NewKeys(ctx, uid, kn, &s, &r, 0, 0);
  Text sg(s), rg(r);
  secret = s ? s : "";
  request = r ? r : "";
  if (rc != 0) {
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(r, nullptr);
  }
  return rc;
}

TEST(CcNewKeys, GeneratesAKeyPairThatSignsAndIsCertified) {
  Ctx ctx = NewCtx();
  std::string secret, request;
  ASSERT_EQ(NewKeys(ctx.get(), "Z.42", 2, secret, request), 0);
  EXPECT_LE(secret.size(), std::size_t{CC_MAX_TEXT});
  EXPECT_LE(request.size(), std::size_t{CC_MAX_TEXT});
  CcSecInfo* rawSec = nullptr;
  ASSERT_EQ(Cc().__SecInfo(ctx.get(), secret.c_str(), &rawSec), 0);
  SecInfo sec(rawSec);
  EXPECT_EQ(sec->status, 0);
  EXPECT_EQ(sec->keyNumber, 2);
  // The default period.
  EXPECT_EQ(*cc::ParseDate(sec->validTo) - *cc::ParseDate(sec->validFrom),
            CC_DEFAULT_PERIOD_DAYS * kDay);

  auto [req, rc] = ParseCert(request);
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(req->kind, CC_DOC_REQUEST);
  EXPECT_EQ(req->status, CC_E_UNCERTIFIED);
  EXPECT_STREQ(req->uid, "Z.42");
  EXPECT_STREQ(req->issuerName, "");

  // The authority certifies the request; the certificate then verifies the new key's signatures.
  cc::PublicDocument reqDoc;
  ASSERT_EQ(cc::ParsePublicDocument(request, reqDoc), 0);
  const Pki& pki = TestPki();
  const std::string cert = cc::IssueCertificate(reqDoc, pki.authorityKey, pki.authorityCert,
                                                reqDoc.notBefore, reqDoc.notAfter)
                               .Text();
  auto [certInfo, crc] = ParseCert(cert);
  ASSERT_EQ(crc, 0);
  EXPECT_EQ(certInfo->status, 0);
  std::mt19937 rng(1);
  const auto data = RandomBytes(77, rng);
  const auto sig = SignChunked(ctx.get(), secret, data);
  EXPECT_EQ(VerifyChunked(ctx.get(), cert, data, sig.data()), 0);
}

TEST(CcNewKeys, HonoursPeriodAndKeySettings) {
  struct Case {
    std::int32_t first, second, period;
    std::int32_t rc;
    std::int32_t curve;
    std::int64_t days;
  } const cases[] = {
      {0, 0, 0, 0, CC_CURVE_TC26_256_A, CC_DEFAULT_PERIOD_DAYS},
      {1024, 256, 730, 0, CC_CURVE_TC26_256_A, 730},  // the adapter's defaults
      {1, 256, 10, 0, CC_CURVE_CRYPTOPRO_A, 10},
      {0, 256, 65535, 0, CC_CURVE_TC26_256_A, 65535},
      {0, 256, -25536, 0, CC_CURVE_TC26_256_A, 40000},  // 40000 widened as a signed 16-bit value
      {2, 256, 30, CC_E_KEY_FORMAT, 0, 0},
      {-1, 256, 30, CC_E_KEY_FORMAT, 0, 0},
      {0, 512, 30, CC_E_UNKNOWN_PKS, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(c.second) + "/" +
                 std::to_string(c.period));
    Ctx ctx = NewCtx();
    EXPECT_EQ(Cc()._SetPKSParameters(ctx.get(), c.first, c.second), c.rc);
    EXPECT_EQ(Cc()._SetPeriod(ctx.get(), c.period), 0);
    std::string secret, request;
    ASSERT_EQ(NewKeys(ctx.get(), "P.1", 0, secret, request), c.rc);
    if (c.rc != 0) continue;
    CcSecInfo* raw = nullptr;
    ASSERT_EQ(Cc().__SecInfo(ctx.get(), secret.c_str(), &raw), 0);
    SecInfo sec(raw);
    EXPECT_EQ(sec->status, 0);
    EXPECT_EQ(sec->curve, c.curve);
    EXPECT_EQ(*cc::ParseDate(sec->validTo) - *cc::ParseDate(sec->validFrom), c.days * kDay);
  }
  Ctx ctx = NewCtx();
  EXPECT_EQ(Cc()._SetPeriod(ctx.get(), -32769), CC_E_BAD_ARGUMENT);
  EXPECT_EQ(Cc()._SetPeriod(ctx.get(), 65536), CC_E_BAD_ARGUMENT);
  std::string secret, request;
  for (const char* uid : {"", "with blank.1", "a/b.1", "0123456789012345678901234567890123"})
    EXPECT_EQ(NewKeys(ctx.get(), uid, 0, secret, request), CC_E_BAD_ARGUMENT) << uid;
  EXPECT_EQ(NewKeys(ctx.get(), "H.0", -1, secret, request), CC_E_BAD_ARGUMENT);
  EXPECT_EQ(Cc()._NewKeys(ctx.get(), "H.0", 0, nullptr, nullptr, 0, 0), CC_E_BAD_ARGUMENT);
}

TEST(CcRandom, GeneratorAndStateFile) {
  ASSERT_EQ(Cc()._InitRand(), 0);
  const char seed[] = "seed material";
  EXPECT_EQ(Cc()._RandSeed(seed, sizeof seed), 0);
  EXPECT_EQ(Cc()._RandSeed(nullptr, 0), 0);
  const std::vector<std::uint8_t> pool(1024, 0x5A);  // the adapter seeds 1024 bytes at a time
  EXPECT_EQ(Cc()._RandSeed(pool.data(), 1024), 0);
  EXPECT_EQ(Cc()._RandSeed(nullptr, 4), CC_E_BAD_ARGUMENT);
  std::uint8_t a[32] = {}, b[32] = {};
  EXPECT_EQ(Cc()._GetRandom(a, 32), 0);
  EXPECT_EQ(Cc()._GetRandom(b, 32), 0);
  EXPECT_NE(0, std::memcmp(a, b, 32));
  EXPECT_LT(Cc()._GetRandom(nullptr, 8), 0);
  EXPECT_LT(Cc()._GetRandom(a, -1), 0);

  TempDir dir;
  const std::string path = dir.path() + "/@rand";
  ASSERT_EQ(Cc()._RandWriteFile(path.c_str()), 0);
  const std::string first = ReadFile(path);
  // On Windows owner-only access is an access list, which the mode does not show.
#ifndef _WIN32
  struct stat st {};
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
#endif
  EXPECT_GT(first.size(), 100u);
  EXPECT_LE(first.size(), std::size_t{CC_MAX_TEXT});
  ASSERT_EQ(Cc()._RandWriteFile(path.c_str()), 0);
  EXPECT_NE(ReadFile(path), first);
  // Output handed out before is not in the file.
  EXPECT_EQ(first.find(cc::HexEncode(a)), std::string::npos);
  EXPECT_LT(Cc()._RandWriteFile((dir.path() + "/missing/dir/@rand").c_str()), 0);
  EXPECT_LT(Cc()._RandWriteFile(nullptr), 0);
  EXPECT_EQ(Cc()._FreeRand(), 0);
}

}  // namespace
}  // namespace cctest
