// The host tool through its command line: argument handling, exit codes and messages, and the
// file commands between the two users of a demo deployment.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int exit = -1;
  std::string output;  // stdout and stderr together
};

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

Outcome Host(const std::vector<std::string>& args) {
  std::string command = Quote(VORNAK2_HOST_TOOL);
  for (const auto& a : args) {
    command += ' ';
    command += Quote(a);
  }
  Outcome run;
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    run.output.append(buffer, n);
  const int status = pclose(pipe);
  run.exit = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return run;
}

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void Spit(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
}

fs::path ScratchDir(const std::string& name) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::path(::testing::TempDir()) / (name + std::to_string(stamp));
  fs::create_directories(dir);
  return dir;
}

TEST(HostTool, CommandLine) {
  struct Case {
    std::vector<std::string> args;
    int exit;
    std::string expected;  // a piece of the output
  };
  const Case cases[] = {
      {{}, 2, "usage: vornak2-host"},
      {{"--help"}, 0, "usage: vornak2-host"},
      {{"bogus"}, 2, "unknown command bogus"},
      {{"sign", "--out", "x.sig"}, 2, "sign needs --in"},
      {{"verify", "--in", "a", "--sig", "b", "--frob"}, 2, "verify has no option --frob"},
      {{"encrypt", "--in", "a", "--in", "b", "--out", "c"}, 2, "--in is given twice"},
      {{"decrypt", "--in", "a", "--out"}, 2, "--out needs a value"},
      {{"message", "1", "--root", "r"}, 2, "message has no option --root"},
      {{"params", "--param", "5"}, 2, "--param takes N=VALUE"},
      {{"params", "--param", "20=x"}, 2, "no parameter 20"},
      {{"get-param", "0"}, 2, "no parameter '0'"},
      {{"set-param", "8"}, 2, "set-param takes N=VALUE"},
      {{"message", "12x"}, 2, "not a result code: 12x"},
      {{"demo", "a", "b"}, 2, "usage: vornak2-host demo"},
      {{"message", "134"}, 0, "134: Невозможно загрузить библиотеку ПБЗИ cc.dll"},
      {{"message", "-65"}, 0, "-65: Подпись не подтверждена"},
      {{"get-param", "5"}, 0, "Hash Algorithm = 34.11  [one of 34.11, MD5, SQR]"},
      {{"set-param", "8=H.7"}, 0, "Encrypt for UID = H.7"},
      // Engine options apply in the order given, a later one winning.
      {{"get-param", "2", "--param", "2=first", "--user", "bob"}, 0, "= %QVXRoot%/bob/sec"},
      {{"get-param", "2", "--user", "bob", "--param", "2=last"}, 0, "Secret Path = last"},
  };
  for (const Case& c : cases) {
    std::string shown;
    for (const auto& a : c.args) shown += " " + a;
    SCOPED_TRACE("vornak2-host" + shown);
    const Outcome run = Host(c.args);
    EXPECT_EQ(run.exit, c.exit) << run.output;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << run.output;
  }
}

// A failed operation leaves an existing output file as it was.
TEST(HostTool, FailedOperationWritesNothing) {
  const fs::path dir = ScratchDir("host_fail_");
  Spit(dir / "data.txt", "some data");
  Spit(dir / "data.sig", "old");
  // An empty root: no vendor library, no keys.
  const Outcome run = Host({"sign", "--root", (dir / "root").string(), "--user", "alice", "--in",
                            (dir / "data.txt").string(), "--out", (dir / "data.sig").string()});
  EXPECT_EQ(run.exit, 1) << run.output;
  EXPECT_NE(run.output.find("nothing written"), std::string::npos) << run.output;
  EXPECT_EQ(Slurp(dir / "data.sig"), "old");
  fs::remove_all(dir);
}

// The file commands between the two users of a demo deployment.
TEST(HostTool, FilesBetweenTwoUsers) {
  const fs::path dir = ScratchDir("host_files_");
  const std::string root = (dir / "root").string();
  const Outcome demo = Host({"demo", root});
  ASSERT_EQ(demo.exit, 0) << demo.output;
  const auto path = [&](const char* name) { return (dir / name).string(); };
  const auto as = [&](const char* user, std::vector<std::string> args) {
    args.insert(args.end(), {"--root", root, "--user", user});
    return Host(args);
  };
  const std::string text = "Payment order 18\n";
  Spit(path("m.txt"), text);
  Spit(path("altered.txt"), "Payment order 19\n");

  Outcome run = as("alice", {"sign", "--in", path("m.txt"), "--out", path("m.sig")});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("bob", {"verify", "--in", path("m.txt"), "--sig", path("m.sig")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_NE(run.output.find("signer: H.1"), std::string::npos) << run.output;
  run = as("bob", {"verify", "--in", path("altered.txt"), "--sig", path("m.sig"), "--no-validity"});
  EXPECT_EQ(run.exit, 1) << run.output;

  run = as("alice", {"add-sign", "--in", path("m.txt"), "--out", path("m.signed")});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("bob", {"remove-sign", "--in", path("m.signed"), "--out", path("m.back")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(path("m.back")), text);

  run = as("alice", {"encrypt", "--in", path("m.txt"), "--out", path("m.enc"), "--to", "H.1;H.2"});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("bob", {"decrypt", "--in", path("m.enc"), "--out", path("m.dec")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(path("m.dec")), text);
  EXPECT_EQ(fs::status(path("m.dec")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  // Without --to the recipients come from parameter 8; alice is not among them.
  run = as("alice", {"encrypt", "--in", path("m.txt"), "--out", path("m.bob"), "--param", "8=H.2"});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("alice", {"decrypt", "--in", path("m.bob"), "--out", path("m.none")});
  EXPECT_EQ(run.exit, 1) << run.output;
  EXPECT_FALSE(fs::exists(path("m.none")));
  run = as("bob", {"decrypt", "--in", path("m.bob"), "--out", path("m.dec2")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(path("m.dec2")), text);
  fs::remove_all(dir);
}

}  // namespace
