#include "key_sets.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <mutex>
#include <stdexcept>
#include <string_view>

#include "platform/platform.h"

#ifdef VORNAK2_TEST_AUTHORITY_IN_PROCESS
#include <sstream>

#include "ca.h"
#endif

namespace vornak2::testing {
namespace fs = std::filesystem;

// The root and the key sets are named with the system's separator, as a host names them: on
// Windows the engine reads only "\\" as a separator when it splits a path into directories.
constexpr char kSep = platform::kPathSeparator;

std::string CompleteLibraryFile() {
  // A run may name another build of the vendor library to test against (the contract-only one).
  if (const auto other = platform::GetEnv("VORNAK2_TEST_CC_LIBRARY"); other && !other->empty())
    return *other;
  return VORNAK2_TEST_CC_LIBRARY;
}
std::string IncompleteLibraryFile() {
  return VORNAK2_TEST_CC_INCOMPLETE_LIBRARY;
}
std::string SerialLibraryFile() {
  return VORNAK2_TEST_CC_SERIAL_LIBRARY;
}

int RunAuthorityTool(const std::vector<std::string>& args) {
#ifdef VORNAK2_TEST_AUTHORITY_IN_PROCESS
  // The same commands as the tool's, run here: no program start. What the authority says shows
  // in the test log only when a command fails.
  const std::vector<std::string_view> views(args.begin(), args.end());
  std::ostringstream log;
  const int code = ca::Run(views, log, log);
  if (code != 0) std::fprintf(stderr, "%s", log.str().c_str());
  return code;
#else
  std::vector<std::string> argv = {VORNAK2_TEST_CA_TOOL};
  argv.insert(argv.end(), args.begin(), args.end());
  return platform::RunProgram(argv).value_or(-1);
#endif
}

std::vector<std::pair<std::int32_t, std::string>> UserKeys::Params() const {
  const std::string dir = "%QVXRoot%" + (kSep + name) + kSep;
  return {{2, dir + "sec"}, {3, dir + "crt"}, {7, dir + "@rand"}, {19, dir + "self.crt"}};
}

TestRoot& TestRoot::Get(bool withLibrary) {
  static TestRoot root(withLibrary);
  return root;
}

TestRoot::TestRoot(bool withLibrary) {
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path path = fs::path(::testing::TempDir()) / ("vornak2_root_" + std::to_string(stamp));
  fs::create_directories(path / "EXE");
  dir_ = path.string() + kSep;
  if (withLibrary) InstallLibrary();
  if (RunAuthorityTool({"create-authority", "--dir", dir_ + "ca", "--uid", authorityUid_}) != 0)
    throw std::runtime_error("the test authority could not be created");
}

TestRoot::~TestRoot() {
  std::error_code ignored;
  fs::remove_all(dir_, ignored);
}

void TestRoot::InstallLibrary(const std::string& file) {
  const std::string source = file.empty() ? CompleteLibraryFile() : file;
  const fs::path target = fs::path(dir_) / "EXE" / VORNAK2_TEST_CC_LIBRARY_NAME;
  // A new file (not an overwrite) so that a library still mapped from the old one is untouched.
  const fs::path temp = target.string() + ".new";
  fs::copy_file(source, temp, fs::copy_options::overwrite_existing);
  fs::rename(temp, target);
}

const UserKeys& TestRoot::User(const std::string& name, const std::string& uid,
                               const std::string& authority, const std::string& curve) {
  static std::mutex lock;
  std::lock_guard guard(lock);
  if (auto it = users_.find(name); it != users_.end()) return it->second;
  UserKeys u;
  u.name = name;
  u.uid = uid;
  u.dir = dir_ + name + kSep;
  u.secretDir = u.dir + "sec" + kSep;
  u.certDir = u.dir + "crt" + kSep;
  u.certFile = u.dir + "self.crt";
  u.randomFile = u.dir + "@rand";
  std::vector<std::string> args = {
      "bootstrap", "--authority", dir_ + authority, "--root", u.dir, "--uid", uid};
  if (!curve.empty()) args.insert(args.end(), {"--curve", curve});
  if (RunAuthorityTool(args) != 0)
    throw std::runtime_error("key set of " + uid + " could not be made");
  return users_.emplace(name, std::move(u)).first->second;
}

std::string TestRoot::RolloverFile() {
  static std::mutex lock;
  std::lock_guard guard(lock);
  const std::string next = dir_ + "ca-next" + kSep;
  if (!fs::exists(next + "1.aut")) {
    if (RunAuthorityTool({"rollover", "--authority", dir_ + "ca", "--out", dir_ + "ca-next"}) != 0)
      throw std::runtime_error("the authority's next key could not be made");
    fs::copy_file(next + "rollover.aut", next + "1.aut");
  }
  return next + "1.aut";
}

}  // namespace vornak2::testing
