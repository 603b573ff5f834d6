// Our certificates, requests and secret keys against an independent implementation of the same
// standards: the openssl command with its GOST engine (Debian: openssl, libengine-gost-openssl;
// scripts/deps installs them). Without it the tests are skipped and say why.
//  - an authority made entirely with openssl certifies a key made by GenerateNewSSK; the user
//    installs the certificate with CreateDirStructure and signs; the signature verifies with
//    the validity check on;
//  - openssl accepts what vornak2-ca and our library write (verify, x509 -text, req -verify, pkey);
//  - the public key in a certificate is the key: signatures cross in both directions.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "gost.h"
#include "host_engine.h"
#include "key_sets.h"
#include "support.h"
#include "vornak2.h"

namespace cctest {
namespace {

namespace fs = std::filesystem;
using vornak2::testing::HostEngine;
using vornak2::testing::RunAuthorityTool;
using vornak2::testing::TestRoot;
using vornak2::testing::UserKeys;

// The openssl command with a configuration that loads the GOST engine, in a scratch directory.
class OpenSsl {
 public:
  OpenSsl() {
    Spill(dir_.path() + "/openssl.cnf",
          "openssl_conf = openssl_def\n[openssl_def]\nengines = engine_section\n"
          "[engine_section]\ngost = gost_section\n[gost_section]\nengine_id = gost\n"
          "default_algorithms = ALL\n");
  }
  // Why the tests cannot run here, or empty.
  std::string Missing() {
    std::string out;
    if (!Run("engine gost -t", out) || out.find("available") == std::string::npos)
      return "openssl with the GOST engine is not installed (Debian packages: openssl "
             "libengine-gost-openssl): " +
             out;
    return "";
  }
  // Runs "openssl ARGS" in the scratch directory; its standard output and error in `out`.
  bool Run(const std::string& args, std::string& out) {
    const std::string log = dir_.path() + "/log";
    const std::string cmd = "cd " + Quote(dir_.path()) +
                            " && OPENSSL_CONF=" + Quote(dir_.path() + "/openssl.cnf") +
                            " openssl " + args + " >" + Quote(log) + " 2>&1";
    const int status = std::system(cmd.c_str());
    out = Slurp(log);
    if (status != 0) out = "'" + cmd + "' failed: " + out;
    return status == 0;
  }
  std::string Path(const std::string& name) const { return dir_.path() + "/" + name; }

 private:
  TempDir dir_;
};

#define SKIP_WITHOUT_OPENSSL(ossl)                                                   \
  do {                                                                               \
    if (const std::string why = (ossl).Missing(); !why.empty()) GTEST_SKIP() << why; \
  } while (0)

// r || s (ours) <-> s || r (the engine's raw signatures)
std::string Swapped(const std::vector<std::uint8_t>& sig) {
  std::string out(sig.begin() + 32, sig.end());
  out.append(sig.begin(), sig.begin() + 32);
  return out;
}

TEST(OpenSslAuthority, CertifiesAKeyOfGenerateNewSSKThatThenSignsAndVerifies) {
  OpenSsl ossl;
  SKIP_WITHOUT_OPENSSL(ossl);
  std::string out;
  // The authority: a self-signed CA certificate whose name follows the profile.
  ASSERT_TRUE(
      ossl.Run("req -x509 -newkey gost2012_256 -pkeyopt paramset:TCA -nodes -keyout "
               "ca.key -out ca.crt -days 30 -md_gost12_256 "
               "-subj /CN=OSSL.CA/serialNumber=3 "
               "-addext basicConstraints=critical,CA:TRUE "
               "-addext keyUsage=critical,keyCertSign,cRLSign",
               out))
      << out;

  // A key and its request for the new UID OS.5, made by the adapter (GenerateNewSSK runs for a
  // user who has a key set already: here one from the test authority).
  TestRoot& root = TestRoot::Get();
  const std::string delivery = root.dir() + "ossl_delivery/";
  fs::create_directories(delivery);
  {
    HostEngine maker(root, root.User("ossl_maker", "OM.1"));
    maker.Set(13, "OS.5");
    maker.Set(14, delivery);
    ASSERT_EQ(GenerateNewSSK(maker.get()), 0);
  }
  ASSERT_TRUE(fs::exists(delivery + "5.pub") && fs::exists(delivery + "0.sec"));
  UserKeys u;
  u.name = "ossl_user";
  u.dir = root.dir() + "ossl_user/";
  HostEngine e(root, u);

  // openssl reads the request and the secret key, and the authority signs the request.
  ASSERT_TRUE(ossl.Run("req -verify -noout -in " + Quote(delivery + "5.pub"), out)) << out;
  EXPECT_NE(out.find("verify OK"), std::string::npos) << out;
  ASSERT_TRUE(ossl.Run("pkey -noout -text -in " + Quote(delivery + "0.sec"), out)) << out;
  EXPECT_NE(out.find("Private key"), std::string::npos) << out;
  ASSERT_TRUE(ossl.Run("x509 -req -in " + Quote(delivery + "5.pub") +
                           " -CA ca.crt -CAkey ca.key -set_serial 77 -days 10 -md_gost12_256"
                           " -out user.crt",
                       out))
      << out;
  const std::string cert = Slurp(ossl.Path("user.crt"));
  EXPECT_LE(cert.size(), std::size_t{CC_MAX_TEXT});

  // The user installs it with the authority's certificate, then signs; verified with the
  // validity check on.
  ASSERT_EQ(CreateDirStructure(e.get(), ossl.Path("user.crt").c_str(), ossl.Path("ca.crt").c_str()),
            0);
  EXPECT_TRUE(fs::exists(u.dir + "sec/OSSL.CA/3.aut"));
  fs::copy_file(delivery + "0.sec", u.dir + "sec/0.sec");
  {
    std::ofstream random(u.dir + "@rand", std::ios::binary);
    std::random_device device;
    for (int i = 0; i < 1024; ++i) random.put(static_cast<char>(device()));
  }
  const std::string data = "signed under an authority made with openssl";
  const auto signature = e.Sign(data);
  ASSERT_FALSE(signature.empty());
  std::string signer;
  EXPECT_EQ(e.Verify(data, signature, &signer), 0);
  EXPECT_EQ(signer, "OS.5");
  EXPECT_NE(e.Verify(data + ".", signature), 0);
}

TEST(OpenSslAuthority, AcceptsWhatOurAuthorityAndLibraryWrite) {
  OpenSsl ossl;
  SKIP_WITHOUT_OPENSSL(ossl);
  TempDir dir;
  const std::string d = dir.path() + "/";
  ASSERT_EQ(RunAuthorityTool(
                {"create-authority", "--dir", d + "ca", "--uid", "VCA.2", "--key-number", "4"}),
            0);
  ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", d + "u", "--uid", "VU.7", "--key-number", "12"}),
            0);
  ASSERT_EQ(RunAuthorityTool({"issue", "--authority", d + "ca", "--request", d + "u/7.pub", "--out",
                              d + "u.crt"}),
            0);
  std::string out;
  EXPECT_TRUE(
      ossl.Run("verify -CAfile " + Quote(d + "ca/authority.aut") + " " + Quote(d + "u.crt"), out))
      << out;
  EXPECT_TRUE(ossl.Run(
      "verify -CAfile " + Quote(d + "ca/authority.aut") + " " + Quote(d + "ca/authority.aut"), out))
      << out;
  ASSERT_TRUE(ossl.Run("x509 -noout -text -in " + Quote(d + "u.crt"), out)) << out;
  EXPECT_NE(out.find("Subject: CN = VU.7, serialNumber = 12"), std::string::npos) << out;
  EXPECT_NE(out.find("Issuer: CN = VCA.2, serialNumber = 4"), std::string::npos) << out;
  ASSERT_TRUE(ossl.Run("x509 -noout -text -in " + Quote(d + "ca/authority.aut"), out)) << out;
  EXPECT_NE(out.find("CA:TRUE"), std::string::npos) << out;
  EXPECT_TRUE(ossl.Run("req -verify -noout -in " + Quote(d + "u/7.pub"), out)) << out;
  EXPECT_TRUE(ossl.Run("pkey -noout -in " + Quote(d + "u/12.sec"), out)) << out;
  EXPECT_TRUE(ossl.Run("pkey -noout -in " + Quote(d + "ca/authority.sec"), out)) << out;

  // A request openssl made (it asks for no validity: a year from now) is certified too, and
  // the certificate is read the way the profile says.
  ASSERT_TRUE(
      ossl.Run("req -new -newkey gost2012_256 -pkeyopt paramset:A -nodes -keyout o.key "
               "-subj /O=Elsewhere/CN=OR.1/serialNumber=6 -out o.pub -md_gost12_256",
               out))
      << out;
  ASSERT_EQ(RunAuthorityTool({"issue", "--authority", d + "ca", "--request", ossl.Path("o.pub"),
                              "--out", d + "o.crt"}),
            0);
  EXPECT_TRUE(
      ossl.Run("verify -CAfile " + Quote(d + "ca/authority.aut") + " " + Quote(d + "o.crt"), out))
      << out;
  cc::PublicDocument cert;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(d + "o.crt"), cert), 0);
  EXPECT_EQ(cert.uid, "OR.1");
  EXPECT_EQ(cert.keyNumber, 6);
  EXPECT_EQ(cert.curve, ccgost::Curve::CryptoPro_A);
  EXPECT_EQ(cert.issuer, "VCA.2");
  EXPECT_EQ(cert.issuerKeyNumber, 4);
  EXPECT_NEAR(static_cast<double>(cert.notAfter - cert.notBefore), 365.0 * 24 * 60, 1.0);
}

// openssl checks the CRLs of our authority and honours them, and reads what each certificate
// may do: the authority's keys (the roll-over too) are CAs that sign certificates and CRLs, the
// roll-over valid no longer than the key that certifies it; a user's certificate signs, commits
// and enciphers.
TEST(OpenSslAuthority, ChecksAndHonoursOurCrlsAndReadsOurKeyUsages) {
  OpenSsl ossl;
  SKIP_WITHOUT_OPENSSL(ossl);
  TempDir dir;
  const std::string d = dir.path() + "/";
  ASSERT_EQ(
      RunAuthorityTool({"create-authority", "--dir", d + "ca", "--uid", "CA.1", "--days", "30"}),
      0);
  ASSERT_EQ(RunAuthorityTool({"rollover", "--authority", d + "ca", "--out", d + "ca-1"}), 0);
  ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", d + "keys", "--uid", "K.5"}), 0);
  for (const auto& [name, key] : {std::pair{"a", "ca"}, {"b", "ca"}, {"c", "ca-1"}, {"e", "ca-1"}})
    ASSERT_EQ(RunAuthorityTool({"issue", "--authority", d + key, "--request", d + "keys/5.pub",
                                "--out", d + name + ".crt"}),
              0);
  ASSERT_EQ(RunAuthorityTool({"revoke", "--authority", d + "ca", "--cert", d + "a.crt"}), 0);
  ASSERT_EQ(RunAuthorityTool({"revoke", "--authority", d + "ca-1", "--cert", d + "c.crt"}), 0);
  ASSERT_EQ(RunAuthorityTool({"crl", "--authority", d + "ca"}), 0);
  cc::PublicDocument a;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(d + "a.crt"), a), 0);

  std::string out;
  // Each key's CRL verifies with that key's certificate, v2 with its number and the key's id.
  EXPECT_TRUE(ossl.Run("crl -noout -verify -in " + Quote(d + "ca/0.crl") + " -CAfile " +
                           Quote(d + "ca/authority.aut"),
                       out))
      << out;
  EXPECT_NE(out.find("verify OK"), std::string::npos) << out;
  EXPECT_TRUE(ossl.Run("crl -noout -verify -in " + Quote(d + "ca-1/1.crl") + " -CAfile " +
                           Quote(d + "ca-1/authority.aut"),
                       out))
      << out;
  EXPECT_NE(out.find("verify OK"), std::string::npos) << out;
  ASSERT_TRUE(ossl.Run("crl -noout -text -in " + Quote(d + "ca/0.crl"), out)) << out;
  for (const std::string& part :
       {std::string("Version 2 (0x1)"), std::string("Issuer: CN = CA.1, serialNumber = 0"),
        std::string("X509v3 Authority Key Identifier"), std::string("X509v3 CRL Number: \n"),
        std::string("Serial Number: ") + cc::HexEncode(a.serial), std::string("Next Update")})
    EXPECT_NE(out.find(part), std::string::npos) << part << " in\n" << out;
  EXPECT_NE(out.find("CRL Number: \n                2\n"), std::string::npos) << out;

  // Revoked certificates fail a check with the CRLs, the others pass; key 1's through the
  // roll-over, which links it to key 0.
  const std::string key0 = " -crl_check -CAfile " + Quote(d + "ca/authority.aut") + " -CRLfile " +
                           Quote(d + "ca/0.crl") + " ";
  const std::string key1 = " -crl_check -CAfile " + Quote(d + "ca/authority.aut") + " -untrusted " +
                           Quote(d + "ca-1/rollover.aut") + " -CRLfile " + Quote(d + "ca-1/1.crl") +
                           " ";
  EXPECT_FALSE(ossl.Run("verify" + key0 + Quote(d + "a.crt"), out)) << out;
  EXPECT_NE(out.find("certificate revoked"), std::string::npos) << out;
  EXPECT_TRUE(ossl.Run("verify" + key0 + Quote(d + "b.crt"), out)) << out;
  EXPECT_FALSE(ossl.Run("verify" + key1 + Quote(d + "c.crt"), out)) << out;
  EXPECT_NE(out.find("certificate revoked"), std::string::npos) << out;
  EXPECT_TRUE(ossl.Run("verify" + key1 + Quote(d + "e.crt"), out)) << out;

  // What each certificate may do.
  ASSERT_TRUE(ossl.Run("x509 -noout -ext basicConstraints,keyUsage -in " + Quote(d + "b.crt"), out))
      << out;
  EXPECT_NE(out.find("CA:FALSE"), std::string::npos) << out;
  EXPECT_NE(out.find("Digital Signature, Non Repudiation, Key Encipherment, Key Agreement"),
            std::string::npos)
      << out;
  for (const char* authority : {"ca/authority.aut", "ca-1/authority.aut", "ca-1/rollover.aut"}) {
    ASSERT_TRUE(
        ossl.Run("x509 -noout -ext basicConstraints,keyUsage -in " + Quote(d + authority), out))
        << out;
    EXPECT_NE(out.find("CA:TRUE"), std::string::npos) << authority << ": " << out;
    EXPECT_NE(out.find("Certificate Sign, CRL Sign"), std::string::npos)
        << authority << ": " << out;
  }
  std::string end0, end1;
  ASSERT_TRUE(ossl.Run("x509 -noout -enddate -in " + Quote(d + "ca/authority.aut"), end0)) << end0;
  ASSERT_TRUE(ossl.Run("x509 -noout -enddate -in " + Quote(d + "ca-1/rollover.aut"), end1)) << end1;
  EXPECT_EQ(end1, end0) << "the roll-over ends with the key that certifies it";
}

// Signatures over a Streebog digest cross both ways: ours verifies with the public key openssl
// takes from the certificate, openssl's made with our secret-key file verifies in our cc.
TEST(OpenSslAuthority, PublicKeyInTheCertificateIsTheKey) {
  OpenSsl ossl;
  SKIP_WITHOUT_OPENSSL(ossl);
  for (const auto curve : {ccgost::Curve::Tc26_256_A, ccgost::Curve::CryptoPro_A}) {
    SCOPED_TRACE(curve == ccgost::Curve::Tc26_256_A ? "tc26-256-A" : "cryptopro-A");
    const cc::Minutes now = cc::NowMinutes();
    const Pki& pki = TestPki();
    cc::NewKeys keys = cc::GenerateKeys("PK.1", 1, curve, now - 60, now + 24 * 60);
    cc::SecretText secret;
    keys.secret.ToText(secret);
    const std::string cert = cc::IssueCertificate(keys.request, pki.authorityKey, pki.authorityCert,
                                                  now - 60, now + 24 * 60)
                                 .Text();
    Spill(ossl.Path("pk.crt"), cert);
    Spill(ossl.Path("pk.sec"), secret.str());
    std::string out;
    ASSERT_TRUE(ossl.Run("x509 -in pk.crt -noout -pubkey -out pk_pub.pem", out)) << out;

    const std::string data(300, 'd');
    const auto digest = ccgost::HashOnce(
        ccgost::HashAlg::Streebog256,
        std::span(reinterpret_cast<const std::uint8_t*>(data.data()), data.size()));
    Spill(ossl.Path("digest"), std::string(digest.begin(), digest.end()));

    Ctx ctx = NewCtx();
    const auto ours =
        SignChunked(ctx.get(), secret.str(), std::vector<std::uint8_t>(data.begin(), data.end()));
    ASSERT_EQ(ours.size(), std::size_t{CC_SIGNATURE_SIZE});
    Spill(ossl.Path("ours.sig"), Swapped(ours));
    EXPECT_TRUE(
        ossl.Run("pkeyutl -verify -pubin -inkey pk_pub.pem -in digest -sigfile ours.sig", out))
        << out;

    ASSERT_TRUE(ossl.Run("pkeyutl -sign -inkey pk.sec -in digest -out theirs.sig", out)) << out;
    const std::string theirs = Slurp(ossl.Path("theirs.sig"));
    ASSERT_EQ(theirs.size(), std::size_t{CC_SIGNATURE_SIZE});
    const std::vector<std::uint8_t> sr(theirs.begin(), theirs.end());
    const std::string rs = Swapped(sr);
    EXPECT_EQ(VerifyChunked(ctx.get(), cert, std::vector<std::uint8_t>(data.begin(), data.end()),
                            reinterpret_cast<const std::uint8_t*>(rs.data())),
              0);
  }
}

}  // namespace
}  // namespace cctest
