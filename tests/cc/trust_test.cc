// Whether a certificate stands, through the entry points: the CRLs beside its authorities'
// certificates. (Key usage and chains: pki_trust_tools_test.cc and records_test.cc.)
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "der.h"
#include "support.h"
#include "util.h"

namespace cctest {
namespace {

constexpr std::int64_t kDay = 24 * 60;
using Bytes = std::vector<std::uint8_t>;

// "YYMMDDHHMMSSZ"
std::string UtcTime(cc::Minutes t) {
  const std::string d = cc::FormatDate(t);  // dd.mm.yyyy hh:mm
  return d.substr(8, 2) + d.substr(3, 2) + d.substr(0, 2) + d.substr(11, 2) + d.substr(14, 2) +
         "00Z";
}

struct CrlPlan {
  const cc::SecretKey* signer;
  Bytes issuerName;  // DER
  std::vector<Bytes> serials;
  cc::Minutes thisUpdate = cc::NowMinutes() - 60;
  std::optional<cc::Minutes> nextUpdate = cc::NowMinutes() + kDay;
  bool deltaIndicator = false;  // a critical deltaCRLIndicator
  bool pem = true;
};

// A v2 CRL as an authority's tool writes it, signed by the plan's key.
std::string MakeCrl(const CrlPlan& plan) {
  cc::der::Node n("VORNAK2-PKI.CertificateList");
  const std::string t = "tbsCertList";
  EXPECT_TRUE(n.Text((t + ".version").c_str(), "1"));
  EXPECT_TRUE(n.Text((t + ".signature.algorithm").c_str(), "1.2.643.7.1.1.3.2"));
  EXPECT_TRUE(n.Omit((t + ".signature.parameters").c_str()));
  EXPECT_TRUE(n.Value((t + ".issuer").c_str(), plan.issuerName));
  auto time = [&](const std::string& at, cc::Minutes m) {
    EXPECT_TRUE(n.Text(at.c_str(), "utcTime"));
    EXPECT_TRUE(n.Text((at + ".utcTime").c_str(), UtcTime(m).c_str()));
  };
  time(t + ".thisUpdate", plan.thisUpdate);
  if (plan.nextUpdate) {
    time(t + ".nextUpdate", *plan.nextUpdate);
  } else {
    EXPECT_TRUE(n.Omit((t + ".nextUpdate").c_str()));
  }
  if (plan.serials.empty()) {
    EXPECT_TRUE(n.Omit((t + ".revokedCertificates").c_str()));
  }
  for (const Bytes& serial : plan.serials) {
    EXPECT_TRUE(n.Text((t + ".revokedCertificates").c_str(), "NEW"));
    const std::string e = t + ".revokedCertificates.?LAST";
    EXPECT_TRUE(n.Value((e + ".userCertificate").c_str(), serial));
    time(e + ".revocationDate", plan.thisUpdate);
    EXPECT_TRUE(n.Omit((e + ".crlEntryExtensions").c_str()));
  }
  const std::string x = t + ".crlExtensions";
  EXPECT_TRUE(n.Text(x.c_str(), "NEW"));
  EXPECT_TRUE(
      n.Text((x + ".?LAST.extnID").c_str(), plan.deltaIndicator ? "2.5.29.27" : "2.5.29.20"));
  EXPECT_TRUE(n.Text((x + ".?LAST.critical").c_str(), plan.deltaIndicator ? "TRUE" : "FALSE"));
  EXPECT_TRUE(n.Value((x + ".?LAST.extnValue").c_str(), Bytes{0x02, 0x01, 0x07}));
  const Bytes tbs = n.Encode(t.c_str());
  const auto digest = ccgost::HashOnce(ccgost::HashAlg::Streebog256, tbs);
  const auto rs = ccgost::SignDigest(plan.signer->curve, plan.signer->privateKey.span(), digest);
  Bytes sr(rs.begin() + 32, rs.end());
  sr.insert(sr.end(), rs.begin(), rs.begin() + 32);
  cc::der::Node s("VORNAK2-PKI.Signed");
  EXPECT_TRUE(s.Value("toBeSigned", tbs));
  EXPECT_TRUE(s.Text("signatureAlgorithm.algorithm", "1.2.643.7.1.1.3.2"));
  EXPECT_TRUE(s.Omit("signatureAlgorithm.parameters"));
  EXPECT_TRUE(s.Bits("signature", sr));
  const Bytes der = s.Encode();
  return plan.pem ? cc::der::ToPem("X509 CRL", der) : std::string(der.begin(), der.end());
}

// Authority certificates by name and number, for the lookups below.
std::map<std::pair<std::string, std::int32_t>, std::string>& Authorities() {
  static std::map<std::pair<std::string, std::int32_t>, std::string> texts;
  return texts;
}
const char* AuthorityByName(const char* name, std::int32_t number) {
  const auto it = Authorities().find({name, number});
  return it == Authorities().end() ? nullptr : it->second.c_str();
}

// A CRL beside the authority's certificate decides; one that cannot be trusted is ignored and
// the record says why; a CRL past its next update still revokes what it lists.
TEST(CcTrust, RevocationListsBesideTheAuthority) {
  const Pki& pki = TestPki();
  const cc::Minutes now = cc::NowMinutes();
  const User good = pki.MakeUser("RV.1", 0), revoked = pki.MakeUser("RV.2", 0);
  cc::PublicDocument revokedCert, otherIssuer;
  ASSERT_EQ(cc::ParsePublicDocument(revoked.certText, revokedCert), 0);
  // An intermediate authority IM.1 certified by the test authority, and its user.
  const cc::NewKeys im =
      cc::GenerateKeys("IM.1", 0, ccgost::Curve::Tc26_256_A, now - 60, now + 10 * kDay);
  cc::PublicDocument imCert = cc::SelfSignedCertificate(im.secret);
  imCert.issuer = "CA.0";
  imCert.issuerName.clear();
  imCert.authorityKeyId.clear();
  cc::SignDocument(imCert, pki.authorityKey);
  const cc::NewKeys iu =
      cc::GenerateKeys("IU.1", 0, ccgost::Curve::Tc26_256_A, now - 60, now + kDay);
  const std::string imUser =
      cc::IssueCertificate(iu.request, im.secret, imCert, now - 60, now + kDay).Text();
  // The test authority's certificate with a keyUsage that does not allow signing CRLs.
  cc::PublicDocument noCrlSign = pki.authorityCert;
  noCrlSign.keyUsage = cc::kKeyCertSign;
  cc::SignDocument(noCrlSign, pki.authorityKey);
  otherIssuer = pki.authorityCert;
  otherIssuer.keyNumber = 1;
  otherIssuer.subjectName.clear();
  otherIssuer.Encode();

  const CrlPlan listing{&pki.authorityKey, pki.authorityCert.subjectName, {revokedCert.serial}};
  auto with = [&](auto change) {
    CrlPlan s = listing;
    change(s);
    return MakeCrl(s);
  };
  const struct Case {
    const char* name;
    std::string crl;  // empty: no file
    std::string certificate;
    std::int32_t status, revocation;
    std::string aut = TestPki().autText;
  } cases[] = {
      {"no CRL", "", revoked.certText, 0, CC_REVOCATION_NONE},
      {"listed", MakeCrl(listing), revoked.certText, CC_E_REVOKED, CC_REVOCATION_CHECKED},
      {"not listed", MakeCrl(listing), good.certText, 0, CC_REVOCATION_CHECKED},
      {"listed, DER", with([](CrlPlan& s) { s.pem = false; }), revoked.certText, CC_E_REVOKED,
       CC_REVOCATION_CHECKED},
      {"listed, past its next update", with([&](CrlPlan& s) {
         s.thisUpdate = now - 10 * kDay;
         s.nextUpdate = now - kDay;
       }),
       revoked.certText, CC_E_REVOKED, CC_REVOCATION_CHECKED},
      {"empty, no next update", with([](CrlPlan& s) {
         s.serials.clear();
         s.nextUpdate.reset();
       }),
       revoked.certText, 0, CC_REVOCATION_CHECKED},
      {"signed by a forger", with([&](CrlPlan& s) { s.signer = &pki.forgerKey; }), revoked.certText,
       0, CC_E_SIGNATURE},
      {"of another key of the authority",
       with([&](CrlPlan& s) { s.issuerName = otherIssuer.subjectName; }), revoked.certText, 0,
       CC_E_AUTHORITY_NOT_FOUND},
      {"a delta CRL", with([](CrlPlan& s) { s.deltaIndicator = true; }), revoked.certText, 0,
       CC_E_UNKNOWN_CRITICAL},
      {"no CRL at all", "-----BEGIN X509 CRL-----\nMIIB\n-----END X509 CRL-----\n",
       revoked.certText, 0, CC_E_CERT_FORMAT},
      {"its authority may not sign CRLs", MakeCrl(listing), revoked.certText, 0,
       CC_E_AUTHORITY_NOT_PERMITTED, noCrlSign.Text()},
      {"a root listed by its own CRL: still the root",
       with([&](CrlPlan& s) { s.serials = {pki.authorityCert.serial}; }), pki.autText, 0,
       CC_REVOCATION_NONE},
      {"an intermediate authority listed by its root",
       with([&](CrlPlan& s) { s.serials = {imCert.serial}; }), imUser, CC_E_REVOKED,
       CC_REVOCATION_CHECKED},
  };
  TempDir dir;
  const std::string crlFile = dir.path() + "/CA.0/0.crl";
  std::filesystem::create_directories(dir.path() + "/CA.0");
  for (const Case& c : cases) {
    std::filesystem::remove(crlFile);
    if (!c.crl.empty()) std::ofstream(crlFile, std::ios::binary) << c.crl;
    Authorities()[{"CA.0", 0}] = c.aut;
    Authorities()[{"IM.1", 0}] = imCert.Text();
    Ctx ctx = NewCtx();
    ctx->authorityLookup = &AuthorityByName;
    ASSERT_EQ(Cc()._SetSecretPath(ctx.get(), dir.path().c_str()), 0);
    CcCertInfo* raw = nullptr;
    ASSERT_EQ(Cc().__CertInfo(ctx.get(), c.certificate.c_str(), &raw), 0) << c.name;
    const CertInfo info(raw);
    EXPECT_EQ(info->status, c.status) << c.name;
    EXPECT_EQ(info->revocation, c.revocation) << c.name;
    // Without a secret path no CRL is looked for.
    Ctx bare = NewCtx();
    bare->authorityLookup = &AuthorityByName;
    ASSERT_EQ(Cc().__CertInfo(bare.get(), c.certificate.c_str(), &raw), 0) << c.name;
    const CertInfo plain(raw);
    EXPECT_EQ(plain->status, c.status == CC_E_REVOKED ? 0 : c.status) << c.name;
    EXPECT_EQ(plain->revocation, CC_REVOCATION_NONE) << c.name;
  }
}

}  // namespace
}  // namespace cctest
