// A test root laid out the way a deployment is: the vendor library in the root's EXE/ directory
// (where the library search finds it), an authority made with the test authority tool, and key
// sets of users, each in a directory of its own under the root. One root per test process, since
// the library's root is process-wide and set once.
#pragma once

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace vornak2::testing {

struct UserKeys {
  std::string name;  // directory under the root
  std::string uid;
  std::string dir;         // root/name/
  std::string secretDir;   // root/name/sec/
  std::string certDir;     // root/name/crt/
  std::string certFile;    // root/name/self.crt
  std::string randomFile;  // root/name/@rand
  // The engine parameters that point an engine at this key set, relative to the root macro.
  std::vector<std::pair<std::int32_t, std::string>> Params() const;
};

class TestRoot {
 public:
  // The process's root. `withLibrary` decides, on the first call only, whether the vendor
  // library is placed in EXE/ at once.
  static TestRoot& Get(bool withLibrary = true);

  const std::string& dir() const { return dir_; }  // with its final separator
  const std::string& authorityUid() const { return authorityUid_; }
  // Copies a library file into EXE/ under the vendor library's name (the complete one when no
  // file is given).
  void InstallLibrary(const std::string& file = "");
  // A user's key set, made on first request by the test authority tool (key number 0), its
  // certificate issued by the authority in root/`authority`, its key of the parameter set
  // `curve` (a name of the tool's --curve; empty: the tool's default).
  const UserKeys& User(const std::string& name, const std::string& uid,
                       const std::string& authority = "ca", const std::string& curve = "");
  // The authority's next key, made on first request in root/ca-next/ (key number 1), and its
  // roll-over certificate (certified by key 0) copied to root/ca-next/1.aut, the name under
  // which a user's authority directory keeps it.
  std::string RolloverFile();

  ~TestRoot();

 private:
  explicit TestRoot(bool withLibrary);
  std::string dir_;
  std::string authorityUid_ = "CA.1";
  std::map<std::string, UserKeys> users_;
};

// A path under the root as the engine gives it back once it has expanded the root macro: on
// Windows the expansion is upper-cased.
inline std::string AsExpanded(std::string path) {
#ifdef _WIN32
  for (char& ch : path) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
#endif
  return path;
}

// Runs the test authority tool with the arguments; its exit code.
int RunAuthorityTool(const std::vector<std::string>& args);
// Path of the complete and of the incomplete vendor library built for the tests, and of the one
// that does not declare concurrent use safe (with a probe of the contexts alive at once).
std::string CompleteLibraryFile();
std::string IncompleteLibraryFile();
std::string SerialLibraryFile();

}  // namespace vornak2::testing
