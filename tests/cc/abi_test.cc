// The exported surface of libcc.so: names, the entry points that are not offered, the context
// record's callback slot.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "paths.h"
#include "platform/platform.h"
#include "support.h"

namespace cctest {
namespace {

TEST(CcAbi, DerivesPosixNamesFromDecoratedNames) {
  struct Case {
    const char* decorated;
    const char* posix;
  } const cases[] = {{"_InitRand@0", "_InitRand"},
                     {"__CertInfo@12", "__CertInfo"},
                     {"__BufferCleanFree@4", "__BufferCleanFree"},
                     {"_NewKeys@28", "_NewKeys"},
                     {"NoSuffix", "NoSuffix"}};
  for (const auto& c : cases) {
    EXPECT_EQ(cc_abi::PosixName(c.decorated), c.posix);
    EXPECT_STREQ(cc_abi::PosixSymbol(c.decorated).c_str(), c.posix);
  }
  EXPECT_STREQ(cc_abi::kDecoratedNames[0], "_InitRand@0");
  EXPECT_STREQ(cc_abi::kDecoratedNames[37], "__CertInfo@12");
  EXPECT_STREQ(cc_abi::kDecoratedNames[61], "_NewUserInfo@32");
  std::set<std::string> distinct;
  for (const auto& n : cc_abi::kPosixNames) distinct.insert(n.c_str());
  EXPECT_EQ(distinct.size(), 62u);
}

// The dynamic symbol table holds the 62 entry points, the optional entry points (the declaration
// of concurrent use, whether a certificate is an authority's), and nothing of our own besides.
TEST(CcAbi, ExportsExactlyTheEntryPoints) {
#ifdef _WIN32
  GTEST_SKIP() << "the DLL's export table, with its decorated names, is checked by dll_exports";
#endif
  const std::string cmd = std::string("nm -D --defined-only ") + CC_LIBRARY_PATH + " 2>/dev/null";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  std::set<std::string> exported;
  char line[512];
  while (std::fgets(line, sizeof line, p)) {
    char addr[64], type[8], name[400];
    if (std::sscanf(line, "%63s %7s %399s", addr, type, name) == 3) exported.insert(name);
  }
  if (pclose(p) != 0 || exported.empty()) GTEST_SKIP() << "nm is not available";
  std::set<std::string> expected;
  for (const auto& n : cc_abi::kPosixNames) expected.insert(n.c_str());
  expected.insert(cc_abi::PosixSymbol(CC_CONCURRENT_CONTEXTS_NAME).c_str());
  expected.insert(cc_abi::PosixSymbol(CC_CERT_IS_AUTHORITY_NAME).c_str());
  for (const auto& name : exported) {
    // Sanitizer runtimes and the toolchain may add their own symbols; ours all start with "_"
    // followed by a letter or "_", like the entry points.
    const bool ours = expected.count(name) != 0;
    const bool toolchain = name.rfind("__asan", 0) == 0 || name.rfind("__ubsan", 0) == 0 ||
                           name.rfind("__tsan", 0) == 0 || name.rfind("__sanitizer", 0) == 0 ||
                           name.rfind("_init", 0) == 0 || name.rfind("_fini", 0) == 0 ||
                           name.rfind("_edata", 0) == 0 || name.rfind("_end", 0) == 0 ||
                           name.rfind("__bss_start", 0) == 0;
    EXPECT_TRUE(ours || toolchain) << "unexpected export " << name;
  }
  for (const auto& name : expected) EXPECT_TRUE(exported.count(name)) << "missing export " << name;
  // No decorated name leaks out: "@" would be read as a symbol version.
  for (const auto& decorated : cc_abi::kDecoratedNames)
    EXPECT_EQ(vornak2::platform::FindSymbol(CcHandle(), decorated), nullptr) << decorated;
}

TEST(CcAbi, EntryPointsNotOfferedAnswerNotSupported) {
  const CcEntryTable& f = Cc();
  Ctx ctx = NewCtx();
  CcContext* c = ctx.get();
  char* text = nullptr;
  void* any = nullptr;
  CcCertInfo* ci = nullptr;
  CcSecInfo* si = nullptr;
  const std::int32_t results[] = {
      f._RandReadFile("x"),
      f._SetPKSAlgorithm(c, "34.10"),
      f._SetCurrentDir(c, "/"),
      f._SetArchivePath(c, "/"),
      f._SetSignFlags(c, 0),
      f._SetVerifyFlags(c, 0),
      f._SetCipherFlags(c, 0),
      f._SetDebug(c, 0, nullptr),
      f._KeysGeneration(c, "H.0", 0, "/"),
      f._FileSign(c, "a", "b", 0),
      f._FileVerify(c, "a", "b", 0),
      f._InitSubjectList(),
      f._FreeSubjectList(nullptr),
      f._AddSubject(nullptr, "H.0", "n", 0, 0, nullptr),
      f._FileEncipher(c, nullptr, "a", "b", 0),
      f._FileDecipher(c, "a", "b", 0),
      f._FileDeleteSignatures(c, "a"),
      f._GetArchCertPath(c, "H.0", 0),
      f._GetInfoPath(c, "H.0"),
      f._GetCAPath(c, "CA", 0),
      f._CertInfo(c, "file", &ci),
      f._InfoInfo(c, "file", &any),
      f.__InfoInfo(c, "text", &any),
      f._SecInfo(c, "file", &si),
      f._FreeInfoInfo(nullptr),
      f._GetLibraryVersion(),
      f._NewCertificate(c, "r", "s", "c", 0, 0, 0, &text, 0),
      f._NewUserInfo(c, "H.0", "n", "o", "a", "m", &text, 0),
  };
  EXPECT_EQ(std::size(results), 28u);
  for (std::size_t i = 0; i < std::size(results); ++i)
    EXPECT_EQ(results[i], CC_E_NOT_SUPPORTED) << "entry " << i;
  EXPECT_EQ(text, nullptr);
}

// A binding that writes its lookup function at byte offset 120 of the record, without the
// struct, reaches the library.
TEST(CcAbi, CallbackWrittenAtByteOffsetIsUsed) {
  const Pki& pki = TestPki();
  const User u = pki.MakeUser("H.0", 0);
  Ctx ctx = NewCtx();
  const CcAuthorityLookup fn = &AuthorityLookup;
  std::memcpy(reinterpret_cast<char*>(ctx.get()) + CC_CONTEXT_CALLBACK_OFFSET, &fn, sizeof fn);
  SetAuthorityText(pki.autText);
  CcCertInfo* raw = nullptr;
  ASSERT_EQ(Cc().__CertInfo(ctx.get(), u.certText.c_str(), &raw), 0);
  CertInfo info(raw);
  EXPECT_EQ(info->status, 0);
  SetAuthorityText("");
}

TEST(CcAbi, RefusesNullAndReleasedContexts) {
  CcCertInfo* info = nullptr;
  EXPECT_EQ(Cc().__CertInfo(nullptr, "x", &info), CC_E_CONTEXT);
  EXPECT_EQ(Cc()._SetHashAlgorithm(nullptr, "34.11"), CC_E_CONTEXT);
  EXPECT_EQ(Cc()._GetCertPath(nullptr, "H.0"), nullptr);
  EXPECT_EQ(Cc()._FreeCryptCtx(nullptr), CC_E_CONTEXT);
  std::uint8_t* sig = nullptr;
  std::int32_t len = 0;
  Ctx ctx = NewCtx();
  // Calls out of sequence: no signing or ciphering started.
  EXPECT_EQ(Cc()._BufferSignFinal(ctx.get(), &sig, &len), CC_E_CONTEXT);
  EXPECT_EQ(Cc()._BufferSignUpdate(ctx.get(), "a", 1), CC_E_CONTEXT);
  EXPECT_EQ(Cc()._BufferVerifyFinal(ctx.get(), sig), CC_E_CONTEXT);
  std::int32_t produced = 7;
  std::uint8_t out[16];
  EXPECT_EQ(Cc()._BufferCipherUpdate(ctx.get(), "a", 1, out, &produced), CC_E_CONTEXT);
  EXPECT_EQ(produced, 0);
  EXPECT_EQ(sig, nullptr);
}

TEST(CcPaths, CertificateAndSecretKeyPaths) {
  struct Case {
    const char* publicPath;
    const char* uid;
    const char* expected;
  } const cases[] = {
      {"/p", "H.0", "/p/H/@/0.crt"},
      {"/p/", "AB.1234", "/p/AB/@/1/2/3/4.crt"},
      {"/p", "H.", ""},  // no character after the dot
      {"/p", "H", ""},   // no dot
      {"/p", "", ""},
      {"", "H.0", ""},  // no store directory
      {"rel/dir", "X.ab", "rel/dir/X/@/a/b.crt"},
      {"/p", "X..1", ""},  // a level "." (the adapter's rule: no such UID names a file)
      {"/p", "../x", ""},
      {"/p", ".5", ""},
      {"/p", "C:.1", ""},
  };
  // The cases are written with "/"; the library joins with the system's separator.
  const auto native = [](std::string path) {
    std::replace(path.begin(), path.end(), '/', cc::kPathSeparator);
    return path;
  };
  Ctx ctx = NewCtx();
  for (const auto& c : cases) {
    ASSERT_EQ(Cc()._SetPublicPath(ctx.get(), native(c.publicPath).c_str()), 0);
    const char* path = Cc()._GetCertPath(ctx.get(), c.uid);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(path, native(c.expected)) << c.publicPath << " " << c.uid;
  }
  struct SecCase {
    const char* secretPath;
    std::int32_t number;
    const char* expected;
  } const secCases[] = {{"/s", 7, "/s/7.sec"}, {"/s/", 12, "/s/12.sec"}, {"", 3, "3.sec"}};
  for (const auto& c : secCases) {
    ASSERT_EQ(Cc()._SetSecretPath(ctx.get(), native(c.secretPath).c_str()), 0);
    EXPECT_EQ(Cc()._GetSecPath(ctx.get(), c.number), native(c.expected));
  }
  // A path stays readable while the other kind of path is asked for.
  ASSERT_EQ(Cc()._SetPublicPath(ctx.get(), native("/p").c_str()), 0);
  const char* cert = Cc()._GetCertPath(ctx.get(), "H.0");
  Cc()._GetSecPath(ctx.get(), 1);
  EXPECT_EQ(cert, native("/p/H/@/0.crt"));
}

}  // namespace
}  // namespace cctest
