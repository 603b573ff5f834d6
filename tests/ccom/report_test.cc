// Reports on certificates, a user's directories set up from a certificate and its authorities,
// signed-data files and the room for multi-recipient encryption, through the exports.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

#include "host_engine.h"
#include "scratch_dir.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

// The validity of a PEM certificate as "dd.mm.yyyy hh:mm": its first two UTCTime values
// (notBefore, notAfter), read from the DER without the library under test.
std::pair<std::string, std::string> ValidityOf(const std::string& pem) {
  static const std::string kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string der;
  std::uint32_t acc = 0;
  int bits = 0;
  const std::size_t begin = pem.find('\n', pem.find("-----BEGIN"));
  for (std::size_t i = begin; i < pem.size() && pem[i] != '-'; ++i) {
    const std::size_t v = kAlphabet.find(pem[i]);
    if (v == std::string::npos) continue;
    acc = (acc << 6) | static_cast<std::uint32_t>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      der.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  std::string dates[2];
  for (std::size_t at = 0, n = 0; n < 2 && (at = der.find("\x17\x0d", at)) != std::string::npos;
       at += 15, ++n) {
    const std::string t = der.substr(at + 2, 13);  // YYMMDDHHMMSSZ
    dates[n] = t.substr(4, 2) + "." + t.substr(2, 2) + ".20" + t.substr(0, 2) + " " +
               t.substr(6, 2) + ":" + t.substr(8, 2);
  }
  return {dates[0], dates[1]};
}

// "dd.mm.yyyy hh:mm" as a report shows it.
std::string ReportDate(const std::string& date) {
  return date.substr(3, 2) + "-" + date.substr(0, 2) + date.substr(5) + ":00";
}

// One certificate reported through every way there is to it, with the lines of the layout; and
// the refusals of the report operations.
TEST(Reports, OneCertificateThroughEveryOperation) {
  TestRoot& root = TestRoot::Get();
  const UserKeys& a = root.User("rp_a", "RA.1");
  const UserKeys& b = root.User("rp_b", "RB.2");
  HostEngine ea(root, a), eb(root, b);
  const std::string copy = root.dir() + "rp_b.crt";
  fs::copy_file(b.certFile, copy);
  ASSERT_EQ(IncludePublicKey(ea.get(), copy.c_str()), 0);
  const std::string cert = ReadText(b.certFile);
  const auto [from, to] = ValidityOf(cert);
  ASSERT_EQ(to.size(), 16u) << cert;
  const std::string expected =
      "UID=RB.2\r\nKN=0\r\nICN=CA.1\r\nIKN=0\r\nNotBefore=" + ReportDate(from) +
      "\r\nNotAfter=" + ReportDate(to) + "\r\nPKey=\r\n" + cert + "\r\n\r\n";

  const HostEngine::Transfer transfer = eb.OwnTransfer();
  ASSERT_EQ(transfer.code, 0);
  const struct {
    const char* how;
    std::function<std::int32_t(char*)> call;
  } ways[] = {
      {"GetReport", [&](char* r) { return GetReport(ea.get(), "RB.2", r); }},
      {"GetPublicKeyProperties",
       [&](char* r) { return GetPublicKeyProperties(ea.get(), "RB.2", r); }},
      {"by file",
       [&](char* r) { return GetPublicKeyPropertiesByFile(ea.get(), b.certFile.c_str(), r); }},
      {"by transfer",
       [&](char* r) {
         return GetPublicKeyPropertiesByTransfer(ea.get(), transfer.text.c_str(), r);
       }},
  };
  for (const auto& w : ways) {
    std::string report(2048, '\x7f');
    ASSERT_EQ(w.call(report.data()), 0) << w.how;
    EXPECT_EQ(std::string(report.c_str()), expected) << w.how;
  }

  // A certificate text so long that its report would not fit 2048 bytes: refused, nothing written.
  const std::string padded = root.dir() + "rp_padded.crt";
  WriteText(padded, cert + std::string(2040 - cert.size(), '\n'));
  WriteText(root.dir() + "rp_2049.crt", cert + std::string(2049 - cert.size(), '\n'));
  char report[2048];
  std::memset(report, 'x', sizeof report);
  const struct {
    const char* what;
    std::int32_t code;
    std::int32_t expected;
  } refusals[] = {
      {"null buffer", GetReport(ea.get(), "RB.2", nullptr), 2},
      {"null uid", GetReport(ea.get(), nullptr, report), 2},
      {"empty uid without a renewal directory", GetReport(ea.get(), "", report), 113},
      {"a UID without a store file", GetReport(ea.get(), "RQ.9", report), 112},
      {"a UID that may not become a path", GetReport(ea.get(), "../RB.2", report), 112},
      {"2049-byte file",
       GetPublicKeyPropertiesByFile(ea.get(), (root.dir() + "rp_2049.crt").c_str(), report), 107},
      {"missing file", GetPublicKeyPropertiesByFile(ea.get(), "nowhere.crt", report), 107},
      {"report over 2048 bytes", GetPublicKeyPropertiesByFile(ea.get(), padded.c_str(), report),
       104},
      {"not a transfer", GetPublicKeyPropertiesByTransfer(ea.get(), "bad", report), 110},
  };
  for (const auto& r : refusals) EXPECT_EQ(r.code, r.expected) << r.what;
  EXPECT_EQ(std::string(report, sizeof report), std::string(2048, 'x'));
}

// CreateDirStructure on a user directory that does not exist yet: the directories, the own
// certificate and the authority certificate are in place afterwards, and with the secret key
// delivered beside them the user signs and verifies.
TEST(DirStructure, PreparesAUsersDirectories) {
  TestRoot& root = TestRoot::Get();
  const std::string delivery = root.dir() + "ds_delivery/";
  ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", delivery, "--uid", "DS.4"}), 0);
  ASSERT_EQ(RunAuthorityTool({"issue", "--authority", root.dir() + "ca", "--request",
                              delivery + "4.pub", "--out", delivery + "ds.crt"}),
            0);
  UserKeys u;
  u.name = "ds_user";
  u.dir = root.dir() + "ds_user/";
  HostEngine e(root, u);
  const std::string authority = root.dir() + "ca/authority.aut";
  // An authority whose UID has several dots: its directory is named by the whole UID.
  ASSERT_EQ(
      RunAuthorityTool({"create-authority", "--dir", delivery + "dotted", "--uid", "ROOT.CA.7"}),
      0);
  const std::string dotted = delivery + "dotted/authority.aut";
  const struct {
    std::string certificate, authorities;
    std::int32_t code;
  } rows[] = {
      {delivery + "missing.crt", authority, 8},
      {delivery + "ds.crt", authority + ";", 8},          // an empty piece names no certificate
      {delivery + "ds.crt", authority + ";../x.aut", 8},  // nor does a missing file
      {delivery + "ds.crt", authority + ";" + dotted, 0},
      {"%QVXRoot%/ds_user/self.crt", authority, 0},  // the own certificate itself
      {delivery + "ds.crt", "", 0},
  };
  for (const auto& r : rows)
    EXPECT_EQ(CreateDirStructure(e.get(), r.certificate.c_str(), r.authorities.c_str()), r.code)
        << r.certificate << " / " << r.authorities;
  EXPECT_TRUE(fs::is_directory(u.dir + "crt"));
  EXPECT_EQ(ReadText(u.dir + "self.crt"), ReadText(delivery + "ds.crt"));
  EXPECT_EQ(ReadText(u.dir + "sec/CA.1/0.aut"), ReadText(authority));
  EXPECT_EQ(ReadText(u.dir + "sec/ROOT.CA.7/0.aut"), ReadText(dotted));

  // An authority directory that cannot be made ends the set-up with an exception (136); the own
  // certificate, copied first, stays.
  UserKeys blocked;
  blocked.name = "ds_blocked";
  blocked.dir = root.dir() + "ds_blocked/";
  HostEngine b(root, blocked);
  fs::create_directories(blocked.dir + "sec");
  WriteText(blocked.dir + "sec/CA.1", "a file where the authority's directory would be");
  EXPECT_EQ(CreateDirStructure(b.get(), (delivery + "ds.crt").c_str(), authority.c_str()), 136);
  EXPECT_EQ(ReadText(blocked.dir + "self.crt"), ReadText(delivery + "ds.crt"));

  fs::copy_file(delivery + "0.sec", u.dir + "sec/0.sec");
  std::ofstream random(u.dir + "@rand", std::ios::binary);
  std::random_device device;
  for (int i = 0; i < 1024; ++i) random.put(static_cast<char>(device()));
  random.close();
  std::string signer;
  EXPECT_EQ(e.Verify("set up", e.Sign("set up"), &signer), 0);
  EXPECT_EQ(signer, "DS.4");
}

TEST(SignedDataFiles, LayoutAndRefusals) {
  TestRoot& root = TestRoot::Get();
  HostEngine e(root, root.User("sd_a", "SD.1"));
  ScratchDir dir;
  const std::string data = "0123456789", signature(64, 'S');
  ASSERT_EQ(SaveSignedDataToFile(e.get(), data.data(), 10, signature.data(), 64,
                                 (dir / "signed").c_str()),
            0);
  EXPECT_EQ(ReadText(dir / "signed"), std::string("\x0a\0\0\0", 4) + data + signature);
  ASSERT_EQ(SaveSignedDataToFile(e.get(), data.data(), 10, nullptr, 3, (dir / "zeros").c_str()), 0);
  EXPECT_EQ(ReadText(dir / "zeros"), std::string("\x0a\0\0\0", 4) + data + std::string(3, '\0'));
  EXPECT_EQ(SaveSignedDataToFile(e.get(), data.data(), 0, nullptr, 0, (dir / "empty").c_str()), 0);
  EXPECT_FALSE(fs::exists(dir / "empty"));
  // 4 + n + m over 2^31 - 1 is refused before anything is read or written.
  EXPECT_EQ(SaveSignedDataToFile(e.get(), data.data(), INT32_MAX - 10, signature.data(), 10,
                                 (dir / "huge").c_str()),
            105);
  EXPECT_EQ(SaveSignedDataToFile(e.get(), data.data(), 10, signature.data(), 64,
                                 (dir / "none/signed").c_str()),
            107);
  EXPECT_EQ(Names(dir.dir()), (std::vector<std::string>{"signed", "zeros"}));

  const std::pair<const char*, std::int32_t> additions[] = {
      {nullptr, 4104}, {"", 4104}, {"A.1", 4392}, {"A.1;B.2", 4680}, {"A.1;", 4680}};
  for (const auto& [list, size] : additions)
    EXPECT_EQ(GetMaxAdditionEx(e.get(), list), size) << (list ? list : "null");
}

}  // namespace
}  // namespace vornak2::testing
