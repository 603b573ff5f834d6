// The host tool through its command line: argument handling, exit codes and messages, and the
// file commands between the two users of a demo deployment.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "platform/diagnostics.h"
#include "platform/platform.h"

namespace {

namespace fs = std::filesystem;
namespace platform = vornak2::platform;

constexpr char kSep = platform::kPathSeparator;
const std::string kVendorLibrary = platform::SharedLibraryFileName("cc");
// The null device, what the tool says of it, and the system's error codes of a missing file and
// of a missing directory on the way to one.
#ifdef _WIN32
const std::string kNullDevice = "NUL";
const std::string kNullDeviceProblem = "cannot read NUL: ";  // the system's words follow
constexpr int kFileNotFound = 2;                             // ERROR_FILE_NOT_FOUND
constexpr int kPathNotFound = 3;                             // ERROR_PATH_NOT_FOUND
// The loader's words for a library that is nowhere.
const std::string kLoaderFindsNone =
    "The loader says: " + platform::ErrorText(126);  // ERROR_MOD_NOT_FOUND
#else
const std::string kNullDevice = "/dev/null";
const std::string kNullDeviceProblem = "cannot read /dev/null: not a regular file";
constexpr int kFileNotFound = ENOENT;
constexpr int kPathNotFound = ENOENT;
const std::string kLoaderFindsNone = "The loader says: libcc.so: ";
#endif

#ifdef VORNAK2_CC_LIBRARY
// The host tool runs from a directory without the vendor library; its demo places this one.
[[maybe_unused]] const bool kVendorLibraryGiven =
    platform::SetEnv("VORNAK2_CC", VORNAK2_CC_LIBRARY);
#endif

// A path written with "/" between its levels, in the system's own form.
std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', kSep);
  return path;
}

// A text of the system (given here in UTF-8) as the tool prints it: on Windows in the code page
// of the console, where a character that the page lacks shows as "?".
std::string Shown(const std::string& utf8) {
#ifdef _WIN32
  return platform::ConvertText(utf8, "UTF-8", platform::LocaleEncoding()).value_or(utf8);
#else
  return utf8;
#endif
}

struct Outcome {
  int exit = -1;
  std::string output;  // stdout and stderr together, lines ending in "\n"
};

// Runs a program with the arguments; its exit code and output.
Outcome RunProgram(const std::string& program, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {program};
  argv.insert(argv.end(), args.begin(), args.end());
  Outcome run;
  run.exit = platform::RunProgram(argv, &run.output).value_or(-1);
#ifdef _WIN32
  // A Windows program writes its lines to a pipe as text, ending them in "\r\n".
  std::erase(run.output, '\r');
#endif
  return run;
}

// Runs the host tool through the shell with its standard error dropped; its standard output
// alone, and whether it exited with 0.
bool HostStandardOutput(const std::vector<std::string>& args, std::string& output) {
  std::vector<std::string> argv = {VORNAK2_HOST_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
#ifdef _WIN32
  // cmd.exe takes the outer quotes away and runs the rest as it stands.
  std::string command = platform::CommandLineOf(argv);
  command.insert(0, 1, '"');
  command += " 2>NUL\"";
  std::FILE* pipe = _popen(command.c_str(), "r");
#else
  std::string command;
  for (const auto& a : argv) {
    command += command.empty() ? "'" : " '";
    for (char c : a) command += c == '\'' ? std::string("'\\''") : std::string(1, c);
    command += "'";
  }
  std::FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
#endif
  if (pipe == nullptr) return false;
  char buffer[8192];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    output.append(buffer, n);
#ifdef _WIN32
  return _pclose(pipe) == 0;
#else
  return pclose(pipe) == 0;
#endif
}

Outcome Host(const std::vector<std::string>& args) {
  return RunProgram(VORNAK2_HOST_TOOL, args);
}

std::string Slurp(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

const fs::path& Spit(const fs::path& file, const std::string& text) {
  std::ofstream(file, std::ios::binary) << text;
  return file;
}

fs::path ScratchDir(const std::string& name) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::path(::testing::TempDir()) / (name + std::to_string(stamp));
  fs::create_directories(dir);
  return dir;
}

// Lays out `root` as the tool's demo leaves it: the whole life of the keys of its authority,
// operator and two users. The demo runs once per test process, in a root of its own that is then
// copied (its files name no paths); a failure carries the demo's output.
::testing::AssertionResult DemoRoot(const fs::path& root) {
  static const struct Made {
    fs::path dir = ScratchDir("host_demo_");
    Outcome demo = Host({"demo", (dir / "root").string()});
    ~Made() {
      std::error_code ignored;
      fs::remove_all(dir, ignored);
    }
  } made;
  if (made.demo.exit != 0) return ::testing::AssertionFailure() << made.demo.output;
  fs::copy(made.dir / "root", root, fs::copy_options::recursive);
  return ::testing::AssertionSuccess();
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
      {{"sign", "--in=a", "--out"}, 2, "--out needs a value"},
      {{"verify", "--in", "a", "--sig=b", "--frob=1"}, 2, "verify has no option --frob"},
      {{"message", "-q", "-x"}, 2, "message has no option -x"},
      {{"message", "134"}, 0, Shown("134: Невозможно загрузить библиотеку ПБЗИ cc.dll")},
      {{"message", "-65"}, 0, Shown("-65: Подпись не подтверждена")},
      {{"get-param", "5"}, 0, "Hash Algorithm = 34.11  [one of 34.11, MD5, SQR]"},
      {{"set-param", "8=H.7"}, 2, Native("set-param keeps values in ROOT/.vornak2-host/root.conf")},
      {{"uid", "--user", "../bob"}, 2, "--user takes the name of a key set's directory"},
      {{"sign", "--help"}, 0, "usage: vornak2-host sign --in FILE --out SIGFILE [--signer UID]"},
      {{"help", "decrypt"}, 0, "readable by its owner only"},
      {{"help", "--all"},
       0,
       "usage: vornak2-host demo [--force|--keep-keys] [--lay-out-only] [ROOT]"},
      {{"help", "bogus"}, 2, "no command bogus"},
      {{"--version"}, 0, "vornak2-host " VORNAK2_VERSION "\nlibrary: "},
      // A command on a key set without a root says what is missing, before the engine is asked.
      {{"sign", "--in", "a", "--out", "b", "--user", "alice"},
       2,
       "this command works on a user's key set, and key sets lie in a root directory: give --root "
       "ROOT (or set VORNAK2_ROOT)"},
      {{"first-key", "--uid", "H.3", "--out", "r.pub"},
       2,
       "first-key makes the key set ROOT/NAME/"},
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

// Inputs that cannot be used are refused before the library is asked, with the file and the
// reason; a failed operation leaves an existing output file as it was, and a missing libcc.so is
// explained with every place it was looked for.
TEST(HostTool, FailuresSayWhatAndWhy) {
  const fs::path dir = ScratchDir("host_fail_");
  const std::string root = (dir / "root").string();
  fs::create_directories(root);
  Spit(dir / "data.txt", "some data");
  Spit(dir / "data.sig", "old");
  Spit(dir / "empty", "");
  // Larger than one call can take, without taking the space (a sparse file).
  fs::resize_file(Spit(dir / "huge", ""), std::uint64_t{1} << 31);
  struct Case {
    std::string in;
    std::vector<std::string> expected;  // pieces of the output
  };
  const Case cases[] = {
      {(dir / "missing").string(),
       {"cannot read " + (dir / "missing").string() + ": " + platform::ErrorText(kFileNotFound)}},
      {kNullDevice, {kNullDeviceProblem}},
      {dir.string(), {"it is a directory"}},
      {(dir / "empty").string(), {"is empty"}},
      {(dir / "huge").string(), {"is 2147483648 bytes", "at most 2147483647 bytes (2 GiB - 1)"}},
      // An empty root: no vendor library anywhere.
      {(dir / "data.txt").string(),
       {Shown("SignData -> 134: Невозможно загрузить библиотеку ПБЗИ cc.dll"),
        "vendor library " + kVendorLibrary + " in any place it searches; put it in ROOT/EXE/",
        root + Native("/EXE/") + kVendorLibrary, Native("(the root's EXE/): not there"),
        root + Native("/USER/") + kVendorLibrary, "the loader's own search", kLoaderFindsNone,
        "(the engine library's private directory, where an installed tree keeps it): not there",
        "nothing written"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in);
    const Outcome run =
        Host({"sign", "--root", root, "--in", c.in, "--out", (dir / "data.sig").string()});
    EXPECT_EQ(run.exit, 1) << run.output;
    for (const std::string& piece : c.expected)
      EXPECT_NE(run.output.find(piece), std::string::npos) << piece << "\n" << run.output;
    EXPECT_EQ(Slurp(dir / "data.sig"), "old");
  }
  // A libcc.so that lacks an entry point: where it was found and what it lacks.
  const fs::path incomplete = dir / "incomplete";
  fs::create_directories(incomplete / "EXE");
  fs::copy_file(VORNAK2_INCOMPLETE_CC, incomplete / "EXE" / kVendorLibrary);
  const Outcome run = Host({"sign", "--root", incomplete.string(), "--in",
                            (dir / "data.txt").string(), "--out", (dir / "data.sig").string()});
  EXPECT_EQ(run.exit, 1) << run.output;
  for (const std::string& piece :
       {std::string("SignData -> 135: "), Native("(the root's EXE/): found, but incomplete"),
        (incomplete / "EXE" / kVendorLibrary).string() +
            " lacks 1 of the 62 entry points: " + "_GetLibraryVersion"})
    EXPECT_NE(run.output.find(piece), std::string::npos) << piece << "\n" << run.output;
  fs::remove_all(dir);
}

// Values kept in a root's configuration file apply to every command; set-param and unset-param
// change the file and keep its comments; a wrong line is reported with its place.
TEST(HostTool, ConfigurationFile) {
  const fs::path dir = ScratchDir("host_config_");
  const std::string root = dir.string();
  const fs::path conf = dir / ".vornak2-host" / "root.conf";
  fs::create_directories(conf.parent_path());
  Spit(conf, "# kept\nhash algorithm = MD5\n 10 = 7 \n");
  Outcome run = Host({"get-param", "5", "--root", root});
  EXPECT_NE(
      run.output.find("Hash Algorithm = MD5  [one of 34.11, MD5, SQR]  (" + conf.string() + ":2)"),
      std::string::npos)
      << run.output;
  run = Host({"get-param", "10", "--root", root, "--param", "10=9"});
  EXPECT_NE(run.output.find("Last operation key time out = 9  [integer 0..2147483640]  (--param)"),
            std::string::npos)
      << run.output;
  run = Host({"set-param", "--root", root, "Hash Algorithm=34.11"});
  EXPECT_EQ(run.exit, 0) << run.output;
  run = Host({"set-param", "--root", root, "8=H.5;H.6"});
  EXPECT_EQ(run.exit, 0) << run.output;
  run = Host({"unset-param", "--root", root, "10"});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(conf), "# kept\nhash algorithm = 34.11\nEncrypt for UID = H.5;H.6\n");
  run = Host({"get-param", "8", "--root", root});
  EXPECT_NE(run.output.find("Encrypt for UID = H.5;H.6"), std::string::npos) << run.output;

  Spit(conf, "# kept\nno equals sign here\n");
  run = Host({"params", "--root", root});
  EXPECT_EQ(run.exit, 1) << run.output;
  EXPECT_NE(run.output.find(conf.string() + ":2: expected 'NUMBER = VALUE' or 'NAME = VALUE'"),
            std::string::npos)
      << run.output;
  Spit(conf, "Hash = MD5\n");
  run = Host({"params", "--root", root});
  EXPECT_NE(run.output.find(conf.string() + ":1: no parameter 'Hash'"), std::string::npos)
      << run.output;
  fs::remove_all(dir);
}

// The file commands between the two users of a demo deployment.
TEST(HostTool, FilesBetweenTwoUsers) {
  const fs::path dir = ScratchDir("host_files_");
  const std::string root = (dir / "root").string();
  ASSERT_TRUE(DemoRoot(root));
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
  // The demo renewed alice's key under a new UID.
  EXPECT_NE(run.output.find("signer: H.10\n"), std::string::npos) << run.output;
  // A signature that does not hold is the data's answer, not a failure of the tool: exit 3.
  run = as("bob", {"verify", "--in", path("altered.txt"), "--sig", path("m.sig"), "--no-validity"});
  EXPECT_EQ(run.exit, 3) << run.output;
  // So is a signature that holds but was made by another signer than the one expected.
  run = as("bob", {"verify", "--in", path("m.txt"), "--sig", path("m.sig"), "--signer", "H.2"});
  EXPECT_EQ(run.exit, 3) << run.output;
  EXPECT_NE(run.output.find("the signature holds, but H.10 signed it, not H.2"), std::string::npos)
      << run.output;

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
#ifndef _WIN32  // Windows keeps who may read a file in its access list, not in these bits
  EXPECT_EQ(fs::status(path("m.dec")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
#endif

  // Engine options apply in the order given, a later one winning.
  run = Host({"get-param", "2", "--root", root, "--param", "2=first", "--user", "bob"});
  EXPECT_NE(
      run.output.find(Native("Secret Path = %QVXRoot%/bob/sec  [directory *.*]  (--user bob)")),
      std::string::npos)
      << run.output;
  run = Host({"get-param", "2", "--root", root, "--user", "bob", "--param", "2=last"});
  EXPECT_NE(run.output.find("Secret Path = last  [directory *.*]  (--param)"), std::string::npos)
      << run.output;

  // --user alone: the user's own UID (alice's renewed one) is the default recipient.
  run = as("alice", {"encrypt", "--in", path("m.txt"), "--out", path("m.self")});
  ASSERT_EQ(run.exit, 0) << run.output;
  EXPECT_NE(run.output.find("for H.10 (parameter 8)"), std::string::npos) << run.output;
  run = as("alice", {"decrypt", "--in", path("m.self"), "--out", path("m.dec1")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(path("m.dec1")), text);

  // A recipient kept by set-param serves later invocations; alice is not among them.
  run = as("alice", {"set-param", "Encrypt for UID=H.2"});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("alice", {"encrypt", "--in", path("m.txt"), "--out", path("m.bob")});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("alice", {"decrypt", "--in", path("m.bob"), "--out", path("m.none")});
  EXPECT_EQ(run.exit, 3) << run.output;
  EXPECT_NE(run.output.find("DecodeData -> -35"), std::string::npos) << run.output;
  EXPECT_FALSE(fs::exists(path("m.none")));
  run = as("bob", {"decrypt", "--in", path("m.bob"), "--out", path("m.dec2")});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_EQ(Slurp(path("m.dec2")), text);

  run = as("alice", {"uid"});
  EXPECT_NE(run.output.find("current user: H.10\n  certificate        " + root +
                            Native("/alice/self.crt")),
            std::string::npos)
      << run.output;
  // A user without a key set: the certificate tried, and why it gives no UID.
  run = as("carol", {"uid"});
  EXPECT_EQ(run.exit, 1) << run.output;
  EXPECT_NE(run.output.find("--user carol: cannot read " + root + Native("/carol/self.crt: ") +
                            platform::ErrorText(kPathNotFound)),
            std::string::npos)
      << run.output;
  fs::remove_all(dir);
}

// Every file below `dir`, by its path relative to it.
// A text in lower case on Windows, where file names differ in letter case only by accident.
std::string Folded(std::string text) {
#ifdef _WIN32
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
  return text;
}

// The files under `dir`, without the engines' lock files (any change may make one).
std::vector<std::string> FileTree(const fs::path& dir) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file() && entry.path().filename() != ".vornak2.lock")
      files.push_back(fs::relative(entry.path(), dir).string());
  std::sort(files.begin(), files.end());
  return files;
}

// A correspondent's validly signed transfer that carries a configuration file cannot change the
// configuration every user of the root reads: the file lands where transfers land and the tool
// names it, or the command is refused when the engine would put it into the configuration
// directory. A later command still sees the operator's value.
TEST(HostTool, TransferCannotReachConfiguration) {
  const fs::path dir = ScratchDir("host_conf_attack_");
  const fs::path root = dir / "root";
  ASSERT_TRUE(DemoRoot(root));
  const fs::path config = root / ".vornak2-host";
  const auto asUser = [&](const char* user, std::vector<std::string> args) {
    args.insert(args.end(), {"--root", root.string(), "--user", user});
    return Host(args);
  };
  // The operator keeps the validity check on for every user of the root.
  Outcome run = Host({"set-param", "--root", root.string(), "11=Yes"});
  ASSERT_EQ(run.exit, 0) << run.output;
  const std::string kept = Slurp(config / "root.conf");
  const std::string seen = "Verify validity of cert and key files = Yes  [yes/no]  (" +
                           (config / "root.conf").string() + ":1)";

  struct Case {
    const char* carried;            // the name of the file bob's transfer carries
    std::vector<std::string> args;  // alice's command, the transfer's file appended
    int exit;
    std::string expected;  // a piece of the output
    const char* appears;   // the one file that appears under the root, or nullptr
  };
  const std::string templateHere = Native("15=%QVXRoot%/.vornak2-host");
  const Case cases[] = {
      // The old configuration file's name lands in the template directory, and is not read.
      {"vornak2-host.conf",
       {"include-transfer"},
       1,
       "written: " + (root / "vornak2-host.conf").string(),
       "vornak2-host.conf"},
      // The new one lands beside it, not in the configuration directory.
      {"root.conf",
       {"include-transfer"},
       1,
       "written: " + (root / "root.conf").string(),
       "root.conf"},
      // The template directory pointed at the configuration directory: refused, nothing read.
      {"root.conf",
       {"include-transfer", "--param", templateHere},
       1,
       "is the engine's template directory (parameter 15)",
       nullptr},
      {"root.conf",
       {"save-transfer", "--dir", Native("%QVXRoot%/.vornak2-host")},
       1,
       "a transfer's file cannot be saved there",
       nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.carried) + " " + c.args[0] + " " + c.args.back());
    fs::create_directories(dir / "bob");
    const fs::path carried = Spit(dir / "bob" / c.carried, "11 = No\n");
    const std::string transfer = (dir / "transfer.txt").string();
    run = asUser("bob", {"transfer-file", carried.string(), "--out", transfer});
    ASSERT_EQ(run.exit, 0) << run.output;

    const std::vector<std::string> before = FileTree(root);
    // The template directory is the root, as it is by default on POSIX systems (Windows's
    // default is C:\); a row's own --param comes later and wins.
    std::vector<std::string> args = {c.args[0], "--param", Native("15=%QVXRoot%/")};
    args.insert(args.end(), c.args.begin() + 1, c.args.end());
    args.insert(args.end(), {"--in", transfer});
    run = asUser("alice", args);
    EXPECT_EQ(run.exit, c.exit) << run.output;
    EXPECT_NE(run.output.find(c.expected), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("nothing written"), std::string::npos) << run.output;

    std::vector<std::string> appeared;
    const std::vector<std::string> after = FileTree(root);
    std::set_difference(after.begin(), after.end(), before.begin(), before.end(),
                        std::back_inserter(appeared));
    EXPECT_EQ(appeared,
              c.appears ? std::vector<std::string>{c.appears} : std::vector<std::string>{});
    EXPECT_EQ(Slurp(config / "root.conf"), kept);
    run = asUser("alice", {"get-param", "11"});
    EXPECT_EQ(run.exit, 0) << run.output;
    EXPECT_NE(run.output.find(seen), std::string::npos) << run.output;
  }
  // The file in the old place is pointed out, not read.
  EXPECT_NE(run.output.find((root / "vornak2-host.conf").string() + " is ignored"),
            std::string::npos)
      << run.output;
  fs::remove_all(dir);
}

// One command run as a user of a demo deployment: its exit code and a piece of its output.
struct CommandRow {
  const char* user;
  std::vector<std::string> args;
  int exit;
  std::string expected;
};

template <std::size_t N, typename As>
void CheckRows(const CommandRow (&rows)[N], const As& as) {
  for (const CommandRow& r : rows) {
    const Outcome run = as(r.user, r.args);
    EXPECT_EQ(run.exit, r.exit) << r.args[0] << "\n" << run.output;
    EXPECT_NE(run.output.find(r.expected), std::string::npos) << r.args[0] << "\n" << run.output;
  }
}

// The store and transfer commands between the users of a demo deployment; transfers through
// files and through standard input and output.
TEST(HostTool, StoreAndTransferCommands) {
  const fs::path dir = ScratchDir("host_store_");
  const std::string root = (dir / "root").string();
  ASSERT_TRUE(DemoRoot(root));
  const auto path = [&](const char* name) { return (dir / Native(name)).string(); };
  const auto as = [&](const char* user, std::vector<std::string> args) {
    args.insert(args.end(), {"--root", root, "--user", user});
    return Host(args);
  };

  // A transfer on standard output is the transfer alone; the report goes to standard error.
  std::string own;
  ASSERT_TRUE(
      HostStandardOutput({"transfer-own", "--out", "-", "--root", root, "--user", "alice"}, own));
  ASSERT_FALSE(own.empty());
  EXPECT_EQ(
      own.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=\n"),
      std::string::npos);
  Spit(path("own.txt"), own);
  fs::create_directories(path("saved"));

  const CommandRow rows[] = {
      {"bob", {"transfer-uid", "--in", path("own.txt")}, 0, "uid: H.10"},
      {"bob",
       {"save-transfer", "--in", path("own.txt"), "--dir", path("saved")},
       0,
       "SavePublicKeyFromTransfer -> 0"},
      {"bob", {"transfer-user", "H.10", "--out", path("stored.txt")}, 0, "written to"},
      {"bob",
       {"match-transfers", "--in", path("own.txt"), "--with", path("stored.txt")},
       0,
       "the same UID"},
      {"bob", {"include-transfer", "--in", path("own.txt")}, 0, "IncludePublicKeyTransfer -> 0"},
      {"bob", {"refresh-cert", "H.10"}, 0, "UpdateCertificateCash -> 0"},
      {"bob", {"remove-cert", "H.2"}, 1, "RemoveCertificate -> 132"},
      {"bob", {"remove-cert", "H.10"}, 0, "RemoveCertificate -> 0"},
      {"bob", {"transfer-uid", "--in", path("own.txt")}, 1, "GetUIDByPublicKeyTransfer -> 112"},
      {"bob", {"install-cert", path("saved/self.crt")}, 0, "IncludePublicKey -> 0"},
      {"bob", {"transfer-uid", "--in", path("missing.txt")}, 1, "cannot read the transfer"},
      {"alice", {"generate-keys", "--dir", path("saved")}, 0, "GenerateNewSSK -> 0"},
      {"alice", {"generate-keys", "--dir", path("none")}, 1, "GenerateNewSSK -> 114"},
      {"alice",
       {"include-authority", "--in", path("own.txt")},
       1,
       "IncludeCACertificateFromTransfer -> 130"},
      {"alice", {"clear-cache"}, 0, "ClearCash"},
  };
  CheckRows(rows, as);
  EXPECT_TRUE(fs::exists(path("saved/1.sec")));
  EXPECT_TRUE(fs::exists(path("saved/0.pub")));
  fs::remove_all(dir);
}

// A renewal, reports, directory set-up and signed-data files through the commands, with the test
// authority answering the renewal between them.
TEST(HostTool, RenewalAndReportCommands) {
  const fs::path dir = ScratchDir("host_renewal_");
  ASSERT_TRUE(DemoRoot(dir / "root"));
  const std::string root = (dir / "root").string() + kSep;
  const auto path = [&](const char* name) { return (dir / name).string(); };
  // The user's key set first, so that --param in the arguments can change it.
  const auto as = [&](const char* user, std::vector<std::string> args) {
    args.insert(args.begin() + 1, {"--root", root, "--user", user});
    return Host(args);
  };
  fs::create_directories(path("renewal"));
  Spit(path("m.txt"), "Payment order 19\n");
  ASSERT_EQ(as("bob", {"sign", "--in", path("m.txt"), "--out", path("m.sig")}).exit, 0);
  const std::string ca = (fs::path(VORNAK2_HOST_TOOL).parent_path() / "vornak2-ca").string();

  const CommandRow rows[] = {
      {"bob", {"report", "H.10"}, 0, "UID=H.10\nKN=0\nICN=CA.1\nIKN=1\nNotBefore="},
      {"bob", {"properties", "H.10"}, 0, "UID=H.10\n"},
      {"bob", {"report-file", root + Native("bob/self.crt")}, 0, "UID=H.2\n"},
      {"bob",
       {"report-transfer", "--in", root + Native("transfers/renewal-certificate.txt")},
       0,
       "UID=H.10\n"},
      {"bob", {"report"}, 1, "GetReport -> 113"},
      {"alice", {"report", "--dir", root + Native("alice/renewal")}, 0, "UID=H.10\n"},
      {"bob",
       {"create-dirs", root + Native("delivery/bob.crt"), root + Native("ca/authority.aut")},
       0,
       "CreateDirStructure -> 0"},
      {"bob", {"create-dirs", path("none.crt")}, 1, "CreateDirStructure -> 8"},
      {"bob",
       {"save-signed", "--in", path("m.txt"), "--sig", path("m.sig"), "--out", path("m.signed")},
       0,
       "SaveSignedDataToFile -> 0"},
      {"bob",
       {"renew-start", "--dir", path("renewal"), "--out", path("request.txt"), "--mode", "0",
        "--param", Native("2=%QVXRoot%/nowhere")},
       0,
       "mode: 2"},
      {"bob",
       {"renew-start", "--dir", path("renewal"), "--out", path("request.txt")},
       0,
       "RemoteGenerateStart -> 0"},
      {"bob", {"report", "--dir", path("renewal")}, 0, "UID=H.2\nKN=1\n"},
  };
  CheckRows(rows, as);
  EXPECT_EQ(fs::file_size(path("m.signed")),
            4 + fs::file_size(path("m.txt")) + fs::file_size(path("m.sig")));

  Outcome run =
      RunProgram(ca, {"renew", "--authority", root + "ca", "--root", root, "--operator", "operator",
                      "--in", path("request.txt"), "--out", path("answer.txt")});
  ASSERT_EQ(run.exit, 0) << run.output;
  run = as("bob",
           {"renew-finish", "--dir", path("renewal"), "--in", path("answer.txt"), "--mode", "0"});
  EXPECT_EQ(run.exit, 0) << run.output;
  EXPECT_NE(run.output.find("mode: 1 (done)\ncurrent user: H.2"), std::string::npos) << run.output;
  // Windows keeps the name in the letter case the engine wrote it with (its expanded root).
  EXPECT_NE(Folded(run.output).find(Folded("written: " + root + Native("bob/self.crt"))),
            std::string::npos)
      << run.output;
  run = as("bob", {"renew-finish", "--dir", path("renewal"), "--in", path("answer.txt")});
  EXPECT_EQ(run.exit, 1);
  EXPECT_NE(run.output.find("RemoteGenerateFinish -> 129"), std::string::npos) << run.output;
  run = as("bob", {"report-file", root + Native("bob/self.crt")});
  EXPECT_NE(run.output.find("UID=H.2\nKN=1\n"), std::string::npos) << run.output;
  fs::remove_all(dir);
}

}  // namespace

// set-param stopped at each of its own writes, as a crash or a power cut would stop it: then, in
// a fresh process, the configuration holds the old value or the new one and its directory
// nothing else, and the command repeated succeeds. Once with no configuration yet (its
// directory is made) and once with a file that has a comment and a value.
TEST(HostTool, ConfigurationWriteSurvivesAStop) {
#ifndef VORNAK2_FAULT_HOOKS
  GTEST_SKIP() << "the tool counts its writes only in builds with VORNAK2_FAULT_HOOKS";
#else
  constexpr int kStopped = platform::kFaultStopStatus;
  struct Case {
    const char* name;
    std::string before;  // root.conf before, or empty for none
    std::string oldValue;
  };
  const Case cases[] = {{"no configuration yet", "", "Encrypt for UID = H.0 "},
                        {"a configuration file", "# kept\n8 = H.5\n", "Encrypt for UID = H.5 "}};
  const std::string newValue = "Encrypt for UID = H.6 ";
  // What the configuration directory may hold: the file, and on Windows the tool's lock file.
  const auto clean = [](const fs::path& dir) {
    std::vector<std::string> names;
    if (fs::exists(dir))
      for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().filename() != ".lock") names.push_back(entry.path().filename().string());
    return names == std::vector<std::string>{"root.conf"} || names.empty();
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int points = 0;
    for (int n = 1; n < 100; ++n) {
      SCOPED_TRACE("stopped at write " + std::to_string(n));
      const fs::path root = ScratchDir("host_conf_stop_");
      const fs::path conf = root / ".vornak2-host" / "root.conf";
      if (!c.before.empty()) {
        fs::create_directories(conf.parent_path());
        Spit(conf, c.before);
      }
      const std::vector<std::string> set = {"set-param", "--root", root.string(), "8=H.6"};
      platform::SetEnv("VORNAK2_HOST_STOP_AT", std::to_string(n));
      Outcome run = Host(set);
      platform::SetEnv("VORNAK2_HOST_STOP_AT", "");
      if (run.exit == 0) {
        points = n - 1;
        fs::remove_all(root);
        break;
      }
      ASSERT_EQ(run.exit, kStopped) << run.output;
      run = Host({"get-param", "8", "--root", root.string()});
      EXPECT_EQ(run.exit, 0) << run.output;
      EXPECT_TRUE(run.output.find(c.oldValue) != std::string::npos ||
                  run.output.find(newValue) != std::string::npos)
          << run.output;
      EXPECT_TRUE(clean(conf.parent_path())) << "after the stop";
      run = Host(set);
      EXPECT_EQ(run.exit, 0) << run.output;
      EXPECT_NE(Host({"get-param", "8", "--root", root.string()}).output.find(newValue),
                std::string::npos);
      EXPECT_TRUE(clean(conf.parent_path())) << "after the repeated command";
      if (!c.before.empty()) {
        EXPECT_EQ(Slurp(conf), "# kept\n8 = H.6\n");
      }
      fs::remove_all(root);
    }
    // At least the file's creation, writing, flush and rename (and, on POSIX systems, the
    // directory's flush; for a new configuration, the directory made and flushed first).
    EXPECT_GE(points, 4);
    std::printf("%s: %d write points, each stop left the old or the new configuration\n", c.name,
                points);
  }
#endif
}
