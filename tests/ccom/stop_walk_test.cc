// Every write point of every operation that changes key, certificate, store or random-state
// files, turned in turn into a stop of the process (as a crash, a kill or a power cut would stop
// it), in the adapter's file layer and in our cc's. After each stop:
//   (a) in a fresh process the user signs and a peer verifies (the first operation after the
//       stop, which finishes or undoes what the stop left), and the files are exactly the old ones
//       or exactly the new ones;
//   (b) the interrupted operation, repeated where the old files are seen (and always, for those
//       that can be repeated), succeeds;
//   (c) every secret key that existed is still in its directory, under its name or a parked one,
//       and no secret key lies in clear outside the secret directories;
//   (d) no temporary file, staged file or change record is left.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <sstream>

#include "host_engine.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "stop_walk_ops.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;
using stopwalk::Native;

using stopwalk::Files;
using stopwalk::Snapshot;

bool IsSecretKey(const std::string& content) {
  return content.find("SECRET KEY") != std::string::npos ||
         content.find("PRIVATE KEY") != std::string::npos;
}

// Where secret keys may lie in clear: the secret-key and key-generation directories, and the
// authority's own directory.
bool InSecretDirectory(const std::string& file) {
  for (const char* dir : {"sec/", "keygen/", "newuser/sec/", "ca/"})
    if (file.starts_with(dir)) return true;
  return false;
}

// Files whose content every run makes anew: the random state.
bool Volatile(const std::string& file) {
  return fs::path(file).filename() == "@rand";
}

// Temporary files, the library's staged files and change records.
bool Ours(const std::string& file) {
  return file.find(".tmp") != std::string::npos ||
         fs::path(file).filename().string().starts_with(".vornak2-");
}

// The names an operation sees: what a stopped writer left are hidden files that no operation
// reads (whether they go is checked on its own).
std::vector<std::string> Names(const Files& files) {
  std::vector<std::string> names;
  for (const auto& [name, content] : files)
    if (!Volatile(name) && !Ours(name)) names.push_back(name);
  return names;
}

// Whether `seen` is exactly `expected`: the same files, and the same content where `fixed` says
// the content is known (a new key differs from run to run).
bool Same(const Files& seen, const Files& expected,
          const std::function<bool(const std::string&)>& fixed) {
  if (Names(seen) != Names(expected)) return false;
  for (const std::string& name : Names(expected))
    if (fixed(name) && seen.at(name) != expected.at(name)) return false;
  return true;
}

class StopWalkTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestRoot& root = TestRoot::Get(false);
    root.InstallLibrary(VORNAK2_TEST_CC_FAULTS_LIBRARY);
    root_ = root.dir();
    const UserKeys& a = root.User("sw_a", "FA.1");
    const UserKeys& b = root.User("sw_b", "FB.2");
    const UserKeys& op = root.User("sw_op", "FO.9");
    template_ = root_ + Native("sw_template/");
    fs::copy(fs::path(a.dir).parent_path(), fs::path(template_).parent_path(),
             fs::copy_options::recursive);
    for (const char* sub : {"keygen", "inbox", "renewal", "renewal_new", "renewal_uid", "template"})
      fs::create_directories(template_ + sub);
    stopwalk::Engine ea(root_, template_);
    HostEngine eb(root, b), eo(root, op);
    auto install = [&](VORNAK2_HANDLE e, const std::string& cert, const std::string& dir) {
      fs::copy_file(cert, dir + "drop.crt", fs::copy_options::overwrite_existing);
      return IncludePublicKey(e, (dir + "drop.crt").c_str());
    };
    for (const UserKeys* u : {&b, &op}) ASSERT_EQ(install(ea.get(), u->certFile, template_), 0);
    ASSERT_EQ(install(eo.get(), a.certFile, template_), 0);
    auto issue = [&](const char* uid, const char* request, const std::string& out) {
      ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", template_ + "fresh", "--uid", uid}), 0);
      ASSERT_EQ(RunAuthorityTool({"issue", "--authority", root_ + "ca", "--request",
                                  template_ + Native("fresh/") + request, "--out", out}),
                0);
    };
    issue("FB.2", "2.pub", template_ + "incoming.crt");
    issue("FA.1", "1.pub", template_ + "own.crt");
    fs::remove_all(template_ + "fresh");
    // Transfers sent to the template's user: a correspondent's own certificate, a new
    // certificate of that correspondent signed with the key it replaces, an authority's.
    WriteText(template_ + "t_public.txt", eb.OwnTransfer().text);
    WriteText(template_ + "t_signer.txt", eb.TransferOfFile(template_ + "incoming.crt").text);
    WriteText(template_ + "t_authority.txt", eb.TransferOfFile(root.RolloverFile()).text);

    // Two renewals waiting for their answers: the same UID, and a new UID whose first key takes
    // the number of the key in use.
    auto renewal = [&](const char* sub, const char* uid, const char* answer) {
      SetRemoteGeneratePath(ea.get(), (template_ + Native(sub)).c_str());
      std::string start(5129, '\0');
      std::int32_t mode = 1;
      ASSERT_EQ(RemoteGenerateStartEx(ea.get(), uid, start.data(), &mode), 0);
      WriteText(root_ + "sw_start.txt", start.c_str());
      ASSERT_EQ(
          RunAuthorityTool({"renew", "--authority", root_ + "ca", "--root", root_, "--operator",
                            op.name, "--in", root_ + "sw_start.txt", "--out", template_ + answer}),
          0);
    };
    renewal("renewal/", "FA.1", "t_answer.txt");
    renewal("renewal_uid/", "FA.10", "t_answer_uid.txt");
    fs::copy(root_ + "ca", template_ + "ca", fs::copy_options::recursive);
    // Files the operations must not lose: an earlier ".old" certificate, a secret key of the
    // number a new key takes, a signed-data file to replace.
    WriteText(template_ + "crt/FB/@/2.old", "an earlier certificate of FB.2");
    WriteText(template_ + "keygen/1.sec", "VORNAK2-CC SECRET KEY (an earlier key 1)");
    WriteText(template_ + "signed.bin", "an earlier signed-data file");
  }

  // A fresh copy of the template.
  std::string Copy() {
    const std::string dir = root_ + Native("sw_run_" + std::to_string(runs_++) + "/");
    fs::copy(fs::path(template_).parent_path(), fs::path(dir).parent_path(),
             fs::copy_options::recursive);
    return dir;
  }

  // Runs the stopped program; its exit status, and its report when it was not stopped.
  static std::optional<int> Child(const std::string& dir, const char* op, const char* layer,
                                  std::uint64_t n, std::string* output) {
    return platform::RunProgram({VORNAK2_STOP_CHILD, root_, dir, op, layer, std::to_string(n)},
                                output);
  }
  // The fresh process after a stop: what the user's signature and the peer's verification gave.
  static std::string Check(const std::string& dir, const char* op) {
    std::string output;
    const auto status =
        platform::RunProgram({VORNAK2_STOP_CHILD, root_, dir, op, "check"}, &output);
    std::erase(output, '\r');  // a Windows child's line ends
    return status == 0 ? output : "status " + std::to_string(status.value_or(-1)) + ": " + output;
  }

  static inline std::string root_, template_;
  int runs_ = 0;
};

TEST_F(StopWalkTest, EveryStopLeavesTheOldOrTheNewFiles) {
  // Under an emulator every program start costs a second: a stride walks every Nth point.
  std::uint64_t stride = 1;
  if (const auto value = platform::GetEnv("VORNAK2_STOP_WALK_STRIDE"))
    stride = std::max<std::uint64_t>(1, std::strtoull(value->c_str(), nullptr, 10));
  for (const stopwalk::Operation& op : stopwalk::Operations()) {
    std::ostringstream figures;
    std::uint64_t walked = 0;
    for (const char* layer : {"adapter", "cc"}) {
      // The whole operation, once: its new files and its write points.
      const std::string referenceDir = Copy();
      const Files before = Snapshot(referenceDir);
      std::string report;
      ASSERT_EQ(Child(referenceDir, op.name, layer, 0, &report), 0) << op.name << report;
      int result = -1;
      unsigned long long points = 0;
      ASSERT_EQ(std::sscanf(report.c_str(), "result %d points %llu", &result, &points), 2);
      ASSERT_EQ(result, 0) << op.name << ": the operation succeeds without a stop";
      const Files reference = Snapshot(referenceDir);
      figures << " " << layer << " " << points;
      // Content a run always writes the same way: files the operation leaves as they were, and
      // certificates moved or copied (a new key and the random state differ from run to run).
      auto fixed = [&](const std::string& name) {
        const auto was = before.find(name);
        if (was != before.end() && was->second == reference.at(name)) return true;
        for (const auto& [other, content] : before)
          if (content == reference.at(name)) return true;
        return false;
      };

      for (std::uint64_t n = 1; n <= points; n += stride) {
        ++walked;
        const std::string where = std::string(op.name) + ", " + layer + " write point " +
                                  std::to_string(n) + " of " + std::to_string(points);
        const std::string dir = Copy();
        std::string output;
        const auto status = Child(dir, op.name, layer, n, &output);
        ASSERT_TRUE(status.has_value()) << where;
        ASSERT_EQ(*status, platform::kFaultStopStatus) << where << ": not stopped\n" << output;

        // (a) A fresh process: the user signs and a peer verifies, or, for a user that has no key
        // before the operation, the first operation is a signature that may fail.
        if (op.userSigns) {
          const std::string checked = Check(dir, op.name);
          EXPECT_EQ(checked.substr(0, checked.find('\n')), "sign 0 verify 0")
              << where << ": " << checked;
        }
        // This process's key-file cache is shared by its engines and keyed by the UID that every
        // copy has: it is emptied first, as a fresh process has it.
        {
          stopwalk::Engine idle(root_, template_);
          ClearCash(idle.get());
        }
        if (!op.userSigns) {
          stopwalk::Engine e(root_, dir);
          op.configure(e, dir);
          char signature[1024];
          std::int32_t length = 0;
          SignData(e.get(), "data", 4, signature, &length, "");
        }
        const Files seen = Snapshot(dir);
        const bool old = Same(seen, before, [](const std::string&) { return true; });
        const bool complete = !old && Same(seen, reference, fixed);
        // A repeatable operation may leave its last act to the repetition (a finished renewal's
        // waiting key file).
        EXPECT_TRUE(old || complete || op.repeatable)
            << where << ": neither the old nor the new files";

        // (c) Secret keys: none lost, none in clear outside the secret directories.
        for (const auto& entry : before) {
          const std::string& file = entry.first;
          const std::string& content = entry.second;
          if (!IsSecretKey(content)) continue;
          const std::string folder = file.substr(0, file.rfind('/') + 1);
          EXPECT_TRUE(std::any_of(seen.begin(), seen.end(),
                                  [&](const auto& kept) {
                                    return kept.second == content && kept.first.starts_with(folder);
                                  }))
              << where << ": the secret key " << file << " is lost";
        }
        for (const auto& [file, content] : seen)
          EXPECT_TRUE(!IsSecretKey(content) || InSecretDirectory(file))
              << where << ": a secret key in clear in " << file;

        // (b) The operation again, where it had not happened or can be repeated: it succeeds now.
        if (old || op.repeatable) {
          stopwalk::Engine e(root_, dir);
          op.configure(e, dir);
          EXPECT_EQ(op.run(e, dir), 0) << where << ": repeated after the stop";
          EXPECT_EQ(Names(Snapshot(dir)), Names(reference)) << where << ": repeated";
        }

        // (d) Nothing half-done stays.
        for (const auto& [file, content] : Snapshot(dir)) {
          EXPECT_FALSE(Ours(file)) << where << ": " << file << " left";
          if (Volatile(file)) {
            EXPECT_TRUE(content.rfind("VORNAK2-CC RANDOM STATE 1\nSeed: ", 0) == 0 &&
                        content.back() == '\n')
                << where << ": the random state is torn";
          }
        }
        if (::testing::Test::HasFailure()) {
          std::cout << "files after " << where << ":\n";
          for (const auto& [file, content] : seen) std::cout << "  " << file << "\n";
          return;
        }
        fs::remove_all(dir);
      }
      fs::remove_all(referenceDir);
    }
    std::cout << "stop points walked, " << op.name << ":" << figures.str() << " (" << walked
              << " stops)\n";
  }
}

}  // namespace
}  // namespace vornak2::testing
