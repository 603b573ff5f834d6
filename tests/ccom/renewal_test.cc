// Remote key renewal through the exports with the test authority answering: the start step, the
// authority's transfer, the finish step, and what a failed or repeated finish leaves behind.
#include <gtest/gtest.h>

#include <filesystem>

#include "host_engine.h"
#include "read_only_dir.h"
#include "scratch_dir.h"
#include "support/mimecode.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

// A renewing user, a peer and the authority's operator, who hold each other's certificates as
// the renewal needs: the operator the user's (to check the start transfer), the user and the
// peer the operator's (to check the answer), the peer the user's.
class RenewalTest : public ::testing::Test {
 protected:
  void Parties(const char* user, const char* uid) {
    TestRoot& root = TestRoot::Get();
    user_ = &root.User(user, uid);
    const UserKeys& peer = root.User(std::string(user) + "_peer", "RP.7");
    const UserKeys& op = root.User(std::string(user) + "_op", "RO.9");
    operatorName_ = op.name;
    u_ = std::make_unique<HostEngine>(root, *user_);
    p_ = std::make_unique<HostEngine>(root, peer);
    o_ = std::make_unique<HostEngine>(root, op);
    Install(*o_, user_->certFile);
    Install(*u_, op.certFile);
    Install(*p_, op.certFile);
    Install(*p_, user_->certFile);
    renewal_ = root.dir() + std::string(user) + "_renewal/";
    fs::create_directories(renewal_);
    SetRemoteGeneratePath(u_->get(), renewal_.c_str());
  }
  static void Install(const HostEngine& engine, const std::string& certificate) {
    const std::string copy = TestRoot::Get().dir() + "incoming.crt";
    // Removed first: mingw's copy_file takes any two files for one (no inode numbers on Windows)
    // and refuses to overwrite.
    fs::remove(copy);
    fs::copy_file(certificate, copy);
    ASSERT_EQ(IncludePublicKey(engine.get(), copy.c_str()), 0);
  }
  // The start step's transfer in a file; empty when the step failed.
  std::string Start(std::int32_t* mode = nullptr, const char* uid = nullptr) {
    std::string transfer(5129, '\0');
    const std::int32_t code = mode == nullptr
                                  ? RemoteGenerateStart(u_->get(), transfer.data())
                                  : RemoteGenerateStartEx(u_->get(), uid, transfer.data(), mode);
    EXPECT_EQ(code, 0);
    if (code != 0) return {};
    const std::string file = renewal_ + "../" + user_->name + "_start.txt";
    WriteText(file, transfer.c_str());
    return file;
  }
  // The authority's answer to a start transfer, as text.
  std::string Answer(const std::string& startFile) {
    const std::string answer = startFile + ".answer";
    EXPECT_EQ(RunAuthorityTool({"renew", "--authority", TestRoot::Get().dir() + "ca", "--root",
                                TestRoot::Get().dir(), "--operator", operatorName_, "--in",
                                startFile, "--out", answer}),
              0);
    return ReadText(answer);
  }
  std::string Report(const std::string& file) const {
    std::string report(2048, '\0');
    EXPECT_EQ(GetPublicKeyPropertiesByFile(u_->get(), file.c_str(), report.data()), 0) << file;
    return report.c_str();
  }

  const UserKeys* user_ = nullptr;
  std::string operatorName_;
  std::unique_ptr<HostEngine> u_, p_, o_;
  std::string renewal_;
};

// The whole renewal under the same UID: the start leaves only "key.dat" and "pub.pub", the
// working key set signs on, the finish makes the new certificate the own one, and a peer that
// installed it from the authority's transfer verifies the new key's signature.
TEST_F(RenewalTest, RenewsTheKeyThroughTheAuthority) {
  Parties("rn_same", "RN.1");
  const auto keysBefore = TreeListing(user_->dir);
  const std::string startFile = Start();
  ASSERT_FALSE(startFile.empty());
  EXPECT_EQ(Names(renewal_), (std::vector<std::string>{"key.dat", "pub.pub"}));
  EXPECT_EQ(ReadText(renewal_ + "key.dat").find("Private-Key"), std::string::npos)
      << "no secret key in clear";
  // On Windows owner-only access is an access list, which the mode does not show.
#ifndef _WIN32
  EXPECT_EQ(fs::status(renewal_ + "key.dat").permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif
  EXPECT_EQ(TreeListing(user_->dir), keysBefore) << "the working key set is unchanged";
  std::string signer;
  EXPECT_EQ(p_->Verify("before", u_->Sign("before"), &signer), 0);
  char pending[2048] = {};
  ASSERT_EQ(GetReport(u_->get(), "", pending), 0);
  EXPECT_EQ(std::string(pending).rfind("UID=RN.1\r\nKN=1\r\n", 0), 0u) << pending;

  const std::string answer = Answer(startFile);
  ASSERT_EQ(RemoteGenerateFinish(u_->get(), answer.c_str()), 0);
  EXPECT_EQ(u_->Uid(), "RN.1");
  EXPECT_EQ(Report(user_->certFile).rfind("UID=RN.1\r\nKN=1\r\n", 0), 0u)
      << "the new certificate is the own one";
  EXPECT_TRUE(fs::exists(user_->secretDir + "1.sec"));
  EXPECT_TRUE(fs::exists(user_->secretDir + "0.sec")) << "the previous key is kept";
  EXPECT_TRUE(fs::exists(user_->dir + "self.old"));
  EXPECT_FALSE(fs::exists(renewal_ + "key.dat"));

  ASSERT_EQ(IncludePublicKeyTransfer(p_->get(), answer.c_str()), 0);
  EXPECT_EQ(p_->Verify("after", u_->Sign("after"), &signer), 0);
  EXPECT_EQ(signer, "RN.1");
  EXPECT_EQ(RemoteGenerateFinish(u_->get(), answer.c_str()), 129) << "no key.dat any more";
}

// A renewal to a new UID (own UID + "0" when none is given) through the Ex exports: the old
// certificate goes into the own store under the old UID, where signatures made with the old key
// still verify; the mode reports the step done. The own certificate is named by a plain path
// with lower-case letters (not through the root macro): on Windows the finish must still find
// the UID it replaces under the name the path-to-UID cache keeps it by.
TEST_F(RenewalTest, ANewUidKeepsTheOldCertificateInTheStore) {
  Parties("rn_new", "RW.3");
  u_->Set(19, user_->certFile);
  const std::string oldSignature = "signed before the renewal";
  const auto oldSig = u_->Sign(oldSignature);
  const std::string oldCert = ReadText(user_->certFile);
  std::int32_t mode = 0;
  const std::string startFile = Start(&mode, "");
  EXPECT_EQ(mode, 1);
  const std::string answer = Answer(startFile);
  std::string uid;
  ASSERT_EQ(u_->UidOf(answer, uid), 0);
  EXPECT_EQ(uid, "RW.30");
  mode = 0;
  ASSERT_EQ(RemoteGenerateFinishEx(u_->get(), answer.c_str(), &mode), 0);
  EXPECT_EQ(mode, 1);
  EXPECT_EQ(u_->Uid(), "RW.30");
  EXPECT_EQ(ReadText(user_->certDir + "RW/@/3.crt"), oldCert);

  ASSERT_EQ(IncludePublicKeyTransfer(p_->get(), answer.c_str()), 0);
  std::string signer;
  EXPECT_EQ(p_->Verify("after", u_->Sign("after"), &signer), 0);
  EXPECT_EQ(signer, "RW.30");
  EXPECT_EQ(p_->Verify(oldSignature, oldSig, &signer), 0);
  EXPECT_EQ(signer, "RW.3");
  EXPECT_EQ(u_->Verify(oldSignature, oldSig), 0) << "the old certificate is in the own store";
}

// Interrupted finishes lose nothing: a carried file of the wrong name (108) and a secret-key
// directory that cannot be written (117) keep "key.dat" and change nothing else, and the next
// finish succeeds without overwriting the secret key files already there.
TEST_F(RenewalTest, InterruptedFinishesLoseNothing) {
  Parties("rn_break", "RB.5");
  // The mode rule on a key set that is not in place: mode 0 learns it through mode 2.
  u_->Set(2, "%QVXRoot%/rn_break/missing");
  std::int32_t mode = 0;
  std::string transfer(5129, '\0');
  EXPECT_EQ(RemoteGenerateStartEx(u_->get(), "", transfer.data(), &mode), 0);
  EXPECT_EQ(mode, 2);
  mode = 1;
  EXPECT_EQ(RemoteGenerateStartEx(u_->get(), "", transfer.data(), &mode), 9);
  u_->Set(2, "%QVXRoot%/rn_break/sec");
  // A start that fails after the key pair was generated (here: "key.dat" cannot be written)
  // leaves no key file behind.
  fs::create_directory(renewal_ + "key.dat");
  EXPECT_EQ(RemoteGenerateStart(u_->get(), transfer.data()), 129);
  EXPECT_EQ(Names(renewal_), std::vector<std::string>{"key.dat"});
  fs::remove(renewal_ + "key.dat");

  const std::string startFile = Start();
  const std::string answer = Answer(startFile);
  // The authority's certificate under another name, signed by the operator all the same.
  ScratchDir scratch;
  ASSERT_EQ(SavePublicKeyFromTransfer(o_->get(), scratch.dir().c_str(), answer.c_str()), 0);
  fs::rename(scratch / "5.crt", scratch / "renewed.crt");
  const HostEngine::Transfer misnamed = o_->TransferOfFile(scratch / "renewed.crt");
  ASSERT_EQ(misnamed.code, 0);

  const auto before = TreeListing(user_->dir);
  const std::string keyFile = ReadText(renewal_ + "key.dat");
  EXPECT_EQ(RemoteGenerateFinish(u_->get(), misnamed.text.c_str()), 108);
  {
    ReadOnlyDir locked(user_->secretDir);
    if (locked.effective()) {
      EXPECT_EQ(RemoteGenerateFinish(u_->get(), answer.c_str()), 117);
    }
  }
  EXPECT_EQ(ReadText(renewal_ + "key.dat"), keyFile);
  EXPECT_EQ(TreeListing(user_->dir), before);
  EXPECT_EQ(u_->Uid(), "RB.5");
  EXPECT_FALSE(u_->Sign("still signing").empty());

  // Secret key files of the new key's number are moved aside, never overwritten.
  WriteText(user_->secretDir + "1.sec", "an earlier key 1");
  WriteText(user_->secretDir + "1.old", "an even earlier key 1");
  ASSERT_EQ(RemoteGenerateFinish(u_->get(), answer.c_str()), 0);
  EXPECT_EQ(ReadText(user_->secretDir + "1.old"), "an even earlier key 1");
  EXPECT_EQ(ReadText(user_->secretDir + "1.old.1"), "an earlier key 1");
  EXPECT_NE(ReadText(user_->secretDir + "1.sec"), "an earlier key 1");
  EXPECT_FALSE(fs::exists(renewal_ + "key.dat"));
  ASSERT_EQ(IncludePublicKeyTransfer(p_->get(), answer.c_str()), 0);
  EXPECT_EQ(p_->Verify("renewed", u_->Sign("renewed")), 0);
}

// What a correspondent or a stale answer cannot do: the finish accepts only a certificate of the
// waiting key (the request's public key and UID) and refuses anything else before a file
// changes; no transfer is made of a secret key, whatever its file is called.
TEST_F(RenewalTest, OnlyTheWaitingKeysCertificateFinishesARenewal) {
  Parties("rn_attack", "RA.3");
  const std::string earlier = Answer(Start());  // an answer to a start that a later one replaced
  const std::string current = Answer(Start());
  // The peer, a correspondent the user knows, sends the user's current certificate under the name
  // the renewal expects.
  ScratchDir scratch;
  fs::copy_file(user_->certFile, scratch / "3.crt");
  ClearCash(p_->get());  // every test's peer is RP.7: the process-wide cache may hold another's
  const HostEngine::Transfer copied = p_->TransferOfFile(scratch / "3.crt");
  ASSERT_EQ(copied.code, 0);
  Install(*u_, TestRoot::Get().User("rn_attack_peer", "RP.7").certFile);

  const auto before = TreeListing(user_->dir);
  const std::string keyFile = ReadText(renewal_ + "key.dat");
  const struct {
    const char* what;
    const std::string& answer;
  } refused[] = {{"an answer to an earlier start", earlier},
                 {"a peer's copy of the current certificate", copied.text}};
  // The same with the request the start kept (pub.pub) and after the host removed it: the waiting
  // key itself tells its certificate.
  for (const bool requestKept : {true, false}) {
    if (!requestKept) fs::remove(renewal_ + "pub.pub");
    for (const auto& r : refused) {
      EXPECT_EQ(RemoteGenerateFinish(u_->get(), r.answer.c_str()), 109) << r.what;
      EXPECT_EQ(TreeListing(user_->dir), before) << r.what;
      EXPECT_EQ(ReadText(renewal_ + "key.dat"), keyFile) << r.what;
      EXPECT_FALSE(u_->Sign("still signing").empty()) << r.what;
    }
  }
  ASSERT_EQ(RemoteGenerateFinish(u_->get(), current.c_str()), 0);
  EXPECT_EQ(u_->Verify("renewed", u_->Sign("renewed")), 0);

  // Secret keys by their content, whatever their name: PEM, and the DER inside it; a certificate
  // named like a secret key travels.
  fs::copy_file(user_->secretDir + "0.sec", scratch / "key.txt");
  fs::copy_file(user_->secretDir + "0.sec", scratch / "upper.SEC");
  const std::string pem = ReadText(user_->secretDir + "0.sec");
  const std::size_t body = pem.find('\n') + 1;
  const std::string base64 = pem.substr(body, pem.find("-----END") - body);
  const auto der = DecodeBuffer(base64.data(), static_cast<std::int32_t>(base64.size()));
  ASSERT_FALSE(der.empty());
  WriteText(scratch / "key.der", std::string(der.begin(), der.end()));
  for (const std::string& file : {user_->secretDir + "0.sec", user_->secretDir + "1.sec",
                                  scratch / "key.txt", scratch / "upper.SEC", scratch / "key.der"})
    EXPECT_EQ(u_->TransferOfFile(file).code, 118) << file;
  fs::copy_file(user_->certFile, scratch / "c.SEC");
  EXPECT_EQ(u_->TransferOfFile(scratch / "c.SEC").code, 0);
}

}  // namespace
}  // namespace vornak2::testing
