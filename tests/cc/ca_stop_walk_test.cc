// Every write point of the test authority's commands, turned in turn into a stop of the process
// (as a crash, a kill or a power cut would stop it). After each stop, in fresh processes:
//   (a) no secret key that existed is lost, and no secret key lies outside the directory it
//       belongs in (a staged one lies beside its target until the change is finished or undone);
//   (b) the same command, repeated, succeeds;
//   (c) the authority's files are whole: its index reads, every certificate it lists exists (in
//       a file, or carried by a renewal's answer), and it lists the command's certificate once;
//   (d) nothing is left behind: the files and directories are exactly those of a run without a
//       stop.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>

#include "authority_index.h"
#include "ca_test_util.h"
#include "files.h"
#include "support.h"

namespace cctest {
namespace {

namespace fs = std::filesystem;

bool IsSecretKey(const std::string& content) {
  return content.find("PRIVATE KEY") != std::string::npos;
}

std::string Folder(const std::string& name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string::npos ? "" : name.substr(0, slash + 1);
}

// A copy of the template tree (the vendor library linked where the system allows it: every
// copy loads the same one).
void CopyTree(const std::string& from, const std::string& to) {
  fs::create_directories(to);  // a listing may name a file before any directory
  for (const auto& entry : fs::recursive_directory_iterator(from)) {
    const fs::path target = fs::path(to) / fs::relative(entry.path(), from);
    if (entry.is_directory()) {
      fs::create_directories(target);
      continue;
    }
    std::error_code error;
    if (entry.path().parent_path().filename() == "EXE") fs::create_hard_link(entry, target, error);
    if (!fs::exists(target)) fs::copy_file(entry, target);
  }
}

struct Operation {
  const char* name;
  std::vector<std::string> args;  // "DIR" stands for the copy's directory
  // Every point is walked; the other commands' changes take the same steps, and every fourth
  // point of theirs (and the last) is walked unless VORNAK2_STOP_WALK_ALL is set.
  bool everyPoint;
};

TEST(CcAuthorityStopWalk, EveryStopIsFinishedOrUndoneAndTheRetrySucceeds) {
#ifndef HOST_TOOL_PATH
  GTEST_SKIP() << "built without the host tool (the renewal needs its start step)";
#else
  // Under an emulator every program start costs a second: a stride walks every Nth point.
  std::uint64_t stride = 1;
  if (const char* value = std::getenv("VORNAK2_STOP_WALK_STRIDE"))
    stride = std::max<std::uint64_t>(1, std::strtoull(value, nullptr, 10));
  const bool all = std::getenv("VORNAK2_STOP_WALK_ALL") != nullptr;
  TempDir tmp;
  const std::string base = tmp.path();
  const std::string templ = base + "/template";
  // The template: the authority (keys 0 and 1), its operator and bob, a renewal bob started, a
  // request, a certificate to revoke.
  {
    const Deployment d(templ, {{"bob", "H.2"}});
    fs::create_directories(templ + "/work");
    d.Start("bob", std::nullopt, Native(templ + "/work/bob.txt"));
    ASSERT_EQ(RunCa({"keygen", "--dir", templ + "/keys", "--uid", "K.5"}), 0);
    ASSERT_EQ(RunCa({"issue", "--authority", d.Key(0), "--request", templ + "/keys/5.pub", "--out",
                     templ + "/k.crt"}),
              0);
  }
  const std::string root = Native("DIR/root/");
  const Operation operations[] = {
      {"rollover", {"rollover", "--authority", root + "ca-1", "--out", root + "ca-2"}, true},
      {"renew",
       {"renew", "--authority", root + "ca-1", "--root", root, "--operator", "operator", "--in",
        Native("DIR/work/bob.txt"), "--out", Native("DIR/work/bob-answer.txt")},
       true},
      {"issue",
       {"issue", "--authority", root + "ca-1", "--request", Native("DIR/keys/5.pub"), "--out",
        Native("DIR/k2.crt")},
       false},
      {"bootstrap",
       {"bootstrap", "--authority", root + "ca-1", "--root", root + "carol", "--uid", "C.3"},
       false},
      {"revoke", {"revoke", "--authority", root + "ca", "--cert", Native("DIR/k.crt")}, false},
      {"crl", {"crl", "--authority", root + "ca-1"}, false},
      {"create-authority",
       {"create-authority", "--dir", Native("DIR/other"), "--uid", "X.1"},
       false},
      {"keygen",
       {"keygen", "--dir", Native("DIR/keys"), "--uid", "K.6", "--key-number", "3"},
       false},
      {"install-cert",
       {"install-cert", "--cert", Native("DIR/k.crt"), "--root", root + "bob"},
       false},
  };
  const Tree original = ListTree(templ);
  const auto originalIndex = IndexCertificates(original.at("root/ca/index.txt"));
  int copies = 0;
  const auto copy = [&] {
    const std::string dir = base + "/run" + std::to_string(++copies);
    CopyTree(templ, dir);
    return dir;
  };
  const auto argsIn = [](const Operation& op, const std::string& dir) {
    std::vector<std::string> args = op.args;
    for (std::string& arg : args)
      if (arg.starts_with("DIR")) arg.replace(0, 3, dir);
    return args;
  };

  for (const Operation& op : operations) {
    // The command once without a stop: its write points and the files it leaves.
    const std::string referenceDir = copy();
    std::vector<std::string> args = argsIn(op, referenceDir);
    args.insert(args.begin(), "0");
    std::string output;
    ASSERT_EQ(RunTool(CA_STOP_CHILD, args, &output), 0) << op.name << ": " << output;
    const std::size_t at = output.rfind("write points ");
    ASSERT_NE(at, std::string::npos) << output;
    const std::uint64_t points = std::strtoull(output.c_str() + at + 13, nullptr, 10);
    const Tree reference = ListTree(referenceDir);
    const std::size_t issued =
        IndexCertificates(reference.at("root/ca/index.txt")).size() - originalIndex.size();
    fs::remove_all(referenceDir);

    std::vector<std::uint64_t> walk;
    const std::uint64_t step = op.everyPoint || all ? stride : 4 * stride;
    for (std::uint64_t n = 1; n <= points; n += step) walk.push_back(n);
    if (!walk.empty() && walk.back() != points) walk.push_back(points);
    std::uint64_t walked = 0;
    for (const std::uint64_t n : walk) {
      ++walked;
      const std::string where = std::string(op.name) + ", write point " + std::to_string(n) +
                                " of " + std::to_string(points);
      const std::string dir = copy();
      args = argsIn(op, dir);
      args.insert(args.begin(), std::to_string(n));
      output.clear();
      ASSERT_EQ(RunTool(CA_STOP_CHILD, args, &output), cc::kFaultStopStatus)
          << where << ": not stopped\n"
          << output;

      // (a) Secret keys, right after the stop: none lost, none outside its directory.
      const Tree stopped = ListTree(dir);
      for (const auto& [file, content] : original) {
        if (!IsSecretKey(content)) continue;
        EXPECT_TRUE(stopped.contains(file) && stopped.at(file) == content)
            << where << ": the secret key " << file << " is lost";
      }
      for (const auto& entry : stopped) {
        const std::string& file = entry.first;
        if (!IsSecretKey(entry.second)) continue;
        EXPECT_TRUE(std::any_of(reference.begin(), reference.end(),
                                [&](const auto& r) {
                                  return IsSecretKey(r.second) && Folder(r.first) == Folder(file);
                                }))
            << where << ": a secret key in " << file;
      }

      // (b) The command again, in a fresh process.
      output.clear();
      EXPECT_EQ(RunCa(argsIn(op, dir), &output), 0) << where << ": repeated\n" << output;

      // (c) The authority's files are whole.
      const Tree after = ListTree(dir);
      try {
        ca::AuthorityIndex index(Native(dir + "/root/ca"));
      } catch (const std::exception& e) {
        ADD_FAILURE() << where << ": " << e.what();
      }
      const auto listed = IndexCertificates(after.at("root/ca/index.txt"));
      EXPECT_EQ(listed.size(), originalIndex.size() + issued) << where;
      const std::set<std::string> present = CertificateSerials(after);
      for (const auto& [serial, line] : listed)
        EXPECT_TRUE(present.contains(serial)) << where << ": no certificate for " << line;

      // (d) Nothing left behind, nothing missing.
      EXPECT_EQ(Names(after), Names(reference)) << where;
      if (::testing::Test::HasFailure()) {
        std::cout << "files after " << where << ":\n";
        for (const auto& [file, content] : stopped) std::cout << "  " << file << "\n";
        return;
      }
      fs::remove_all(dir);
    }
    std::cout << "stop points walked, vornak2-ca " << op.name << ": " << walked << " of " << points
              << "\n";
  }
#endif
}

}  // namespace
}  // namespace cctest
