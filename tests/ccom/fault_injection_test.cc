// Every write point of every operation that changes key, certificate or random-state files, made
// to fail in turn: the adapter's own file layer and our cc's are walked one after the other, each
// write point failing with ENOSPC, EIO or EACCES. After each fault the operation must have
// reported a failure and left every file as it was (the random state may be a whole new one), or
// it must have completed; no temporary file stays behind. The exports and the test authority run
// in this process, so that one counter sees every write point of an operation.
#include <gtest/gtest.h>
#include <algorithm>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>

#include "ca.h"
#include "files.h"
#include "host_engine.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "stop_walk_ops.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;

using stopwalk::Files;
using stopwalk::Snapshot;

// Copies the directory `from` with everything in it to `to`, both named with their final
// separator (which the Windows library cannot copy to).
void CopyTree(const std::string& from, const std::string& to) {
  fs::copy(fs::path(from).parent_path(), fs::path(to).parent_path(), fs::copy_options::recursive);
}

// A path written with "/" between its levels, in the system's own form: the engine reads only
// the system's separator between the directories of a path it is given.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
  return path;
}

// The two layers whose write points are walked.
struct Layer {
  const char* name;
  std::function<void(std::uint64_t, int)> inject;
  std::function<std::uint64_t()> count;
};

// An operation on a fresh copy of the template directory `dir` (with its final separator); its
// result code.
using Operation = std::function<std::int32_t(const std::string& dir)>;

class FaultInjectionTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestRoot& root = TestRoot::Get(false);
    root.InstallLibrary(FaultsLibraryFile());
    root_ = root.dir();
    const UserKeys& a = root.User("fi_a", "FA.1");
    const UserKeys& b = root.User("fi_b", "FB.2");
    const UserKeys& op = root.User("fi_op", "FO.9");
    // The template: a's key set with b's and the operator's certificates in its store, a second
    // certificate of b's to install, transfers from b, and a renewal whose start is done.
    template_ = root_ + Native("fi_template/");
    CopyTree(a.dir, template_);
    for (const char* sub : {"keygen", "inbox", "renewal", "renewal_new", "template"})
      fs::create_directories(template_ + sub);
    HostEngine ea(root, Keys(template_)), eb(root, b), eo(root, op);
    for (const UserKeys* u : {&b, &op}) ASSERT_EQ(Install(ea, u->certFile, template_), 0);
    ASSERT_EQ(Install(eo, a.certFile, template_), 0);
    ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", template_ + "fresh", "--uid", "FB.2"}), 0);
    ASSERT_EQ(RunAuthorityTool({"issue", "--authority", root_ + "ca", "--request",
                                template_ + "fresh/2.pub", "--out", template_ + "incoming.crt"}),
              0);
    ASSERT_EQ(RunAuthorityTool({"keygen", "--dir", template_ + "fresh", "--uid", "FA.1"}), 0);
    ASSERT_EQ(RunAuthorityTool({"issue", "--authority", root_ + "ca", "--request",
                                template_ + "fresh/1.pub", "--out", template_ + "own.crt"}),
              0);
    publicTransfer_ = eb.OwnTransfer().text;
    authorityTransfer_ = eb.TransferOfFile(root.RolloverFile()).text;
    ASSERT_FALSE(publicTransfer_.empty() || authorityTransfer_.empty());

    SetRemoteGeneratePath(ea.get(), (template_ + Native("renewal/")).c_str());
    std::string start(5129, '\0');
    ASSERT_EQ(RemoteGenerateStart(ea.get(), start.data()), 0);
    WriteText(root_ + "fi_start.txt", start.c_str());
    ASSERT_EQ(RunAuthorityTool({"renew", "--authority", root_ + "ca", "--root", root_, "--operator",
                                op.name, "--in", root_ + "fi_start.txt", "--out",
                                root_ + "fi_answer.txt"}),
              0);
    renewalAnswer_ = ReadText(root_ + "fi_answer.txt");
    fs::copy(root_ + "ca", template_ + "ca", fs::copy_options::recursive);
    // Files the operations must not lose: an earlier ".old" certificate, a secret key of the
    // number a new key takes, a signed-data file to replace.
    WriteText(template_ + "crt/FB/@/2.old", "an earlier certificate of FB.2");
    WriteText(template_ + "keygen/1.sec", "an earlier secret key 1");
    WriteText(template_ + "signed.bin", "an earlier signed-data file");
  }

  // A key set laid out in `dir` as the test authority lays one out.
  static UserKeys Keys(const std::string& dir) {
    UserKeys u;
    u.name = fs::relative(fs::path(dir).parent_path(), root_).string();
    u.uid = "FA.1";
    u.dir = dir;
    return u;
  }
  static std::int32_t Install(const HostEngine& e, const std::string& cert,
                              const std::string& dir) {
    fs::copy_file(cert, dir + "drop.crt", fs::copy_options::overwrite_existing);
    return IncludePublicKey(e.get(), (dir + "drop.crt").c_str());
  }
  static std::string FaultsLibraryFile();

  // Runs `op` on a fresh copy of the template, with the fault `nth` (0: none) of `layer`; the
  // files afterwards, and the result in `code`.
  Files Run(const Operation& op, const Layer* layer, std::uint64_t nth, int error, Files& before,
            std::int32_t& code, std::uint64_t* points = nullptr) {
    const std::string dir = root_ + Native("fi_run_" + std::to_string(runs_++) + "/");
    CopyTree(template_, dir);
    before = Snapshot(dir);
    {
      // A cold cache, so that the operation writes the random state back as a first one does.
      HostEngine idle(TestRoot::Get(), Keys(dir));
      ClearCash(idle.get());
    }
    if (layer != nullptr) layer->inject(nth, error);
    code = op(dir);
    if (points != nullptr) *points = layer->count();
    if (layer != nullptr) layer->inject(0, 0);
    return Snapshot(dir);
  }

  static inline std::string root_, template_, publicTransfer_, authorityTransfer_, renewalAnswer_;
  // One count for every test of the program (all of them share the root where one program runs
  // them all).
  static inline int runs_ = 0;
};

std::string FaultInjectionTest::FaultsLibraryFile() {
  return VORNAK2_TEST_CC_FAULTS_LIBRARY;
}

// An engine of the template's user in `dir`, with the key-generation, template and renewal
// directories inside it.
std::int32_t WithEngine(const std::string& dir,
                        const std::function<std::int32_t(VORNAK2_HANDLE)>& call) {
  UserKeys u;
  u.uid = "FA.1";
  u.name = fs::relative(fs::path(dir).parent_path(), TestRoot::Get().dir()).string();
  HostEngine e(TestRoot::Get(), u);
  e.Set(14, Native("%QVXRoot%/" + u.name + "/keygen"));
  e.Set(15, Native("%QVXRoot%/" + u.name + "/template"));
  SetRemoteGeneratePath(e.get(), (dir + Native("renewal/")).c_str());
  return call(e.get());
}

bool WholeRandomState(const std::string& text) {
  return text.rfind("VORNAK2-CC RANDOM STATE 1\nSeed: ", 0) == 0 && text.back() == '\n';
}

TEST_F(FaultInjectionTest, EveryWritePointKeepsThePreviousFilesWhole) {
  const std::string caTool = "ca";
  const struct {
    const char* name;
    Operation op;
  } operations[] = {
      {"GenerateNewSSK",
       [](const std::string& d) {
         return WithEngine(d, [](auto e) { return GenerateNewSSK(e); });
       }},
      {"IncludePublicKey (replacing)",
       [](const std::string& d) {
         return WithEngine(
             d, [&](auto e) { return IncludePublicKey(e, (d + "incoming.crt").c_str()); });
       }},
      {"RemoveCertificate",
       [](const std::string& d) {
         return WithEngine(d, [](auto e) { return RemoveCertificate(e, "FB.2"); });
       }},
      {"SavePublicKeyFromTransfer",
       [](const std::string& d) {
         return WithEngine(d, [&](auto e) {
           return SavePublicKeyFromTransfer(e, (d + "inbox").c_str(), publicTransfer_.c_str());
         });
       }},
      {"IncludePublicKeyTransfer",
       [](const std::string& d) {
         return WithEngine(
             d, [](auto e) { return IncludePublicKeyTransfer(e, publicTransfer_.c_str()); });
       }},
      {"IncludeCACertificateFromTransfer",
       [](const std::string& d) {
         return WithEngine(d, [](auto e) {
           return IncludeCACertificateFromTransfer(e, authorityTransfer_.c_str());
         });
       }},
      {"RemoteGenerateStart",
       [](const std::string& d) {
         return WithEngine(d, [&](auto e) {
           SetRemoteGeneratePath(e, (d + Native("renewal_new/")).c_str());
           std::string transfer(5129, '\0');
           return RemoteGenerateStart(e, transfer.data());
         });
       }},
      {"RemoteGenerateFinish",
       [](const std::string& d) {
         return WithEngine(d,
                           [](auto e) { return RemoteGenerateFinish(e, renewalAnswer_.c_str()); });
       }},
      {"CreateDirStructure (replacing)",
       [](const std::string& d) {
         return WithEngine(d, [&](auto e) {
           return CreateDirStructure(e, (d + "own.crt").c_str(),
                                     (d + Native("ca/authority.aut")).c_str());
         });
       }},
      {"SaveSignedDataToFile (replacing)",
       [](const std::string& d) {
         return WithEngine(d, [&](auto e) {
           const std::string data = "data", signature(64, 'S');
           return SaveSignedDataToFile(e, data.data(), 4, signature.data(), 64,
                                       (d + "signed.bin").c_str());
         });
       }},
      {"ClearCash (random-state write-back)",
       [](const std::string& d) {
         return WithEngine(d, [](auto e) {
           char signature[1024];
           std::int32_t length = 0;
           // The second operation finds the generator's pool loaded; the clear writes it back.
           std::int32_t code = SignData(e, "data", 4, signature, &length, "");
           if (code == 0) code = SignData(e, "data", 4, signature, &length, "");
           ClearCash(e);  // gives no result: the random state must be whole either way
           return code;
         });
       }},
      {"vornak2-ca issue (replacing)",
       [](const std::string& d) {
         const std::string ca = d + "ca", request = d + "fresh/2.pub", out = d + "incoming.crt";
         const std::string_view args[] = {"issue", "--authority", ca, "--request",
                                          request, "--out",       out};
         std::ostringstream log;
         return ca::Run(args, log, log);
       }},
  };

  // The library the engines load is the test build with the injection reachable.
  const platform::ModuleHandle library =
      platform::LoadModule(root_ + Native("EXE/") + platform::SharedLibraryFileName("cc"));
  ASSERT_NE(library, nullptr);
  const auto ccInject = reinterpret_cast<void (*)(std::uint64_t, std::int32_t)>(
      platform::FindSymbol(library, "_CcInjectFileFault"));
  const auto ccCount =
      reinterpret_cast<std::uint64_t (*)()>(platform::FindSymbol(library, "_CcFileWritePoints"));
  ASSERT_TRUE(ccInject != nullptr && ccCount != nullptr);
  const Layer adapter{"adapter", [](std::uint64_t n, int e) { platform::InjectFileFault(n, e); },
                      platform::FileWritePoints};
  const Layer vendor{"cc", [&](std::uint64_t n, int e) { ccInject(n, e); }, ccCount};
  // The test authority runs in this process with its own copy of cc's file layer.
  const Layer authority{"cc", cc::InjectFileFault, cc::FileWritePoints};

  const int errors[] = {ENOSPC, EIO, EACCES};
  for (const auto& [name, op] : operations) {
    const bool isAuthority = std::string_view(name).starts_with("vornak2-ca");
    std::vector<const Layer*> layers = {&authority};
    if (!isAuthority) layers = {&adapter, &vendor};
    std::ostringstream figures;
    std::uint64_t total = 0;
    for (const Layer* layer : layers) {
      Files before;
      std::int32_t code = -1;
      std::uint64_t points = 0;
      const Files reference = Run(op, layer, 0, 0, before, code, &points);
      ASSERT_EQ(code, 0) << name << ": the operation succeeds without faults";
      figures << " " << layer->name << " " << points;
      total += points;
      for (std::uint64_t n = 1; n <= points; ++n) {
        const int error = errors[n % 3];
        const Files after = Run(op, layer, n, error, before, code);
        const std::string where = std::string(name) + ", " + layer->name + " write point " +
                                  std::to_string(n) + " failing with " + std::strerror(error);
        for (const auto& [file, content] : after) {
          // Every temporary file has ".tmp" in its name (".NAME.tmp-..."; cc's on Windows end in
          // ".tmp"); the library's staged files and change records begin with ".vornak2-".
          EXPECT_EQ(file.find(".tmp"), std::string::npos)
              << where << ": " << file << " left behind";
          EXPECT_FALSE(fs::path(file).filename().string().starts_with(".vornak2-"))
              << where << ": " << file << " left behind";
          if (fs::path(file).filename() == "@rand") {
            EXPECT_TRUE(WholeRandomState(content)) << where << ": " << file << " is torn";
          }
        }
        if (code == 0) {
          // Completed: every file of a completed operation is there, and any other one is a
          // file that was there before, or a hidden one (a clean-up that could not delete it).
          for (const auto& [file, content] : reference)
            EXPECT_TRUE(after.contains(file)) << where << ": reported success without " << file;
          for (const auto& [file, content] : after)
            EXPECT_TRUE(reference.contains(file) || before.contains(file) ||
                        fs::path(file).filename().string().starts_with("."))
                << where << ": reported success, but " << file << " is new";
          continue;
        }
        for (const auto& [file, content] : before) {
          const auto it = after.find(file);
          if (fs::path(file).filename() == "@rand") {
            EXPECT_TRUE(it != after.end()) << where << ": " << file << " is gone";
          } else if (code == 127 && file.starts_with("keygen/")) {
            // The new secret key stays after 127: a key it replaced was moved aside, whole.
            const std::string& previous = content;
            EXPECT_TRUE(std::any_of(after.begin(), after.end(),
                                    [&](const auto& kept) {
                                      return kept.first.starts_with("keygen/") &&
                                             kept.second == previous;
                                    }))
                << where << ": " << file << " is lost";
          } else {
            EXPECT_TRUE(it != after.end() && it->second == content)
                << where << ": " << file << (it == after.end() ? " is gone" : " changed");
          }
        }
        // The template directory receives the carried file before it is installed, and keeps
        // one that could not be installed. Key generation keeps the new secret key when only
        // its request could not be written (127), the number of the key reported.
        for (const auto& [file, content] : after)
          EXPECT_TRUE(before.contains(file) || file.starts_with("template/") ||
                      (code == 127 && file.starts_with("keygen/")))
              << where << ": " << file << " written by a failed operation";
      }
    }
    std::cout << "write points walked, " << name << ":" << figures.str() << " (" << total
              << " in all)\n";
    RecordProperty(std::string("write_points ") + name, static_cast<int>(total));
  }
  platform::FreeModule(library);
}

// A certificate installation whose every write point in turn fails twice in a row (a step is
// tried twice, so the second try fails as well): it succeeds, or it answers 107 with the given
// file where it was and the store as it was, and no later operation installs it.
TEST_F(FaultInjectionTest, AFailedInstallationStaysFailed) {
  std::int32_t code = -1;
  Files before;
  std::uint64_t points = 0;
  const Layer adapter{"adapter", [](std::uint64_t n, int e) { platform::InjectFileFault(n, e, 2); },
                      platform::FileWritePoints};
  const Operation install = [](const std::string& d) {
    return WithEngine(d, [&](auto e) { return IncludePublicKey(e, (d + "incoming.crt").c_str()); });
  };
  Run(install, &adapter, 0, 0, before, code, &points);
  ASSERT_EQ(code, 0);
  // Names as the listing has them (in lower case where file names ignore letter case).
  const auto key = [](std::string name) {
    if (platform::kCaseInsensitiveFileNames)
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
  };
  int failed = 0;
  for (std::uint64_t n = 1; n <= points; ++n) {
    const std::string where = "write points " + std::to_string(n) + " and " + std::to_string(n + 1);
    const Files after = Run(install, &adapter, n, EIO, before, code);
    if (code == 0) {
      EXPECT_FALSE(after.contains("incoming.crt")) << where;
      EXPECT_EQ(after.at(key("crt/FB/@/2.crt")), before.at("incoming.crt")) << where;
      continue;
    }
    ++failed;
    EXPECT_EQ(code, 107) << where;
    // Later operations of another kind, in this process and in a fresh engine, change nothing of
    // it: the failure stays what it was.
    const std::string dir = root_ + Native("fi_run_" + std::to_string(runs_ - 1) + "/");
    EXPECT_EQ(WithEngine(dir, [](auto e) { return RemoveCertificate(e, "FO.9"); }), 0) << where;
    EXPECT_EQ(WithEngine(dir,
                         [](auto e) {
                           char signature[1024];
                           std::int32_t length = 0;
                           return SignData(e, "x", 1, signature, &length, "");
                         }),
              0)
        << where;
    const Files later = Snapshot(dir);
    EXPECT_EQ(later.at("incoming.crt"), before.at("incoming.crt")) << where;
    for (const char* file : {"crt/FB/@/2.crt", "crt/FB/@/2.old"})
      EXPECT_EQ(later.at(key(file)), before.at(key(file))) << where << ": " << file;
    for (const auto& [file, content] : later)
      EXPECT_FALSE(fs::path(file).filename().string().starts_with(".vornak2-"))
          << where << ": " << file << " left";
  }
  EXPECT_GT(failed, 0);
  std::cout << "installation walked: " << points << " write points, " << failed
            << " failed twice over\n";
}

}  // namespace
}  // namespace vornak2::testing
