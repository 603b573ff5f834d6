// What the operations leave in the directories a host names. Every operation that touches key,
// certificate, store, renewal, template or output directories runs once as it succeeds and once
// as it is refused, and the whole root is listed before and after: nothing appears, changes or
// goes but what the operation is meant to write. Every one of those directories holds files of the
// host's named like temporaries and change records, and two change records of this library's
// form planted by someone else (one naming another directory's key, one naming a file outside its
// own directory): all of them stay as they were through every operation.
#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <functional>
#include <set>

#include "host_engine.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "stop_walk_ops.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;
using stopwalk::Files;
using stopwalk::Native;

// What an operation changed, one line a file: "+ added", "- removed", "~ changed" (the random
// state, which many operations rewrite, only when it appears or goes).
std::set<std::string> Delta(const Files& before, const Files& after) {
  std::set<std::string> delta;
  for (const auto& [file, content] : after) {
    const auto was = before.find(file);
    if (was == before.end())
      delta.insert("+ " + file);
    else if (was->second != content && fs::path(file).filename() != "@rand")
      delta.insert("~ " + file);
  }
  for (const auto& [file, content] : before)
    if (!after.contains(file)) delta.insert("- " + file);
  return delta;
}

std::string Record(const std::string& token, const std::string& dir, const std::string& step) {
  auto text = [](const std::string& t) { return std::to_string(t.size()) + ":" + t; };
  return "VORNAK2 CHANGE 2\ntoken " + text(token) + "\ndir " + text(dir) + "\nstep 0 " + step +
         "\nprepared\ncommit\n";
}

TEST(CallerDirectories, OperationsWriteOnlyWhatTheyAreMeantTo) {
  TestRoot& root = TestRoot::Get();
  const std::string r = root.dir();
  const UserKeys& a = root.User("cd_a", "CD.1");
  const UserKeys& b = root.User("cd_b", "CD.2");
  const UserKeys& op = root.User("cd_op", "CD.9");
  const UserKeys& c = root.User("cd_c", "CD.3");
  HostEngine ea(root, a), eb(root, b), eo(root, op);
  const std::string outbox = a.dir + "outbox" + Native("/");
  for (const char* sub : {"keygen", "renewal", "outbox", "sec/CA.1", "crt/CD/@"})
    fs::create_directories(a.dir + Native(sub));
  ea.Set(14, Native("%QVXRoot%/cd_a/keygen"));  // the template directory stays the root
  SetRemoteGeneratePath(ea.get(), (a.dir + Native("renewal/")).c_str());
  auto copy = [](const std::string& from, const std::string& to) {
    fs::remove(to);
    fs::copy_file(from, to);
    return to;
  };
  // The operator and alice know each other (the renewal answer travels signed by the operator).
  ASSERT_EQ(IncludePublicKey(eo.get(), copy(a.certFile, op.dir + "a.crt").c_str()), 0);
  ASSERT_EQ(IncludePublicKey(ea.get(), copy(op.certFile, a.dir + "op.crt").c_str()), 0);
  ASSERT_EQ(IncludePublicKey(eb.get(), copy(a.certFile, b.dir + "a.crt").c_str()), 0);
  const std::string bobsOwn = eb.OwnTransfer().text;
  const std::string carolsByBob = eb.TransferOfFile(c.certFile).text;
  const std::string bobsRollover = eb.TransferOfFile(root.RolloverFile()).text;
  std::string tampered = bobsOwn;
  tampered[1200] = tampered[1200] == 'A' ? 'B' : 'A';

  // The host's files, in every directory an operation may change.
  const std::vector<std::string> dirs = {r,
                                         a.dir,
                                         a.secretDir,
                                         a.certDir,
                                         a.secretDir + "CA.1" + Native("/"),
                                         a.certDir + Native("CD/@/"),
                                         a.dir + Native("keygen/"),
                                         a.dir + Native("renewal/"),
                                         outbox};
  for (const std::string& dir : dirs)
    for (const char* name : {"x.tmp", "n.123-1.tmp", ".n.tmp-999-x", ".vornak2.change"})
      WriteText(dir + name, std::string("the host's ") + name);
  // A record in the shared root that would take alice's key away, with the "staged" copy it names,
  // and a record in alice's own secret-key directory naming a file outside it.
  const std::string tokenA(32, 'a'), tokenB(32, 'b');
  const std::string secret = fs::canonical(a.secretDir).string();
  WriteText(r + ".vornak2-" + tokenA + ".change", Record(tokenA, secret, "5:0.sec -1 0 1"));
  WriteText(a.secretDir + ".vornak2-" + tokenA + ".0", ReadText(a.secretDir + "0.sec"));
  WriteText(a.secretDir + ".vornak2-" + tokenB + ".change",
            Record(tokenB, secret, "11:../self.crt -1 0 0"));

  std::string report(4096, '\0');
  const std::string bobsCert = outbox + "b.crt";
  const struct Row {
    const char* name;
    std::function<void()> setup;
    std::function<std::int32_t()> run;
    std::int32_t code;
    std::set<std::string> delta;
  } rows[] = {
      {"IncludePublicKey",
       [&] { copy(b.certFile, bobsCert); },
       [&] { return IncludePublicKey(ea.get(), bobsCert.c_str()); },
       0,
       {"+ cd_a/crt/CD/@/2.crt", "- cd_a/outbox/b.crt"}},
      {"IncludePublicKey, replacing",
       [&] { copy(b.certFile, bobsCert); },
       [&] { return IncludePublicKey(ea.get(), bobsCert.c_str()); },
       0,
       {"+ cd_a/crt/CD/@/2.old", "- cd_a/outbox/b.crt"}},
      {"IncludePublicKey, not a certificate",
       [&] { WriteText(outbox + "junk.crt", "junk"); },
       [&] { return IncludePublicKey(ea.get(), (outbox + "junk.crt").c_str()); },
       116,
       {}},
      {"UpdateCertificateCash",
       [] {},
       [&] { return UpdateCertificateCash(ea.get(), "CD.2"); },
       0,
       {}},
      {"ClearCash",
       [] {},
       [&] {
         ClearCash(ea.get());
         return 0;
       },
       0,
       {}},
      {"GetReport", [] {}, [&] { return GetReport(ea.get(), "CD.2", report.data()); }, 0, {}},
      {"IncludePublicKeyTransfer",
       [] {},
       [&] { return IncludePublicKeyTransfer(ea.get(), carolsByBob.c_str()); },
       0,
       {"+ cd_a/crt/CD/@/3.crt"}},
      {"RemoveCertificate",
       [] {},
       [&] { return RemoveCertificate(ea.get(), "CD.3"); },
       0,
       {"- cd_a/crt/CD/@/3.crt"}},
      {"RemoveCertificate, own",
       [] {},
       [&] { return RemoveCertificate(ea.get(), "CD.1"); },
       132,
       {}},
      {"IncludePublicKeyTransfer, tampered",
       [] {},
       [&] { return IncludePublicKeyTransfer(ea.get(), tampered.c_str()); },
       -65,
       {}},
      {"SavePublicKeyFromTransfer",
       [] {},
       [&] { return SavePublicKeyFromTransfer(ea.get(), outbox.c_str(), bobsOwn.c_str()); },
       0,
       {"+ cd_a/outbox/self.crt"}},
      {"SavePublicKeyFromTransfer, tampered",
       [] {},
       [&] { return SavePublicKeyFromTransfer(ea.get(), outbox.c_str(), tampered.c_str()); },
       -65,
       {}},
      {"IncludeCACertificateFromTransfer",
       [] {},
       [&] { return IncludeCACertificateFromTransfer(ea.get(), bobsRollover.c_str()); },
       0,
       {"+ cd_a/sec/CA.1/1.aut"}},
      {"IncludeCACertificateFromTransfer, again",
       [] {},
       [&] { return IncludeCACertificateFromTransfer(ea.get(), bobsRollover.c_str()); },
       131,
       {}},
      {"GenerateNewSSK",
       [&] { ea.Set(13, "CD.5"); },
       [&] { return GenerateNewSSK(ea.get()); },
       0,
       {"+ cd_a/keygen/0.sec", "+ cd_a/keygen/5.pub"}},
      {"GenerateNewSSK, a bad key length",
       [&] { ea.Set(16, "abc"); },
       [&] { return GenerateNewSSK(ea.get()); },
       128,
       {}},
      {"RemoteGenerateStart",
       [&] {
         ea.Set(16, "");
         ea.Set(13, "");
       },
       [&] {
         std::string start(5129, '\0');
         const std::int32_t code = RemoteGenerateStart(ea.get(), start.data());
         WriteText(r + "cd_start.txt", start.c_str());
         return code;
       },
       0,
       {"+ cd_a/renewal/key.dat", "+ cd_a/renewal/pub.pub", "+ cd_start.txt"}},
      {"RemoteGenerateFinish, tampered answer",
       [&] {
         ASSERT_EQ(
             RunAuthorityTool({"renew", "--authority", r + "ca", "--root", r, "--operator", op.name,
                               "--in", r + "cd_start.txt", "--out", r + "cd_answer.txt"}),
             0);
       },
       [&] {
         std::string answer = ReadText(r + "cd_answer.txt");
         answer[1200] = answer[1200] == 'A' ? 'B' : 'A';
         return RemoteGenerateFinish(ea.get(), answer.c_str());
       },
       -65,
       {}},
      {"RemoteGenerateFinish",
       [] {},
       [&] { return RemoteGenerateFinish(ea.get(), ReadText(r + "cd_answer.txt").c_str()); },
       0,
       {"~ cd_a/self.crt", "+ cd_a/self.old", "+ cd_a/sec/1.sec", "- cd_a/renewal/key.dat"}},
      {"RemoteGenerateFinish, again",
       [] {},
       [&] { return RemoteGenerateFinish(ea.get(), ReadText(r + "cd_answer.txt").c_str()); },
       129,
       {}},
      {"CreateDirStructure",
       [] {},
       [&] {
         return CreateDirStructure(ea.get(), a.certFile.c_str(),
                                   (r + Native("ca/authority.aut")).c_str());
       },
       0,
       {}},
      {"CreateDirStructure, no certificate",
       [] {},
       [&] {
         return CreateDirStructure(ea.get(), (outbox + "none.crt").c_str(),
                                   (r + Native("ca/authority.aut")).c_str());
       },
       8,
       {}},
      {"SaveSignedDataToFile",
       [] {},
       [&] {
         return SaveSignedDataToFile(ea.get(), "data", 4, "sig", 3,
                                     (outbox + "signed.bin").c_str());
       },
       0,
       {"+ cd_a/outbox/signed.bin"}},
      {"SaveSignedDataToFile, no data",
       [] {},
       [&] { return SaveSignedDataToFile(ea.get(), "data", 0, "sig", 3, (outbox + "s0").c_str()); },
       0,
       {}},
  };
  for (const Row& row : rows) {
    row.setup();
    const Files before = stopwalk::Snapshot(r);
    EXPECT_EQ(row.run(), row.code) << row.name;
    // Where file names ignore letter case the listing has them in lower case.
    std::set<std::string> expected;
    for (std::string line : row.delta) {
      if (platform::kCaseInsensitiveFileNames)
        for (char& c : line) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      expected.insert(line);
    }
    EXPECT_EQ(Delta(before, stopwalk::Snapshot(r)), expected) << row.name;
  }
  // The renewed key signs, and alice's first key is still there.
  EXPECT_FALSE(ea.Sign("after").empty());
  EXPECT_TRUE(fs::exists(a.secretDir + "0.sec"));
}

}  // namespace
}  // namespace vornak2::testing
