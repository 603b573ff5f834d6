// The Windows path rules: drive letters and drive roots, "\", the upper-cased root expansion, the
// "Path" variable with ";" and letter case ignored, and the drive-based parameter defaults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ccom/ce_ccom.h"
#include "platform/platform.h"
#include "root/rootpath.h"
#include "support/errors.h"
#include "support/files.h"

namespace vornak2 {
namespace {

TEST(WindowsPaths, DriveLettersAndRoots) {
  TCcom22Engine engine;
  engine.SetEngineRoot("D:\\Work");
  const struct {
    const char* path;
    const char* root;  // ExpandRootPath
    const char* dir;   // ExpandDirPath
  } rows[] = {
      {"%QVXRoot%\\Keys\\A", "D:\\WORK\\KEYS\\A", "D:\\WORK\\KEYS\\A\\"},
      {"%qvxroot%keys", "D:\\WORK\\KEYS", "D:\\WORK\\KEYS\\"},
      {"%QVXRoot%", "D:\\WORK\\", "D:\\WORK\\"},
      {"A", "A", "A:\\"},
      {"z", "z", "z:\\"},
      {"c:\\Keys", "c:\\Keys", "c:\\Keys\\"},
      {"", "", ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(engine.ExpandRootPath(r.path), r.root) << r.path;
    EXPECT_EQ(engine.ExpandDirPath(r.path), r.dir) << r.path;
  }
  TCcom22Engine rootless;
  EXPECT_EQ(rootless.ExpandRootPath("%QVXRoot%\\keys\\a"), "KEYS\\A");

  const std::pair<const char*, const char*> separators[] = {
      {"C", "C:\\"}, {"C:", "C:\\"}, {"C:\\", "C:\\"}, {"x1", "x1\\"}, {"", ""}};
  for (const auto& [in, out] : separators) EXPECT_EQ(AddPathSeparator(in), out) << in;
  for (const char* root : {"C:\\", "C:", "Z:\\"}) EXPECT_TRUE(ForceDirs(root)) << root;
}

// The certificate store and the authority directories take their levels from a UID; a UID that
// holds a drive colon or a "\" names no file.
TEST(WindowsPaths, UidsBecomeStorePathsWithBackslashes) {
  const struct {
    const char* uid;
    const char* storePath;     // in "C:\r\crt\"
    const char* authorityDir;  // in "C:\r\sec"
  } rows[] = {
      {"AB.12", "C:\\r\\crt\\AB\\@\\1\\2.crt", "C:\\r\\sec\\AB.12"},
      {"CA", "", "C:\\r\\sec\\CA"},
      {"ROOT.CA.7", "", "C:\\r\\sec\\ROOT.CA.7"},
      {"C:.1", "", ""},
      {"A\\B.1", "", ""},
      {"A/B.1", "", ""},
      {"H.\\", "", ""},
  };
  for (const auto& r : rows) {
    EXPECT_EQ(CertPathByUID(r.uid, "C:\\r\\crt\\"), r.storePath) << r.uid;
    EXPECT_EQ(AuthorityDirByUID("C:\\r\\sec", r.uid), r.authorityDir) << r.uid;
  }
  EXPECT_EQ(CertDirsByUID("AB.12", "C:\\r\\"),
            (std::vector<std::string>{"C:\\r\\AB", "C:\\r\\AB\\@", "C:\\r\\AB\\@\\1"}));
}

TEST(WindowsPaths, DriveBasedDefaultsAndTheCurrentCertificate) {
  TCcom22Engine engine;
  const std::pair<int, const char*> defaults[] = {{kParamCurrentDir, "A:\\"},
                                                  {kParamSecretPath, "A:\\sec"},
                                                  {kParamPublicPath, "A:\\crt"},
                                                  {kParamRandomFile, "A:\\@rand"},
                                                  {kParamKeyGenDir, "A:\\"},
                                                  {kParamTemplateDir, "C:\\"},
                                                  {kParamCurrentUserCertificate, "A:\\self.crt"}};
  for (const auto& [number, value] : defaults) {
    char text[1024] = {};
    engine.GetCryptoParamValue(number, text);
    EXPECT_STREQ(text, value) << number;
  }
  engine.SetCryptoParamValue(kParamCurrentUserCertificate, "");
  EXPECT_EQ(engine.GetCurrentCertFile(), "A:\\crt\\H\\@\\0.crt");
  engine.SetCryptoParamValue(kParamUserId, "");
  engine.SetCryptoParamValue(kParamCurrentDir, "C:\\keys");
  EXPECT_EQ(engine.GetCurrentCertFile(), "C:\\keys\\self.crt");
  engine.SetCryptoParamValue(kParamCurrentDir, "B");
  EXPECT_EQ(engine.GetCurrentCertFile(), "B:\\self.crt");
}

class WindowsRoot : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetGlobalRoot();
    saved_ = platform::GetEnv("Path");
  }
  void TearDown() override {
    ResetGlobalRoot();
    platform::SetEnv("Path", saved_.value_or(""));
  }
  std::optional<std::string> saved_;
};

TEST_F(WindowsRoot, PathGetsTheRootDirectoriesOnce) {
  const std::vector<std::string> entries = {"D:\\Work\\EXE\\", "D:\\Work\\SYSTEM\\",
                                            "D:\\Work\\USER\\", "D:\\Work\\"};
  const struct {
    const char* before;
    const char* after;
  } rows[] = {
      {"C:\\WINDOWS", "C:\\WINDOWS;D:\\Work\\EXE\\;D:\\Work\\SYSTEM\\;D:\\Work\\USER\\;D:\\Work\\"},
      {"C:\\WINDOWS;d:\\work\\exe\\",
       "C:\\WINDOWS;d:\\work\\exe\\;D:\\Work\\SYSTEM\\;D:\\Work\\USER\\;D:\\Work\\"},
      {"D:\\Work\\EXE\\X",
       "D:\\Work\\EXE\\X;D:\\Work\\EXE\\;D:\\Work\\SYSTEM\\;D:\\Work\\USER\\;D:\\Work\\"},
      {"", "D:\\Work\\EXE\\;D:\\Work\\SYSTEM\\;D:\\Work\\USER\\;D:\\Work\\"},
  };
  for (const auto& r : rows) {
    platform::SetEnv("Path", r.before);
    AddRootDirsToPath(entries);
    EXPECT_EQ(platform::GetEnv("PATH").value_or(""), r.after) << r.before;
  }
}

TEST_F(WindowsRoot, SetOnceExactlyAndLibraryNamesWithADirectory) {
  SetGlobalRoot("D:\\Work");
  EXPECT_EQ(GlobalRoot(), "D:\\Work\\");
  EXPECT_EQ(RootSearchList(), (std::vector<std::string>{"D:\\Work\\EXE\\", "D:\\Work\\SYSTEM\\",
                                                        "D:\\Work\\USER\\", "D:\\Work\\"}));
  EXPECT_NO_THROW(SetGlobalRoot("D:\\Work\\"));
  EXPECT_THROW(SetGlobalRoot("d:\\work"), Error);
  EXPECT_EQ(GlobalRoot(), "D:\\Work\\");

  for (const char* named : {"E:\\x\\cc.dll", "x/cc.dll", "E:cc.dll"})
    EXPECT_EQ(ResolveLibraryPath(named), named);
  EXPECT_STREQ(kFallbackModule, "DazazOdi.dll");
  EXPECT_EQ(platform::SharedLibraryFileName("cc"), "cc.dll");
}

}  // namespace
}  // namespace vornak2
