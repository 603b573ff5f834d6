// Certificate and secret-key records, key generation and the random-state file through the
// entry points.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>

#include "der.h"
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

using Bytes = std::vector<std::uint8_t>;

// A PEM file whose DER is changed by `change`, armoured again under the same label.
template <typename F>
std::string ChangeDer(const std::string& pem, F change) {
  auto block = cc::der::FromPem(pem);
  EXPECT_TRUE(block && block->ok);
  if (!block) return pem;
  change(block->der);
  return cc::der::ToPem(block->label, block->der);
}

// The DER with the first occurrence of `from` replaced by `to` (of the same length).
std::string PatchDer(const std::string& pem, const Bytes& from, const Bytes& to) {
  return ChangeDer(pem, [&](Bytes& der) {
    const auto at = std::search(der.begin(), der.end(), from.begin(), from.end());
    EXPECT_NE(at, der.end());
    if (at != der.end()) std::copy(to.begin(), to.end(), at);
  });
}

// A document with changed fields under its old signature.
template <typename F>
std::string Altered(const std::string& pem, F change) {
  cc::PublicDocument doc;
  EXPECT_EQ(cc::ParsePublicDocument(pem, doc), 0);
  change(doc);
  doc.Encode();
  return doc.Text();
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
  const std::string brokenAut =
      Altered(pki.autText, [&](cc::PublicDocument& d) { d.signature = pki.forgerCert.signature; });
  // An authority certificate of another number.
  const std::string otherAut = Altered(pki.autText, [](cc::PublicDocument& d) {
    d.keyNumber = 5;
    d.subjectName.clear();
  });
  // The authority's certificate, self-signed, but no authority certificate (no cA).
  cc::PublicDocument endEntity = pki.authorityCert;
  endEntity.authority = false;
  cc::SignDocument(endEntity, pki.authorityKey);
  std::string crlf;
  for (char ch : valid.certText) crlf += ch == '\n' ? std::string("\r\n") : std::string(1, ch);

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
      {"authority of another number", valid.certText, true, otherAut, CC_E_AUTHORITY_NOT_FOUND},
      {"unreadable authority", valid.certText, true, "-----BEGIN CERTIFICATE-----\nMII\n",
       CC_E_AUTHORITY_FORMAT},
      {"authority in the former text format", valid.certText, true,
       "VORNAK2-CC CERTIFICATE 1\nUID: CA.0\n", CC_E_AUTHORITY_FORMAT},
      {"authority certificate without cA", valid.certText, true, endEntity.Text(),
       CC_E_AUTHORITY_FORMAT},
      {"authority not self-signed", valid.certText, true, brokenAut, CC_E_AUTHORITY_DAMAGED},
      {"forged issuer signature", forged, true, pki.autText, CC_E_ISSUER_SIGNATURE},
      {"changed owner",
       Altered(valid.certText,
               [](cc::PublicDocument& d) {
                 d.uid = "H.1";
                 d.subjectName.clear();
               }),
       true, pki.autText, CC_E_ISSUER_SIGNATURE},
      {"expired", expired.certText, true, pki.autText, CC_E_CERT_EXPIRED},
      {"not yet valid", notYet.certText, true, pki.autText, CC_E_NOT_YET_VALID},
      {"request", valid.requestText, true, pki.autText, CC_E_UNCERTIFIED},
      {"request with a changed key number",
       Altered(valid.requestText,
               [](cc::PublicDocument& d) {
                 d.keyNumber = 9;
                 d.subjectName.clear();
               }),
       true, pki.autText, CC_E_PUBLIC_INTEGRITY},
      // keyUsage -> nameConstraints, still critical: the certificate reads, but is unusable
      {"unknown critical extension",
       PatchDer(valid.certText, {0x55, 0x1D, 0x0F}, {0x55, 0x1D, 0x1E}), true, pki.autText,
       CC_E_UNKNOWN_CRITICAL},
      {"CRLF line ends", crlf, true, pki.autText, 0},
      {"text before the PEM block", "Certificate:\n    Data: ...\n" + valid.certText, true,
       pki.autText, 0},
  };
  for (const auto& c : cases) {
    auto [info, rc] = ParseCert(c.text, c.lookup, c.aut);
    ASSERT_EQ(rc, 0) << c.name;
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_EQ(info->status, c.status) << c.name;
  }
}

// An authority's keys by number, for the roll-over lookups below.
std::map<std::pair<std::string, std::int32_t>, std::string>& ChainTexts() {
  static std::map<std::pair<std::string, std::int32_t>, std::string> texts;
  return texts;
}
const char* ChainLookup(const char* name, std::int32_t number) {
  const auto it = ChainTexts().find({name, number});
  return it == ChainTexts().end() ? nullptr : it->second.c_str();
}

// An authority key is trusted through a chain of at most 16 authority certificates up to a
// self-signed one: roll-overs (the same authority's next key) and intermediate authorities alike.
// Never through a loop, a missing or forged link, a link without cA, outside its validity,
// without keyCertSign, or with more intermediate authorities below it than its path length allows
// (roll-overs not counted).
TEST(CcCertInfo, AuthorityChains) {
  const cc::Minutes now = cc::NowMinutes();
  std::map<std::pair<std::string, std::int32_t>, cc::SecretKey> keys;
  auto key = [&](const std::string& uid, std::int32_t n, std::int64_t from = -60,
                 std::int64_t to = 10 * kDay) -> const cc::SecretKey& {
    auto& k = keys[{uid, n}];
    if (k.uid.empty())
      k = cc::GenerateKeys(uid, n, ccgost::Curve::Tc26_256_A, now + from, now + to).secret;
    return k;
  };
  // Key `n` of `uid` certified by key `by` of `issuer`.
  auto certify = [&](const std::string& uid, std::int32_t n, const std::string& issuer,
                     std::int32_t by, bool authority = true,
                     std::optional<std::uint16_t> keyUsage = {}) {
    cc::PublicDocument cert = cc::SelfSignedCertificate(key(uid, n));
    cert.authority = authority;
    cert.keyUsage = keyUsage;
    cert.issuer = issuer;
    cert.issuerKeyNumber = by;
    cert.issuerName.clear();
    cert.authorityKeyId.clear();
    cc::SignDocument(cert, key(issuer, by));
    return cert.Text();
  };
  auto root = [&](const std::string& uid, std::optional<std::int32_t> pathLength = {}) {
    cc::PublicDocument cert = cc::SelfSignedCertificate(key(uid, 0));
    cert.pathLength = pathLength;
    cc::SignDocument(cert, key(uid, 0));
    return cert.Text();
  };
  auto user = [&](const std::string& issuer, std::int32_t by) {
    const cc::NewKeys u =
        cc::GenerateKeys("H.5", 0, ccgost::Curve::Tc26_256_A, now - 60, now + kDay);
    cc::PublicDocument cert = cc::SelfSignedCertificate(key(issuer, by));
    return cc::IssueCertificate(u.request, key(issuer, by), cert, now - 60, now + kDay).Text();
  };
  auto& texts = ChainTexts();
  texts[{"CA.1", 0}] = root("CA.1");
  texts[{"CA.1", 1}] = certify("CA.1", 1, "CA.1", 0);
  texts[{"CA.1", 2}] = certify("CA.1", 2, "CA.1", 1);
  texts[{"CA.9", 0}] = root("CA.9");
  texts[{"CA.1", 3}] = certify("CA.1", 3, "CA.9", 0);  // another trusted authority vouches
  texts[{"CA.1", 5}] = certify("CA.1", 5, "CA.1", 6);  // 5 and 6 vouch for each other
  texts[{"CA.1", 6}] = certify("CA.1", 6, "CA.1", 5);
  texts[{"CA.1", 7}] = certify("CA.1", 7, "CA.1", 8);  // 8 is nowhere
  texts[{"CA.1", 10}] = certify("CA.1", 10, "CA.1", 0, false);
  texts[{"CA.1", 11}] = certify("CA.1", 11, "CA.1", 10);  // through a link without cA
  key("CA.1", 12, -10 * kDay, -kDay);
  texts[{"CA.1", 12}] = certify("CA.1", 12, "CA.1", 0);
  texts[{"CA.1", 13}] = certify("CA.1", 13, "CA.1", 12);  // through an expired link
  // A forger's key under number 1's certificate: the chain below it no longer verifies.
  texts[{"CA.1", 14}] = certify("CA.1", 14, "CA.1", 0);
  keys[{"CA.1", 14}] = key("CA.1", 15);
  texts[{"CA.1", 16}] = certify("CA.1", 16, "CA.1", 14);
  // An authority whose keyUsage does not allow certificates.
  texts[{"KU.1", 0}] = certify("KU.1", 0, "CA.1", 0, true, cc::kDigitalSignature | cc::kCrlSign);
  // Path lengths: a root that allows no intermediate authority, and one that allows one (its
  // roll-over beside it not counted).
  texts[{"RT.0", 0}] = root("RT.0", 0);
  texts[{"IN.0", 0}] = certify("IN.0", 0, "RT.0", 0);
  texts[{"RT.1", 0}] = root("RT.1", 1);
  texts[{"IN.1", 0}] = certify("IN.1", 0, "RT.1", 0);
  texts[{"IN.1", 1}] = certify("IN.1", 1, "IN.1", 0);
  texts[{"IN.2", 0}] = certify("IN.2", 0, "IN.1", 1);
  // A chain of 17 authorities L.0 (self-signed) to L.16.
  texts[{"L.0", 0}] = root("L.0");
  for (int i = 1; i <= 16; ++i)
    texts[{"L." + std::to_string(i), 0}] =
        certify("L." + std::to_string(i), 0, "L." + std::to_string(i - 1), 0);

  const struct {
    const char* issuer;
    std::int32_t by;
    std::int32_t status;
  } cases[] = {{"CA.1", 0, 0},
               {"CA.1", 1, 0},
               {"CA.1", 2, 0},
               {"CA.1", 3, 0},
               {"CA.1", 5, CC_E_AUTHORITY_NOT_PERMITTED},
               {"CA.1", 7, CC_E_AUTHORITY_NOT_FOUND},
               {"CA.1", 11, CC_E_AUTHORITY_FORMAT},
               {"CA.1", 13, CC_E_AUTHORITY_EXPIRED},
               {"CA.1", 16, CC_E_AUTHORITY_DAMAGED},
               {"KU.1", 0, CC_E_AUTHORITY_NOT_PERMITTED},
               {"RT.0", 0, 0},
               {"IN.0", 0, CC_E_AUTHORITY_NOT_PERMITTED},
               {"IN.1", 1, 0},
               {"IN.2", 0, CC_E_AUTHORITY_NOT_PERMITTED},
               {"L.15", 0, 0},  // 16 links
               {"L.16", 0, CC_E_AUTHORITY_NOT_PERMITTED}};
  for (const auto& c : cases) {
    Ctx ctx = NewCtx();
    ctx->authorityLookup = &ChainLookup;
    CcCertInfo* raw = nullptr;
    ASSERT_EQ(Cc().__CertInfo(ctx.get(), user(c.issuer, c.by).c_str(), &raw), 0) << c.issuer;
    const CertInfo info(raw);
    EXPECT_EQ(info->status, c.status) << "issued by " << c.issuer << " key " << c.by;
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
      {"former text format", "VORNAK2-CC CERTIFICATE 1\nUID: H.0\nKey-Number: 0\n",
       CC_E_CERT_HEADER},
      {"no END line", u.certText.substr(0, u.certText.find("-----END")), CC_E_CERT_FORMAT},
      {"bad base64", Replace(u.certText, "\n", "\n*"), CC_E_CERT_FORMAT},
      {"truncated DER", ChangeDer(u.certText, [](Bytes& d) { d.pop_back(); }), CC_E_CERT_FORMAT},
      {"trailing byte", ChangeDer(u.certText, [](Bytes& d) { d.push_back(0); }), CC_E_CERT_FORMAT},
      // id-tc26-signwithdigest-gost3410-12-256 -> ...-512
      {"other signature algorithm",
       PatchDer(u.certText, {0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x03, 0x02},
                {0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x03, 0x03}),
       CC_E_CERT_FORMAT},
      // id-tc26-gost-3410-12-256-paramSetA -> an arc no parameter set has
      {"unknown parameter set",
       PatchDer(u.certText, {0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x01},
                {0x2A, 0x85, 0x03, 0x07, 0x01, 0x02, 0x01, 0x01, 0x09}),
       CC_E_CERT_FORMAT},
      // id-tc26-gost3410-12-256 -> ...-512: a 256-bit parameter set under the 512-bit algorithm
      {"parameter set of the other size",
       PatchDer(u.certText, {0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x01},
                {0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x02}),
       CC_E_CERT_FORMAT},
      {"common name that is no UID",
       Altered(u.certText,
               [](cc::PublicDocument& d) {
                 d.uid = "with blank.1";
                 d.subjectName.clear();
               }),
       CC_E_CERT_FORMAT},
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
  // The scalar follows its OCTET STRING headers; the key number is the PrintableString "3".
  const std::string flippedKey = ChangeDer(valid.secretText, [](Bytes& d) {
    const Bytes head{0x04, 0x22, 0x04, 0x20};
    const auto at = std::search(d.begin(), d.end(), head.begin(), head.end());
    ASSERT_NE(at, d.end());
    at[10] ^= 1;
  });
  // messageDigest, then its SET and OCTET STRING headers: the check value follows.
  const std::string changedCheck = ChangeDer(valid.secretText, [](Bytes& d) {
    const Bytes head{0x09, 0x04, 0x31, 0x22, 0x04, 0x20};
    const auto at = std::search(d.begin(), d.end(), head.begin(), head.end());
    ASSERT_NE(at, d.end());
    at[6] ^= 1;
  });
  struct Case {
    const char* name;
    std::string text;
    std::int32_t status;
    std::int32_t keyNumber;  // as far as it can be read
    const char* uid;
  } const cases[] = {
      {"valid", valid.secretText, 0, 3, "H.0"},
      {"expired", expired.secretText, CC_E_SECRET_EXPIRED, 3, "H.0"},
      {"not yet valid", notYet.secretText, CC_E_SECRET_NOT_YET_VALID, 3, "H.0"},
      {"changed private key", flippedKey, CC_E_SECRET_INTEGRITY, 3, "H.0"},
      {"changed key number",
       PatchDer(valid.secretText, {0x55, 0x04, 0x05, 0x31, 0x03, 0x13, 0x01, '3'},
                {0x55, 0x04, 0x05, 0x31, 0x03, 0x13, 0x01, '4'}),
       CC_E_SECRET_INTEGRITY, 4, "H.0"},
      {"changed check", changedCheck, CC_E_SECRET_INTEGRITY, 3, "H.0"},
  };
  for (const auto& c : cases) {
    Ctx ctx = NewCtx();
    CcSecInfo* raw = nullptr;
    ASSERT_EQ(Cc().__SecInfo(ctx.get(), c.text.c_str(), &raw), 0) << c.name;
    SecInfo info(raw);
    ASSERT_NE(info, nullptr) << c.name;
    EXPECT_EQ(info->status, c.status) << c.name;
    EXPECT_STREQ(info->uid, c.uid) << c.name;
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
  // No secret key that can be read, not even one of ours cut short: its format, no record.
  CcSecInfo* raw = nullptr;
  for (const std::string& other :
       {valid.certText, std::string("VORNAK2-CC SECRET KEY 1\nUID: H.0\nKey-Number: 3\n"),
        ChangeDer(valid.secretText, [](Bytes& d) { d.resize(d.size() - 8); }),
        Replace(valid.secretText, "\n", "\n*")}) {
    EXPECT_EQ(Cc().__SecInfo(ctx.get(), other.c_str(), &raw), CC_E_SECRET_FORMAT);
    EXPECT_EQ(raw, nullptr);
  }
  EXPECT_EQ(Cc().__SecInfo(ctx.get(), nullptr, &raw), CC_E_SECRET_FORMAT);
}

// The private key of one of our key texts in another of the standard forms inside privateKey,
// with or without our attributes. Minimal: an OCTET STRING without the scalar's high zero bytes,
// as GnuTLS writes it.
enum class Form { Bare, OctetString, Minimal, Integer };
std::string Rewrapped(const std::string& pem, Form form, bool attributes) {
  cc::SecretKey key;
  EXPECT_EQ(cc::ParseSecretKey(pem, key), 0);
  const auto be = key.privateKey.span();
  // The scalar's first significant byte.
  const auto significant =
      std::find_if(be.begin(), be.end(), [](std::uint8_t b) { return b != 0; });
  Bytes content;
  if (form == Form::Integer) {
    Bytes value(significant, be.end());
    if (value.empty() || (value[0] & 0x80) != 0) value.insert(value.begin(), 0);
    content = {0x02, static_cast<std::uint8_t>(value.size())};
    content.insert(content.end(), value.begin(), value.end());
  } else {
    const auto first = form == Form::Minimal ? significant : be.begin();
    if (form != Form::Bare)
      content = {cc::der::kTagOctetString, static_cast<std::uint8_t>(be.end() - first)};
    content.insert(content.end(), be.rbegin(), std::make_reverse_iterator(first));
  }
  return ChangeDer(pem, [&](Bytes& der) {
    cc::der::Node n("VORNAK2-PKI.PrivateKeyInfo");
    ASSERT_TRUE(n.Decode(der));
    ASSERT_TRUE(n.Value("privateKey", content));
    if (!attributes) {
      ASSERT_TRUE(n.Omit("attributes"));
    }
    der = n.Encode();
  });
}

// Keys as other tools write them: every form of the private key, with our attributes or without
// them, when they come from the owner's certificate read on the context or, without one, are
// the context's UID, key number 0 and no validity. Each key signs what its certificate verifies.
TEST(CcSecInfo, StandardKeyFormsOfOtherTools) {
  const Pki& pki = TestPki();
  const cc::Minutes now = cc::NowMinutes();
  const User u = pki.MakeUser("H.0", 3, -kDay, 10 * kDay, ccgost::Curve::CryptoPro_B);
  // The owner's certificate names key number 8 and its own validity, so that its fields are
  // told from the key's.
  cc::PublicDocument request;
  ASSERT_EQ(cc::ParsePublicDocument(u.requestText, request), 0);
  request.keyNumber = 8;
  request.subjectName.clear();
  const std::string cert = cc::IssueCertificate(request, pki.authorityKey, pki.authorityCert,
                                                now - 2 * kDay, now + 5 * kDay)
                               .Text();
  // A scalar of 30 significant bytes: its INTEGER form is exactly as long as a bare key, so only
  // the certificate tells which of the two the tool meant.
  cc::SecretKey shortKey;
  shortKey.uid = "S.1";
  shortKey.notBefore = now - kDay;
  shortKey.notAfter = now + kDay;
  shortKey.privateKey = ccgost::SecureBytes(32);
  std::mt19937 rng(9);
  for (std::size_t i = 3; i < 32; ++i)
    shortKey.privateKey.data()[i] = static_cast<std::uint8_t>(rng());
  shortKey.privateKey.data()[2] = 0x41;
  shortKey.publicKey = *ccgost::PublicFromPrivate(shortKey.curve, shortKey.privateKey.span());
  cc::PublicDocument shortRequest;
  shortRequest.kind = cc::DocKind::Request;
  shortRequest.uid = "S.1";
  shortRequest.curve = shortKey.curve;
  shortRequest.publicKey = shortKey.publicKey;
  cc::SignDocument(shortRequest, shortKey);
  const std::string shortCert = cc::IssueCertificate(shortRequest, pki.authorityKey,
                                                     pki.authorityCert, now - kDay, now + kDay)
                                    .Text();
  cc::SecretText shortText;
  shortKey.ToText(shortText);

  struct Case {
    const char* name;
    std::string key;
    const std::string* owner;  // the certificate read on the context first, if any
    const char* uid;
    std::int32_t keyNumber;
    bool dates;  // from the key or the certificate
    std::int32_t curve;
  } const cases[] = {
      {"ours", u.secretText, &cert, "H.0", 3, true, CC_CURVE_CRYPTOPRO_B},
      {"bare, our attributes", Rewrapped(u.secretText, Form::Bare, true), nullptr, "H.0", 3, true,
       CC_CURVE_CRYPTOPRO_B},
      {"integer, our attributes", Rewrapped(u.secretText, Form::Integer, true), &cert, "H.0", 3,
       true, CC_CURVE_CRYPTOPRO_B},
      {"bare", Rewrapped(u.secretText, Form::Bare, false), &cert, "H.0", 8, true,
       CC_CURVE_CRYPTOPRO_B},
      {"octet string", Rewrapped(u.secretText, Form::OctetString, false), &cert, "H.0", 8, true,
       CC_CURVE_CRYPTOPRO_B},
      {"integer", Rewrapped(u.secretText, Form::Integer, false), &cert, "H.0", 8, true,
       CC_CURVE_CRYPTOPRO_B},
      {"bare, no certificate", Rewrapped(u.secretText, Form::Bare, false), nullptr, "ID.9", 0,
       false, CC_CURVE_CRYPTOPRO_B},
      {"integer as long as a bare key", Rewrapped(shortText.str(), Form::Integer, false),
       &shortCert, "S.1", 0, true, CC_CURVE_TC26_256_A},
      {"octet string without high zero bytes", Rewrapped(shortText.str(), Form::Minimal, false),
       &shortCert, "S.1", 0, true, CC_CURVE_TC26_256_A},
  };
  std::mt19937 data(1);
  const auto message = RandomBytes(100, data);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Ctx ctx = NewCtx();
    ASSERT_EQ(Cc()._SetIdentifier(ctx.get(),
                                  c.owner != nullptr ? (c.owner == &cert ? "H.0" : "S.1") : "ID.9"),
              0);
    CertInfo ownerInfo;
    if (c.owner != nullptr) {
      CcCertInfo* raw = nullptr;
      ASSERT_EQ(Cc().__CertInfo(ctx.get(), c.owner->c_str(), &raw), 0);
      ownerInfo.reset(raw);
    }
    CcSecInfo* raw = nullptr;
    ASSERT_EQ(Cc().__SecInfo(ctx.get(), c.key.c_str(), &raw), 0);
    const SecInfo info(raw);
    EXPECT_EQ(info->status, 0);
    EXPECT_STREQ(info->uid, c.uid);
    EXPECT_EQ(info->keyNumber, c.keyNumber);
    EXPECT_EQ(info->curve, c.curve);
    EXPECT_EQ(std::string(info->validTo).empty(), !c.dates);
    if (c.keyNumber == 8) {
      EXPECT_STREQ(info->validTo, ownerInfo->validTo);
    }
    // Written again by us, the key reads the same (with the owner's fields it took, if any).
    cc::PublicDocument ownerDoc;
    if (c.owner != nullptr) {
      ASSERT_EQ(cc::ParsePublicDocument(*c.owner, ownerDoc), 0);
    }
    cc::SecretKey parsed, again;
    ASSERT_EQ(cc::ParseSecretKey(c.key, parsed, c.owner != nullptr ? &ownerDoc : nullptr), 0);
    cc::SecretText written;
    parsed.ToText(written);
    ASSERT_EQ(cc::ParseSecretKey(written.str(), again), 0);
    EXPECT_EQ(again.uid, parsed.uid);
    EXPECT_EQ(again.keyNumber, parsed.keyNumber);
    EXPECT_EQ(again.hasValidity, c.dates);
    EXPECT_EQ(again.publicKey, parsed.publicKey);
    const std::string& verifier = c.owner != nullptr ? *c.owner : cert;
    EXPECT_EQ(
        VerifyChunked(ctx.get(), verifier, message, SignChunked(ctx.get(), c.key, message).data()),
        0);
  }

  // What no standard form holds is the key's format; a key of ours whose check fails is damaged.
  const auto withContent = [&](const Bytes& content) {
    return ChangeDer(Rewrapped(u.secretText, Form::Bare, false), [&](Bytes& der) {
      cc::der::Node n("VORNAK2-PKI.PrivateKeyInfo");
      ASSERT_TRUE(n.Decode(der));
      ASSERT_TRUE(n.Value("privateKey", content));
      der = n.Encode();
    });
  };
  const std::string other =
      Rewrapped(pki.MakeUser("H.0", 3, -kDay, 10 * kDay, ccgost::Curve::CryptoPro_B).secretText,
                Form::Bare, false);
  const auto bareOf = [](const std::string& pem) {
    cc::der::Node n("VORNAK2-PKI.PrivateKeyInfo");
    EXPECT_TRUE(n.Decode(cc::der::FromPem(pem)->der));
    return *n.Read("privateKey");
  };
  struct Refusal {
    const char* name;
    std::string key;
    std::int32_t rc;
  } const refusals[] = {
      {"31 bytes", withContent(Bytes(31, 1)), CC_E_SECRET_FORMAT},
      {"zero", withContent(Bytes(32, 0)), CC_E_SECRET_FORMAT},
      {"beyond the order", withContent(Bytes(32, 0xFF)), CC_E_SECRET_FORMAT},
      {"negative integer", withContent({0x02, 0x01, 0x80}), CC_E_SECRET_FORMAT},
      // id-GostR3410-2001-CryptoPro-B-ParamSet -> an arc no parameter set has
      {"unknown parameter set",
       PatchDer(Rewrapped(u.secretText, Form::Bare, false),
                {0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02},
                {0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x07}),
       CC_E_SECRET_FORMAT},
      {"unknown parameter set in a key of ours",
       PatchDer(u.secretText, {0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x02},
                {0x2A, 0x85, 0x03, 0x02, 0x02, 0x23, 0x07}),
       CC_E_SECRET_INTEGRITY},
      // id-tc26-gost3410-12-256 -> id-GostR3410-2001, an algorithm we do not read
      {"GOST R 34.10-2001 key",
       PatchDer(Rewrapped(u.secretText, Form::Bare, false),
                {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x01, 0x01},
                {0x06, 0x08, 0x2A, 0x85, 0x03, 0x07, 0x01, 0x01, 0x09, 0x01}),
       CC_E_SECRET_FORMAT},
      {"ours with another key",
       ChangeDer(Rewrapped(u.secretText, Form::Bare, true),
                 [&](Bytes& der) {
                   cc::der::Node n("VORNAK2-PKI.PrivateKeyInfo");
                   ASSERT_TRUE(n.Decode(der));
                   ASSERT_TRUE(n.Value("privateKey", bareOf(other)));
                   der = n.Encode();
                 }),
       CC_E_SECRET_INTEGRITY},
  };
  for (const auto& r : refusals) {
    Ctx ctx = NewCtx();
    CcSecInfo* raw = nullptr;
    EXPECT_EQ(Cc().__SecInfo(ctx.get(), r.key.c_str(), &raw), r.rc == CC_E_SECRET_FORMAT ? r.rc : 0)
        << r.name;
    const SecInfo info(raw);
    if (r.rc != CC_E_SECRET_FORMAT) {
      EXPECT_EQ(info->status, r.rc) << r.name;
    }
    EXPECT_EQ(Cc()._BufferSignInit(ctx.get(), r.key.c_str()), r.rc) << r.name;
  }
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

// The parameter set of new keys: the one named, else the one of the user's current key (its
// certificate read on the context, the one in the store, or the newest secret key), else
// tc26-256-A; 512 as the second setting asks for a 512-bit key.
TEST(CcNewKeys, HonoursPeriodAndKeySettings) {
  enum class Current { None, Read, InStore, NewestKey };
  struct Case {
    std::int32_t first, second, period;
    Current how;
    std::int32_t current;  // the current key's set
    std::int32_t rc;
    std::int32_t curve;
    std::int64_t days;
  } const cases[] = {
      {0, 0, 0, Current::None, 0, 0, CC_CURVE_TC26_256_A, CC_DEFAULT_PERIOD_DAYS},
      {1024, 256, 730, Current::None, 0, 0, CC_CURVE_TC26_256_A, 730},  // the adapter's defaults
      {1, 256, 10, Current::None, 0, 0, CC_CURVE_CRYPTOPRO_A, 10},
      {0, 256, 65535, Current::None, 0, 0, CC_CURVE_TC26_256_A, 65535},
      {0, 256, -25536, Current::None, 0, 0, CC_CURVE_TC26_256_A, 40000},  // signed 16-bit 40000
      {2, 0, 30, Current::None, 0, 0, CC_CURVE_TC26_256_B, 30},
      {11, 512, 30, Current::None, 0, 0, CC_CURVE_TC26_512_C, 30},
      {1024, 512, 30, Current::None, 0, 0, CC_CURVE_TC26_512_A, 30},
      {1024, 256, 30, Current::Read, CC_CURVE_CRYPTOPRO_XCHB, 0, CC_CURVE_CRYPTOPRO_XCHB, 30},
      {1024, 256, 30, Current::Read, CC_CURVE_TC26_512_B, 0, CC_CURVE_TC26_512_B, 30},
      {1024, 0, 30, Current::InStore, CC_CURVE_CRYPTOPRO_C, 0, CC_CURVE_CRYPTOPRO_C, 30},
      {1024, 256, 30, Current::NewestKey, CC_CURVE_TC26_512_C, 0, CC_CURVE_TC26_512_C, 30},
      {1024, 512, 30, Current::Read, CC_CURVE_CRYPTOPRO_A, 0, CC_CURVE_TC26_512_A, 30},
      {1024, 512, 30, Current::Read, CC_CURVE_TC26_512_C, 0, CC_CURVE_TC26_512_C, 30},
      {4, 256, 30, Current::Read, CC_CURVE_TC26_512_B, 0, CC_CURVE_TC26_256_D, 30},
      {12, 256, 30, Current::None, 0, CC_E_KEY_FORMAT, 0, 0},
      {-1, 256, 30, Current::None, 0, CC_E_KEY_FORMAT, 0, 0},
      {0, 512, 30, Current::None, 0, CC_E_UNKNOWN_PKS, 0, 0},
      {1024, 300, 30, Current::None, 0, CC_E_UNKNOWN_PKS, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.first) + "/" + std::to_string(c.second) + "/" +
                 std::to_string(c.period) + " current " + std::to_string(c.current));
    Ctx ctx = NewCtx();
    TempDir store;
    ASSERT_EQ(Cc()._SetIdentifier(ctx.get(), "P.1"), 0);
    if (c.how != Current::None) {
      const User current = TestPki().MakeUser("P.1", 4, -60, 60, *cc::CurveOfCode(c.current));
      if (c.how == Current::Read) {
        CcCertInfo* cert = nullptr;
        ASSERT_EQ(Cc().__CertInfo(ctx.get(), current.certText.c_str(), &cert), 0);
        Cc()._FreeCertInfo(cert);
      } else if (c.how == Current::InStore) {
        ASSERT_EQ(Cc()._SetPublicPath(ctx.get(), store.path().c_str()), 0);
        std::filesystem::create_directories(store.path() + "/P/@");
        std::ofstream(store.path() + "/P/@/1.crt") << current.certText;
      } else {
        // The secret keys 4 (of the current set) and 2 (of another): the newest counts.
        ASSERT_EQ(Cc()._SetSecretPath(ctx.get(), store.path().c_str()), 0);
        std::ofstream(store.path() + "/4.sec") << current.secretText;
        std::ofstream(store.path() + "/2.sec") << TestPki().MakeUser("P.1", 2).secretText;
      }
    }
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
    auto [req, rc] = ParseCert(request);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(req->curve, c.curve);
    EXPECT_EQ(req->status, CC_E_UNCERTIFIED) << "the request's signature verifies";
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
