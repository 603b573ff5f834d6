// Several processes on one root: three change the same key set at once (all three finish one
// renewal with the same answer, then generate keys, install and remove certificates, install
// transfers and start renewals), while a fourth signs and verifies all the time. Afterwards every
// success that was reported is on disk, every file is whole, the verifier saw no failure, and of
// the three finishes one succeeded and the others were refused without changing anything.
//
// VORNAK2_SHARED_ROOT_SECONDS sets how long the processes run (2 by default; longer by hand).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <sstream>
#include <thread>

#include "host_engine.h"
#include "platform/platform.h"
#include "scratch_dir.h"
#include "stop_walk_ops.h"

namespace vornak2::testing {
namespace {

namespace fs = std::filesystem;
using stopwalk::Native;

// The "key: value" lines of a report.
std::map<std::string, long> Counts(const std::string& report) {
  std::map<std::string, long> counts;
  std::istringstream in(report);
  std::string line;
  while (std::getline(in, line)) {
    const std::size_t colon = line.rfind(": ");
    if (colon != std::string::npos) counts[line.substr(0, colon)] = std::atol(line.c_str() + colon + 2);
  }
  return counts;
}

TEST(SharedRootTest, ProcessesChangingOneKeySetLoseNothing) {
  TestRoot& root = TestRoot::Get();
  const std::string r = root.dir();
  const UserKeys& a = root.User("sh_a", "SA.1");
  const UserKeys& b = root.User("sh_b", "SB.2");
  const UserKeys& c = root.User("sh_c", "SC.3");
  const UserKeys& op = root.User("sh_op", "SO.9");
  const std::string dir = a.dir;
  for (const char* sub : {"keygen", "template", "renewal"}) fs::create_directories(dir + sub);
  stopwalk::Engine ea(r, dir);
  HostEngine eb(root, b), eo(root, op);
  fs::copy_file(b.certFile, dir + "b.crt");
  ASSERT_EQ(IncludePublicKey(ea.get(), (dir + "b.crt").c_str()), 0);
  fs::copy_file(op.certFile, dir + "op.crt");
  ASSERT_EQ(IncludePublicKey(ea.get(), (dir + "op.crt").c_str()), 0);
  fs::copy_file(a.certFile, op.dir + "a.crt");
  ASSERT_EQ(IncludePublicKey(eo.get(), (op.dir + "a.crt").c_str()), 0);
  fs::copy_file(c.certFile, dir + "carol.crt");
  WriteText(dir + "t_bob.txt", eb.OwnTransfer().text);
  const auto bobSigned = eb.Sign("verified all the time");
  WriteText(dir + "bob_signature.bin", std::string(bobSigned.begin(), bobSigned.end()));
  std::string start(5129, '\0');
  ASSERT_EQ(RemoteGenerateStart(ea.get(), start.data()), 0);
  WriteText(r + "sh_start.txt", start.c_str());
  ASSERT_EQ(RunAuthorityTool({"renew", "--authority", r + "ca", "--root", r, "--operator", op.name,
                              "--in", r + "sh_start.txt", "--out", dir + "t_answer.txt"}),
            0);

  std::string seconds = "2";
  if (const auto value = platform::GetEnv("VORNAK2_SHARED_ROOT_SECONDS")) seconds = *value;
  std::vector<std::string> reports(4);
  std::vector<std::thread> processes;
  for (int i = 0; i < 3; ++i)
    processes.emplace_back([&, i] {
      platform::RunProgram({VORNAK2_SHARE_CHILD, "worker", r, dir, seconds, std::to_string(i)},
                           &reports[static_cast<std::size_t>(i)]);
    });
  processes.emplace_back([&] {
    platform::RunProgram({VORNAK2_SHARE_CHILD, "verifier", r, dir, seconds}, &reports[3]);
  });
  WriteText(r + "go", "");
  for (std::thread& t : processes) t.join();

  long made = 0;
  std::vector<long> finishes;
  for (int i = 0; i < 3; ++i) {
    std::cout << "worker " << i << ":\n" << reports[static_cast<std::size_t>(i)];
    const auto counts = Counts(reports[static_cast<std::size_t>(i)]);
    ASSERT_TRUE(counts.contains("finish")) << reports[static_cast<std::size_t>(i)];
    finishes.push_back(counts.at("finish"));
    for (const auto& [key, value] : counts)
      EXPECT_FALSE(key.starts_with("failed")) << "worker " << i << ": " << key << " (" << value << ")";
    made += counts.contains("keys made") ? counts.at("keys made") : 0;
  }
  std::cout << "verifier:\n" << reports[3];
  for (const auto& [key, value] : Counts(reports[3]))
    EXPECT_FALSE(key.starts_with("failed")) << "verifier: " << key << " (" << value << ")";

  // One finish renewed the key; the others found no waiting key and changed nothing.
  std::sort(finishes.begin(), finishes.end());
  EXPECT_EQ(finishes, (std::vector<long>{0, 129, 129}));
  EXPECT_FALSE(fs::exists(dir + Native("renewal/key.dat")));
  EXPECT_TRUE(fs::exists(a.secretDir + "1.sec")) << "the renewed key";
  EXPECT_TRUE(fs::exists(a.secretDir + "0.sec")) << "the key it replaced";

  // Every key reported as made is a key file: under its number or under a parked name.
  long keyFiles = 0;
  for (const auto& name : Names(dir + "keygen"))
    if (name.ends_with(".sec") || name.find(".old") != std::string::npos) ++keyFiles;
  EXPECT_EQ(keyFiles, made);
  EXPECT_GT(made, 0);

  // Every file is whole: certificates and requests parse, nothing half-done is left.
  char report[4096];
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    const std::string name = entry.path().filename().string();
    EXPECT_EQ(name.find(".tmp"), std::string::npos) << entry.path();
    EXPECT_NE(name, ".vornak2.change") << entry.path();
    const bool certificate = name.ends_with(".crt") || name.ends_with(".pub") ||
                             (name.ends_with(".old") &&
                              entry.path().parent_path().filename() != "keygen");
    if (certificate) {
      EXPECT_EQ(GetPublicKeyPropertiesByFile(ea.get(), entry.path().string().c_str(), report), 0)
          << entry.path();
    }
  }
  // The renewed key set works.
  stopwalk::Engine after(r, dir);
  char signature[1024];
  std::int32_t length = 0;
  ASSERT_EQ(SignData(after.get(), "x", 1, signature, &length, ""), 0);
  char uid[256] = {};
  EXPECT_EQ(VerifyData(after.get(), "x", 1, signature, length, uid), 0);
  EXPECT_STREQ(uid, "SA.1");
}

}  // namespace
}  // namespace vornak2::testing
