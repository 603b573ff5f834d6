// The test authority tool end to end: its files, their permissions, and the certificate it
// issues checked through the library's entry points.
#include <gtest/gtest.h>
#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <thread>

#include "ca_test_util.h"
#include "os.h"
#include "platform/platform.h"
#include "support.h"

namespace cctest {
namespace {

// The permission bits of a file, 0 when it is missing. Windows keeps who may read a file in its
// access list, not in these bits: there only the file's presence is seen, and kOwnerOnly stands
// for any file.
#ifdef _WIN32
constexpr unsigned kOwnerOnly = 1;
unsigned Mode(const std::string& path) {
  return std::filesystem::exists(path) ? kOwnerOnly : 0;
}
#else
constexpr unsigned kOwnerOnly = 0600;
unsigned Mode(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0;
  return st.st_mode & 0777;
}
#endif

// Status of a certificate with a lookup that reads ".aut" files from a secret-key directory,
// the way the adapter finds them: SEC/<issuer>/<number>.aut.
std::int32_t StatusWithAutFiles(const std::string& certText, const std::string& secDir) {
  static thread_local std::string dir, text;
  dir = secDir;
  Ctx ctx = NewCtx();
  ctx->authorityLookup = [](const char* name, std::int32_t number) -> const char* {
    text = ReadFile(dir + "/" + name + "/" + std::to_string(number) + ".aut");
    return text.empty() ? nullptr : text.c_str();
  };
  CcCertInfo* raw = nullptr;
  const std::int32_t rc = Cc().__CertInfo(ctx.get(), certText.c_str(), &raw);
  CertInfo info(raw);
  return rc != 0 ? rc : info->status;
}

TEST(CcAuthorityTool, CreatesAuthorityAndBootstrapsUsers) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", alice = tmp.path() + "/alice",
                    bob = tmp.path() + "/bob";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.7", "--key-number", "3"}), 0);
  EXPECT_EQ(Mode(ca + "/authority.sec"), kOwnerOnly);
  ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0"}), 0);
  ASSERT_EQ(
      RunCa({"bootstrap", "--authority", ca, "--root", bob, "--uid", "AB.12", "--key-number", "4"}),
      0);

  EXPECT_EQ(Mode(alice + "/sec/0.sec"), kOwnerOnly);
  EXPECT_EQ(Mode(alice + "/@rand"), kOwnerOnly);
  EXPECT_NE(Mode(alice + "/self.crt"), 0u);
  EXPECT_NE(Mode(alice + "/sec/CA.7/3.aut"), 0u);
  EXPECT_TRUE(std::filesystem::is_directory(alice + "/crt"));
  EXPECT_TRUE(std::filesystem::is_empty(alice + "/crt"));
  EXPECT_NE(Mode(bob + "/sec/4.sec"), 0u);

  // The user's certificate is valid through the library, with the authority from the .aut file.
  const std::string aliceCert = ReadFile(alice + "/self.crt");
  EXPECT_EQ(StatusWithAutFiles(aliceCert, alice + "/sec"), 0);
  // Without the authority file the issuer is missing.
  EXPECT_EQ(StatusWithAutFiles(aliceCert, tmp.path()), CC_E_AUTHORITY_NOT_FOUND);

  // The secret key and the certificate belong together: a signature verifies.
  std::mt19937 rng(5);
  const auto data = RandomBytes(500, rng);
  Ctx ctx = NewCtx();
  const auto sig = SignChunked(ctx.get(), ReadFile(alice + "/sec/0.sec"), data);
  EXPECT_EQ(VerifyChunked(ctx.get(), aliceCert, data, sig.data()), 0);

  // Alice's certificate lands in Bob's store at its UID's path.
  ASSERT_EQ(RunCa({"install-cert", "--cert", alice + "/self.crt", "--root", bob}), 0);
  EXPECT_EQ(ReadFile(bob + "/crt/H/@/0.crt"), aliceCert);
  ASSERT_EQ(RunCa({"install-cert", "--cert", bob + "/self.crt", "--root", alice}), 0);
  EXPECT_EQ(StatusWithAutFiles(ReadFile(alice + "/crt/AB/@/1/2.crt"), alice + "/sec"), 0);

  // A second bootstrap does not overwrite the secret key without --force.
  const std::string before = ReadFile(alice + "/sec/0.sec");
  EXPECT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0"}), 1);
  EXPECT_EQ(ReadFile(alice + "/sec/0.sec"), before);
  EXPECT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", alice, "--uid", "H.0", "--force"}), 0);
  EXPECT_NE(ReadFile(alice + "/sec/0.sec"), before);
}

TEST(CcAuthorityTool, IssuesCertificatesFromRequests) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", keys = tmp.path() + "/keys";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", keys, "--uid", "K.5", "--key-number", "2"}), 0);
  EXPECT_EQ(Mode(keys + "/2.sec"), kOwnerOnly);
  const std::string secDir = tmp.path() + "/sec";
  std::filesystem::create_directories(secDir + "/CA.0");
  std::filesystem::copy_file(ca + "/authority.aut", secDir + "/CA.0/0.aut");

  struct Case {
    std::vector<std::string> extra;
    std::int32_t status;
  } const cases[] = {
      {{}, 0},
      {{"--days", "30"}, 0},
      {{"--not-before", "01.01.2001 00:00", "--not-after", "02.01.2001 00:00"}, -1},  // outside
      {{"--not-before", "01.01.2020 00:00", "--not-after", "01.01.2099 00:00"}, 0},   // clipped
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {
        "issue", "--authority", ca, "--request", keys + "/5.pub", "--out", tmp.path() + "/k.crt"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    std::filesystem::remove(tmp.path() + "/k.crt");
    if (c.status < 0) {
      EXPECT_EQ(RunCa(args), 1);
      EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/k.crt"));
      continue;
    }
    ASSERT_EQ(RunCa(args), 0);
    EXPECT_EQ(StatusWithAutFiles(ReadFile(tmp.path() + "/k.crt"), secDir), c.status);
  }
  // The index lists the three certificates issued, by serial number, UID and key number.
  const std::string index = ReadFile(ca + "/index.txt");
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = index.find("\tK.5\t2\t", at)) != std::string::npos; ++at) ++lines;
  EXPECT_EQ(lines, 3u) << index;
  cc::PublicDocument last;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(tmp.path() + "/k.crt"), last), 0);
  std::string line = "\n";
  line.append(cc::HexEncode(last.serial)).append("\tK.5\t2\t");
  line.append(cc::FormatDate(last.notBefore)).append("\t").append(cc::FormatDate(last.notAfter));
  EXPECT_NE(index.find(line), std::string::npos) << index;
}

// The authority's next key: a complete authority in the new directory that shares the
// authority's index, and the CA certificate of the next key signed by the current one, valid no
// longer than the current key.
TEST(CcAuthorityTool, RollsOverToTheNextKey) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", next = tmp.path() + "/ca-next";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.3", "--key-number", "4", "--days",
                   "30"}),
            0);
  ASSERT_EQ(RunCa({"rollover", "--authority", ca, "--out", next}), 0);
  EXPECT_EQ(Mode(next + "/authority.sec"), kOwnerOnly);
  EXPECT_EQ(RunCa({"rollover", "--authority", ca, "--out", next}), 1);  // exists already
  EXPECT_EQ(RunCa({"rollover", "--authority", ca, "--out", tmp.path() + "/x", "--key-number", "4"}),
            2);

  cc::PublicDocument current, self, rollover;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(ca + "/authority.aut"), current), 0);
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(next + "/authority.aut"), self), 0);
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(next + "/rollover.aut"), rollover), 0);
  EXPECT_TRUE(self.SelfIssued() && self.authority);
  EXPECT_EQ(self.keyNumber, 5);
  EXPECT_TRUE(rollover.authority);
  EXPECT_EQ(rollover.uid, "CA.3");
  EXPECT_EQ(rollover.keyNumber, 5);
  EXPECT_EQ(rollover.issuerKeyNumber, 4);
  EXPECT_EQ(rollover.publicKey, self.publicKey);
  EXPECT_EQ(rollover.authorityKeyId, current.keyId);
  EXPECT_TRUE(cc::VerifyDocument(rollover, current.curve, current.publicKey));
  EXPECT_FALSE(cc::VerifyDocument(rollover, self.curve, self.publicKey));
  // The next key's own certificate has the validity asked for (ten years); the roll-over, which
  // the current key certifies, ends with the current key (30 days).
  EXPECT_NEAR(static_cast<double>(self.notAfter - self.notBefore), 3650.0 * 24 * 60, 1.0);
  EXPECT_EQ(rollover.notAfter, current.notAfter);
  EXPECT_GE(rollover.notBefore, current.notBefore);
  // One index: the next key names the authority's, where the roll-over is entered.
  EXPECT_EQ(ReadFile(next + "/index.ref"), "../ca\n");
  EXPECT_FALSE(std::filesystem::exists(next + "/index.txt"));
  const auto index = IndexCertificates(ReadFile(ca + "/index.txt"));
  ASSERT_TRUE(index.contains(cc::HexEncode(rollover.serial)));
  EXPECT_NE(index.at(cc::HexEncode(rollover.serial)).find("\tCA.3\t5\t"), std::string::npos);
  EXPECT_TRUE(index.at(cc::HexEncode(rollover.serial)).ends_with("\t-\t4"));

  // The next key issues certificates that check against its own authority certificate, and
  // enters them in the one index; a key it rolls over to names that index too.
  ASSERT_EQ(RunCa({"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1"}), 0);
  ASSERT_EQ(RunCa({"issue", "--authority", next, "--request", tmp.path() + "/k/1.pub", "--out",
                   tmp.path() + "/k.crt"}),
            0);
  std::filesystem::create_directories(tmp.path() + "/sec/CA.3");
  std::filesystem::copy_file(next + "/authority.aut", tmp.path() + "/sec/CA.3/5.aut");
  EXPECT_EQ(StatusWithAutFiles(ReadFile(tmp.path() + "/k.crt"), tmp.path() + "/sec"), 0);
  cc::PublicDocument issued;
  ASSERT_EQ(cc::ParsePublicDocument(ReadFile(tmp.path() + "/k.crt"), issued), 0);
  EXPECT_TRUE(IndexCertificates(ReadFile(ca + "/index.txt"))
                  .at(cc::HexEncode(issued.serial))
                  .ends_with("\t-\t5"));
  ASSERT_EQ(RunCa({"rollover", "--authority", next, "--out", tmp.path() + "/ca-third"}), 0);
  EXPECT_EQ(ReadFile(tmp.path() + "/ca-third/index.ref"), "../ca\n");

  // A key number the authority has already (key 5 made from key 4 once, key 4 its first) is
  // refused, and nothing changes.
  const Tree before = ListTree(tmp.path());
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"rollover", "--authority", ca, "--out", tmp.path() + "/again"},
        std::vector<std::string>{"rollover", "--authority", next, "--out", tmp.path() + "/again",
                                 "--key-number", "4"}}) {
    std::string output;
    EXPECT_EQ(RunCa(args, &output), 1) << output;
    EXPECT_NE(output.find("has a key"), std::string::npos) << output;
    EXPECT_EQ(ListTree(tmp.path()), before) << args[2];
  }
}

// Renewals through the library: the user's start step (the host tool) signs the request, and the
// authority issues only for the UID of whoever signed it, the UID its start step derives, or the
// one UID the operator names; an issued UID never goes to a second key holder. A refusal leaves
// no answer and the index as it was.
TEST(CcAuthorityTool, RenewsOnlyForTheSenderItsDerivedUidOrTheNamedUid) {
#ifndef HOST_TOOL_PATH
  GTEST_SKIP() << "built without the host tool";
#else
  TempDir tmp;
  // Paths in the system's own form: the library expands them as given.
  const auto native = [&](std::string path) {
    std::replace(path.begin(), path.end(), '/', vornak2::platform::kPathSeparator);
    return tmp.path() + vornak2::platform::kPathSeparator + path;
  };
  const std::string root = native("root/"), ca = native("root/ca"),
                    index = native("root/ca/index.txt");
  const std::filesystem::path library(CC_LIBRARY_PATH);
  std::filesystem::create_directories(native("root/EXE"));
  std::filesystem::copy_file(library, native("root/EXE/" + library.filename().string()));
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.1"}), 0);
  const std::map<std::string, std::string> uids = {
      {"operator", "OP.1"}, {"alice", "A.1"}, {"bob", "H.2"}};
  for (const auto& [name, uid] : uids)
    ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", root + name, "--uid", uid}), 0);
  for (const char* name : {"alice", "bob"})
    ASSERT_EQ(RunCa({"install-cert", "--cert", native("root/" + std::string(name) + "/self.crt"),
                     "--root", root + "operator"}),
              0);
  // The index so far in the older format, without key digests and holders.
  {
    std::string old, line;
    std::istringstream lines(ReadFile(index));
    while (std::getline(lines, line)) {
      if (line.starts_with("# end")) continue;  // older indexes have no closing line
      std::size_t at = 0;
      for (int tab = 0; tab < 6 && at != std::string::npos; ++tab) at = line.find('\t', at + 1);
      old += line.substr(0, at) + "\n";
    }
    std::ofstream(index, std::ios::binary | std::ios::trunc) << old;
  }
  // carol's UID, issued by the operator's own act in the current format.
  ASSERT_EQ(RunCa({"bootstrap", "--authority", ca, "--root", root + "carol", "--uid", "C.3"}), 0);

  int run = 0;
  // A renewal started by `user` (for `startUid` when given), answered with `extra` arguments.
  const auto renew = [&](const std::string& user, const std::optional<std::string>& startUid,
                         const std::vector<std::string>& extra, std::string& answer,
                         std::string& output) {
    const std::string dir = native("renewal-" + std::to_string(++run));
    const std::string request = dir + ".txt";
    answer = dir + "-answer.txt";
    std::filesystem::create_directories(dir);
    std::vector<std::string> start = {"renew-start", "--root", root,    "--user", user,
                                      "--dir",       dir,      "--out", request};
    if (startUid) start.insert(start.end(), {"--uid", *startUid});
    EXPECT_EQ(RunTool(HOST_TOOL_PATH, start, &output), 0) << output;
    std::vector<std::string> args = {"renew", "--authority", ca,         "--root",
                                     root,    "--operator",  "operator", "--in",
                                     request, "--out",       answer};
    args.insert(args.end(), extra.begin(), extra.end());
    return RunTool(CA_TOOL_PATH, args, &output);
  };

  struct Case {
    const char* what;
    std::string user;
    std::optional<std::string> startUid;  // the start step's --uid
    std::vector<std::string> extra;       // the authority's extra arguments
    std::string issued;                   // the UID issued; empty: refused
  } const cases[] = {
      {"own UID", "bob", std::nullopt, {}, "H.2"},
      {"derived UID", "bob", "", {}, "H.20"},
      {"derived UID again, for its recorded holder", "bob", "", {}, "H.20"},
      {"another user's UID", "alice", "H.2", {}, ""},
      {"another user's UID (older index line), named", "alice", "H.2", {"--uid", "H.2"}, ""},
      {"a UID issued by the operator, named", "alice", "C.3", {"--uid", "C.3"}, ""},
      {"a new UID, named", "alice", "A.7", {"--uid", "A.7"}, "A.7"},
      {"that UID for a second key holder, named", "bob", "A.7", {"--uid", "A.7"}, ""},
      {"the own UID where the operator named another", "alice", std::nullopt, {"--uid", "A.7"}, ""},
      {"its holder renews that UID", "alice", "A.7", {"--uid", "A.7"}, "A.7"},
  };
  for (const Case& c : cases) {
    const Tree authority = ListTree(ca);
    const std::string before = ReadFile(index);
    std::string answer, output;
    const int exit = renew(c.user, c.startUid, c.extra, answer, output);
    const std::string after = ReadFile(index);
    if (c.issued.empty()) {
      EXPECT_EQ(exit, 1) << c.what << ": " << output;
      EXPECT_NE(output.find("refused"), std::string::npos) << c.what << ": " << output;
      EXPECT_FALSE(std::filesystem::exists(answer)) << c.what;
      EXPECT_EQ(ListTree(ca), authority) << c.what;
      continue;
    }
    EXPECT_EQ(exit, 0) << c.what << ": " << output;
    EXPECT_TRUE(std::filesystem::exists(answer)) << c.what;
    // One line more: the UID issued, its key's digest, the sender as holder, the issuing key.
    const auto was = IndexCertificates(before), now = IndexCertificates(after);
    EXPECT_EQ(now.size(), was.size() + 1) << c.what;
    std::string line;
    for (const auto& [serial, text] : now)
      if (!was.contains(serial)) line = text;
    EXPECT_NE(line.find("\t" + c.issued + "\t"), std::string::npos) << c.what << ": " << line;
    EXPECT_TRUE(line.ends_with("\t" + uids.at(c.user) + "\t0")) << c.what << ": " << line;
  }
#endif
}

// The impersonation through an authority's keys: after the roll-over, dave gets H.20 from key 0
// (his renewal, for the UID the operator allows him); bob (H.2) then asks key 1 for the UID his
// start step derives, H.20. Key 1 reads the authority's one index, where dave holds H.20: refused,
// and neither the authority's directories nor the answer's place change. bob's own UID at key 1
// is still his, entered in that index.
TEST(CcAuthorityTool, OneIndexForAllKeysAUidGoesOnlyToItsHolder) {
#ifndef HOST_TOOL_PATH
  GTEST_SKIP() << "built without the host tool";
#else
  TempDir tmp;
  const Deployment d(tmp.path(), {{"bob", "H.2"}, {"dave", "D.4"}});
  const std::string work = Native(tmp.path() + "/work/");
  std::filesystem::create_directories(work);
  std::string output;
  d.Start("dave", "H.20", work + "dave.txt");
  ASSERT_EQ(
      RunCa(d.Answer(0, work + "dave.txt", work + "dave-answer.txt", {"--uid", "H.20"}), &output),
      0)
      << output;

  d.Start("bob", "", work + "bob.txt");
  const Tree key0 = ListTree(d.Key(0)), key1 = ListTree(d.Key(1));
  EXPECT_EQ(RunCa(d.Answer(1, work + "bob.txt", work + "bob-answer.txt"), &output), 1) << output;
  EXPECT_NE(output.find("refused: the UID H.20 was issued to another key holder"),
            std::string::npos)
      << output;
  EXPECT_EQ(ListTree(d.Key(0)), key0);
  EXPECT_EQ(ListTree(d.Key(1)), key1);
  EXPECT_FALSE(std::filesystem::exists(work + "bob-answer.txt"));

  d.Start("bob", std::nullopt, work + "bob-own.txt");
  ASSERT_EQ(RunCa(d.Answer(1, work + "bob-own.txt", work + "bob-own-answer.txt"), &output), 0)
      << output;
  const auto before = IndexCertificates(key0.at("index.txt"));
  const auto after = IndexCertificates(ReadFile(d.Key(0) + "/index.txt"));
  ASSERT_EQ(after.size(), before.size() + 1);
  for (const auto& [serial, line] : after)
    if (!before.contains(serial)) {
      EXPECT_TRUE(line.ends_with("\tH.2\t1")) << line;
    }
#endif
}

// An index that is missing, empty, cut short or damaged, and a key that keeps an index of its
// own (a roll-over of an earlier version), stop every command that reads the index: it exits
// with 1, says why, and nothing in the authority's directories or at the output changes.
TEST(CcAuthorityTool, DamagedIndexStopsEveryCommandThatReadsIt) {
  namespace fs = std::filesystem;
  using Damage = std::function<void(const std::string& dir)>;
  const auto rewrite = [](auto change) {
    return [change](const std::string& dir) {
      const std::string path = dir + "/ca/index.txt";
      const std::string text = change(ReadFile(path));
      std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    };
  };
  const auto withoutLastLines = [](std::size_t n) {
    return [n](std::string text) {
      for (std::size_t i = 0; i < n; ++i) text.erase(text.rfind('\n', text.size() - 2) + 1);
      return text;
    };
  };
  struct Case {
    const char* what;
    Damage damage;
    std::vector<std::string> command;  // "DIR" stands for the test's directory
    const char* says;
  } const cases[] = {
      {"missing",
       [](const std::string& dir) { fs::remove(dir + "/ca/index.txt"); },
       {"issue", "--authority", "DIR/ca-1", "--request", "DIR/keys/5.pub", "--out", "DIR/k.crt"},
       "is missing"},
      {"empty",
       rewrite([](const std::string&) { return std::string(); }),
       {"issue", "--authority", "DIR/ca", "--request", "DIR/keys/5.pub", "--out", "DIR/k.crt"},
       "is empty"},
      {"cut inside a line",
       rewrite([](const std::string& t) { return t.substr(0, t.size() - 5); }),
       {"bootstrap", "--authority", "DIR/ca-1", "--root", "DIR/user", "--uid", "U.1"},
       "ends inside a line"},
      {"cut at the end of a line",
       rewrite(withoutLastLines(1)),
       {"issue", "--authority", "DIR/ca-1", "--request", "DIR/keys/5.pub", "--out", "DIR/k.crt"},
       "lacks its closing line"},
      {"cut at the end of a line, two lines lost",
       rewrite(withoutLastLines(2)),
       {"rollover", "--authority", "DIR/ca-1", "--out", "DIR/ca-2"},
       "lacks its closing line"},
      {"a line removed",
       rewrite([](std::string t) {
         const std::size_t second = t.find('\n') + 1;
         return t.erase(second, t.find('\n', second) + 1 - second);
       }),
       {"crl", "--authority", "DIR/ca"},
       "where its closing line counts 2"},
      {"a line the authority does not write",
       rewrite([](std::string t) { return t.insert(t.find('\n') + 1, "not\tan\tindex line\n"); }),
       {"issue", "--authority", "DIR/ca", "--request", "DIR/keys/5.pub", "--out", "DIR/k.crt"},
       "is damaged at line 2"},
      {"a roll-over of an earlier version, with an index of its own",
       [](const std::string& dir) {
         fs::remove(dir + "/ca-1/index.ref");
         fs::copy_file(dir + "/ca/index.txt", dir + "/ca-1/index.txt");
       },
       {"issue", "--authority", "DIR/ca-1", "--request", "DIR/keys/5.pub", "--out", "DIR/k.crt"},
       "keeps an index of its own"},
  };
  for (const Case& c : cases) {
    TempDir tmp;
    const std::string dir = tmp.path();
    ASSERT_EQ(RunCa({"create-authority", "--dir", dir + "/ca", "--uid", "CA.1"}), 0);
    ASSERT_EQ(RunCa({"rollover", "--authority", dir + "/ca", "--out", dir + "/ca-1"}), 0);
    ASSERT_EQ(RunCa({"keygen", "--dir", dir + "/keys", "--uid", "K.5"}), 0);
    ASSERT_EQ(RunCa({"issue", "--authority", dir + "/ca", "--request", dir + "/keys/5.pub", "--out",
                     dir + "/first.crt"}),
              0);
    c.damage(dir);
    const Tree before = ListTree(dir);
    std::vector<std::string> args = c.command;
    for (std::string& arg : args)
      if (arg.starts_with("DIR")) arg.replace(0, 3, dir);
    std::string output;
    EXPECT_EQ(RunCa(args, &output), 1) << c.what << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.what << ": " << output;
    EXPECT_NE(output.find("REPAIRING THE INDEX"), std::string::npos) << c.what << ": " << output;
    EXPECT_EQ(ListTree(dir), before) << c.what;
  }
}

// Revocations: a certificate is revoked with the key that issued it, given as its file or by its
// serial number, and that key's CRL, DIR/N.crl, is written anew with a CRL number one above its
// last. A refusal exits with 1 and changes nothing.
TEST(CcAuthorityTool, RevokesWithTheIssuingKeyAndListsInItsCrl) {
  TempDir tmp;
  const std::string dir = tmp.path();
  ASSERT_EQ(RunCa({"create-authority", "--dir", dir + "/ca", "--uid", "CA.1"}), 0);
  ASSERT_EQ(RunCa({"rollover", "--authority", dir + "/ca", "--out", dir + "/ca-1"}), 0);
  ASSERT_EQ(RunCa({"create-authority", "--dir", dir + "/other", "--uid", "X.1"}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", dir + "/keys", "--uid", "K.5"}), 0);
  const std::map<std::string, std::string> issued = {
      {"a", "ca"}, {"b", "ca"}, {"c", "ca-1"}, {"x", "other"}};
  std::map<std::string, std::string> serial;
  for (const auto& [name, key] : issued) {
    ASSERT_EQ(RunCa({"issue", "--authority", dir + "/" + key, "--request", dir + "/keys/5.pub",
                     "--out", dir + "/" + name + ".crt"}),
              0);
    cc::PublicDocument cert;
    ASSERT_EQ(cc::ParsePublicDocument(ReadFile(dir + "/" + name + ".crt"), cert), 0);
    serial[name] = cc::HexEncode(cert.serial);
  }
  std::string lower = serial["c"];
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char ch) { return static_cast<char>(std::tolower(ch)); });

  struct Case {
    const char* what;
    std::vector<std::string> args;  // after "revoke" or "crl"; "DIR" stands for the directory
    int exit;
    const char* says;
  } const cases[] = {
      {"by its file",
       {"revoke", "--authority", "DIR/ca", "--cert", "DIR/a.crt"},
       0,
       "CRL number 1"},
      {"again", {"revoke", "--authority", "DIR/ca", "--cert", "DIR/a.crt"}, 1, "revoked already"},
      {"with another key of the authority",
       {"revoke", "--authority", "DIR/ca-1", "--cert", "DIR/b.crt"},
       1,
       "issued by key 0"},
      {"by its serial number, with another key",
       {"revoke", "--authority", "DIR/ca", "--serial", serial["c"]},
       1,
       "issued by key 1"},
      {"a serial number never issued",
       {"revoke", "--authority", "DIR/ca", "--serial", "00AA"},
       1,
       "holds no certificate"},
      {"another authority's certificate",
       {"revoke", "--authority", "DIR/ca", "--cert", "DIR/x.crt"},
       1,
       "not issued by CA.1"},
      {"by its serial number in lower case",
       {"revoke", "--authority", "DIR/ca-1", "--serial", lower},
       0,
       "1.crl (CRL number 1, 1 revoked"},
      {"the CRL again", {"crl", "--authority", "DIR/ca"}, 0, "CRL number 2, 1 revoked"},
      {"neither file nor serial number", {"revoke", "--authority", "DIR/ca"}, 2, "either"},
      {"both",
       {"revoke", "--authority", "DIR/ca", "--cert", "DIR/b.crt", "--serial", "00AA"},
       2,
       "either"},
      {"a serial number that is no number",
       {"revoke", "--authority", "DIR/ca", "--serial", "xyz"},
       2,
       "bad --serial"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = c.args;
    for (std::string& arg : args)
      if (arg.starts_with("DIR")) arg.replace(0, 3, dir);
    const Tree before = ListTree(dir);
    std::string output;
    EXPECT_EQ(RunCa(args, &output), c.exit) << c.what << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.what << ": " << output;
    if (c.exit != 0) {
      EXPECT_EQ(ListTree(dir), before) << c.what;
    }
  }
  const std::string index = ReadFile(dir + "/ca/index.txt");
  for (const std::string& line :
       {"revoked\t" + serial["a"] + "\t0\t", "revoked\t" + serial["c"] + "\t1\t",
        std::string("crl\t0\t1\t"), std::string("crl\t1\t1\t"), std::string("crl\t0\t2\t")})
    EXPECT_NE(index.find("\n" + line), std::string::npos) << line << " in\n" << index;
  EXPECT_EQ(index.find(serial["b"] + "\t0\t"), std::string::npos) << "b is not revoked";
  EXPECT_TRUE(ReadFile(dir + "/ca/0.crl").starts_with("-----BEGIN X509 CRL-----\n"));
  EXPECT_TRUE(ReadFile(dir + "/ca-1/1.crl").starts_with("-----BEGIN X509 CRL-----\n"));
}

// Files of others in the directories the authority changes, named like its staged files or its
// change records, survive its commands; a record it did not write is never obeyed: the command
// stops, says why, and changes nothing.
TEST(CcAuthorityTool, LeavesOthersFilesAndObeysOnlyItsOwnRecords) {
  namespace fs = std::filesystem;
  TempDir tmp;
  const std::string dir = tmp.path(), ca = dir + "/ca";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.1"}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", dir + "/keys", "--uid", "K.5"}), 0);
  const std::string token = "00112233445566778899AABBCCDDEEFF";
  const auto plant = [](const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
  };
  for (const std::string& name :
       {"/.index.txt." + token + ".tmp", std::string("/x.tmp"),
        std::string("/.vornak2-ca.notatoken.change"), "/.vornak2-ca." + token + ".scratch.txt"})
    plant(ca + name, "a file of the host's");
  plant(dir + "/keys/.5.pub." + token + ".tmp", "a file of the host's");
  const auto issue = [&](std::string* output) {
    return RunCa(
        {"issue", "--authority", ca, "--request", dir + "/keys/5.pub", "--out", dir + "/k.crt"},
        output);
  };
  Tree before = ListTree(dir);
  ASSERT_EQ(issue(nullptr), 0);
  const Tree after = ListTree(dir);
  for (const auto& [name, content] : before)
    if (content == "a file of the host's") {
      EXPECT_TRUE(after.contains(name) && after.at(name) == content) << name;
    }

  // A committed record naming a victim and a staged file for it: obeyed, it would replace the
  // victim.
  const std::string victim = dir + "/victim.txt";
  plant(victim, "the victim");
  plant(dir + "/.victim.txt." + token + ".tmp", "the attacker's");
  const std::string record = "vornak2-ca change 1\ntoken " + token +
                             "\ncommand x\nmessage x\nfile 0644 " + fs::absolute(victim).string() +
                             "\nend\n";
  struct Case {
    const char* what;
    std::string name, text;
    bool otherAccount;
    const char* says;
  } const cases[] = {
      {"a record this tool does not write", ".vornak2-ca." + token + ".change", "hello\n", false,
       "is not one this tool writes"},
      {"a record of another account", ".vornak2-ca." + token + ".commit", record, true,
       "is not a file of this account's"},
  };
  for (const Case& c : cases) {
#ifndef _WIN32
    if (c.otherAccount && ::geteuid() != 0) continue;  // only root can give a file away
#else
    if (c.otherAccount) continue;  // the owner of a record is not compared on Windows
#endif
    const std::string path = ca + "/" + c.name;
    plant(path, c.text);
#ifndef _WIN32
    if (c.otherAccount) {
      ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
    }
#endif
    before = ListTree(dir);
    std::string output;
    EXPECT_EQ(issue(&output), 1) << c.what << ": " << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << c.what << ": " << output;
    EXPECT_EQ(ListTree(dir), before) << c.what;
    fs::remove(path);
  }
  EXPECT_EQ(ReadFile(victim), "the victim");
}

// Two commands never extend the index from the same old copy: every key of an authority locks
// the directory of its one index (a lock that leaves no file), a command waits while another
// holds it, and what it writes comes after what the other wrote.
TEST(CcAuthorityTool, WaitsForTheAuthoritysLock) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca", next = tmp.path() + "/ca-1",
                    out = tmp.path() + "/k.crt";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  ASSERT_EQ(RunCa({"rollover", "--authority", ca, "--out", next}), 0);
  ASSERT_EQ(RunCa({"keygen", "--dir", tmp.path() + "/keys", "--uid", "K.5"}), 0);
  const Tree before = ListTree(ca);
  ca::DirLock lock;
  ASSERT_EQ(lock.TryLock(ca), ca::DirLock::Attempt::kLocked);
  int exit = -1;
  std::thread issue([&] {
    exit = RunCa(
        {"issue", "--authority", next, "--request", tmp.path() + "/keys/5.pub", "--out", out});
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_FALSE(std::filesystem::exists(out));
  EXPECT_EQ(ListTree(ca), before);
  lock.Unlock();
  issue.join();
  EXPECT_EQ(exit, 0);
  EXPECT_NE(ReadFile(ca + "/index.txt").find("\tK.5\t0\t"), std::string::npos);
  const Tree after = ListTree(ca);
  EXPECT_EQ(Names(after), Names(before)) << "the lock leaves no file";
}

// Public files (certificates, requests, authority certificates) are created 0644 with the umask
// applied; secret files and the random state are 0600 whatever the umask.
TEST(CcAuthorityTool, PublicFilesFollowTheUmaskSecretFilesStayOwnerOnly) {
#ifdef _WIN32
  GTEST_SKIP() << "Windows has no umask; who may read a file is in its access list";
#else
  const struct {
    mode_t umask;
    unsigned publicMode;
  } cases[] = {{022, 0644}, {077, 0600}, {027, 0640}, {0, 0644}};
  for (const auto& c : cases) {
    TempDir tmp;
    const std::string ca = tmp.path() + "/ca", user = tmp.path() + "/user",
                      keys = tmp.path() + "/keys";
    const mode_t saved = ::umask(c.umask);
    const bool made =
        RunCa({"create-authority", "--dir", ca, "--uid", "CA.1"}) == 0 &&
        RunCa({"bootstrap", "--authority", ca, "--root", user, "--uid", "U.1"}) == 0 &&
        RunCa({"keygen", "--dir", keys, "--uid", "K.5"}) == 0 &&
        RunCa({"issue", "--authority", ca, "--request", keys + "/5.pub", "--out",
               keys + "/k.crt"}) == 0;
    ::umask(saved);
    ASSERT_TRUE(made) << std::oct << c.umask;
    for (const std::string& file : {ca + "/authority.aut", user + "/self.crt",
                                    user + "/sec/CA.1/0.aut", keys + "/5.pub", keys + "/k.crt"})
      EXPECT_EQ(Mode(file), c.publicMode) << file << " under umask " << std::oct << c.umask;
    for (const std::string& file :
         {ca + "/authority.sec", user + "/sec/0.sec", user + "/@rand", keys + "/0.sec"})
      EXPECT_EQ(Mode(file), 0600u) << file << " under umask " << std::oct << c.umask;
  }
#endif
}

TEST(CcAuthorityTool, BadInputFailsWithClearExitCodes) {
  TempDir tmp;
  const std::string ca = tmp.path() + "/ca";
  ASSERT_EQ(RunCa({"create-authority", "--dir", ca, "--uid", "CA.0"}), 0);
  std::filesystem::create_directories(tmp.path() + "/junk");
  {
    std::FILE* f = std::fopen((tmp.path() + "/junk/bad.pub").c_str(), "w");
    std::fputs("not a request\n", f);
    std::fclose(f);
  }
  struct Case {
    std::vector<std::string> args;
    int exit;
  } const cases[] = {
      {{}, 2},
      {{"frobnicate"}, 2},
      {{"create-authority", "--dir", ca}, 2},                                 // no UID
      {{"create-authority", "--dir", ca, "--uid", "CA.0"}, 1},                // exists already
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "a b"}, 2},  // bad UID
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "X.1", "--days", "0"}, 2},
      {{"create-authority", "--dir", tmp.path() + "/x", "--uid", "X.1", "--curve", "p256"}, 2},
      {{"bootstrap", "--authority", tmp.path() + "/none", "--root", tmp.path() + "/r", "--uid",
        "H.0"},
       1},
      {{"bootstrap", "--authority", ca, "--root", tmp.path() + "/r", "--uid", "H.0", "--key-number",
        "x"},
       2},
      {{"issue", "--authority", ca, "--request", tmp.path() + "/junk/bad.pub", "--out",
        tmp.path() + "/o.crt"},
       1},
      {{"issue", "--authority", ca, "--request", tmp.path() + "/missing.pub", "--out",
        tmp.path() + "/o.crt"},
       1},
      {{"install-cert", "--cert", tmp.path() + "/junk/bad.pub", "--root", tmp.path() + "/r"}, 1},
      {{"install-cert", "--cert", ca + "/authority.aut"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--unknown", "1"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "stray"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--uid", "K.2"}, 2},
      {{"keygen", "--dir", tmp.path() + "/k", "--uid", "K.1", "--days"}, 2},
      {{"keygen", "--dir=" + tmp.path() + "/k2", "--uid=K.2", "--days=30"}, 0},
      {{"issue", "--authority", ca, "--request", tmp.path() + "/k2/2.pub", "--out",
        tmp.path() + "/k2"},
       1},  // the output is a directory
      {{"crl", "--authority", tmp.path() + "/none"}, 1},
      {{"revoke", "--authority", ca}, 2},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const auto& a : c.args) joined += a + " ";
    EXPECT_EQ(RunCa(c.args), c.exit) << joined;
  }
  EXPECT_FALSE(std::filesystem::exists(tmp.path() + "/o.crt"));
  EXPECT_EQ(RunCa({"--help"}), 0);
}

}  // namespace
}  // namespace cctest
