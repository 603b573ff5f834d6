// vornak2-host: loads libvornak2.so the way a host application does (at run time, by name) and
// drives it through its exported functions.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "support/text.h"
#include "vornak2.h"

namespace {

namespace platform = vornak2::platform;

// The exported functions the tool uses, looked up by name.
struct Api {
  decltype(&::GetCryptObj) GetCryptObj = nullptr;
  decltype(&::DoneEngine) DoneEngine = nullptr;
  decltype(&::SetRootPath) SetRootPath = nullptr;
  decltype(&::GetCryptoParamNumber) GetCryptoParamNumber = nullptr;
  decltype(&::GetCryptoParamName) GetCryptoParamName = nullptr;
  decltype(&::GetCryptoParamValue) GetCryptoParamValue = nullptr;
  decltype(&::GetMaxCryptoParamNameLength) GetMaxCryptoParamNameLength = nullptr;
  decltype(&::GetMaxCryptoParamValueLength) GetMaxCryptoParamValueLength = nullptr;
  decltype(&::GetMaxErrorStringLength) GetMaxErrorStringLength = nullptr;
  decltype(&::GetCryptoErrorString) GetCryptoErrorString = nullptr;
  decltype(&::GetMaxSignatureLength) GetMaxSignatureLength = nullptr;
  decltype(&::GetMaxEncodeAddition) GetMaxEncodeAddition = nullptr;
  decltype(&::GetMaxFilePathLength) GetMaxFilePathLength = nullptr;
  decltype(&::GetMaxUIDLength) GetMaxUIDLength = nullptr;
  decltype(&::GetCurrentUserUID) GetCurrentUserUID = nullptr;
};

template <typename F>
bool Bind(platform::ModuleHandle module, const char* name, F& slot) {
  slot = reinterpret_cast<F>(platform::FindSymbol(module, name));
  if (!slot) std::fprintf(stderr, "vornak2-host: the library does not export %s\n", name);
  return slot != nullptr;
}

bool BindAll(platform::ModuleHandle m, Api& api) {
  bool ok = true;
#define VORNAK2_BIND(name) ok = Bind(m, #name, api.name) && ok
  VORNAK2_BIND(GetCryptObj);
  VORNAK2_BIND(DoneEngine);
  VORNAK2_BIND(SetRootPath);
  VORNAK2_BIND(GetCryptoParamNumber);
  VORNAK2_BIND(GetCryptoParamName);
  VORNAK2_BIND(GetCryptoParamValue);
  VORNAK2_BIND(GetMaxCryptoParamNameLength);
  VORNAK2_BIND(GetMaxCryptoParamValueLength);
  VORNAK2_BIND(GetMaxErrorStringLength);
  VORNAK2_BIND(GetCryptoErrorString);
  VORNAK2_BIND(GetMaxSignatureLength);
  VORNAK2_BIND(GetMaxEncodeAddition);
  VORNAK2_BIND(GetMaxFilePathLength);
  VORNAK2_BIND(GetMaxUIDLength);
  VORNAK2_BIND(GetCurrentUserUID);
#undef VORNAK2_BIND
  return ok;
}

// The library next to this tool's build output, unless VORNAK2_LIBRARY names another file.
std::string LibraryPath() {
  if (auto env = platform::GetEnv("VORNAK2_LIBRARY")) return *env;
  std::string exe = platform::ExecutablePath();
  const auto slash = exe.rfind('/');
  const std::string dir = slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
  return dir + "../lib/libvornak2.so";
}

std::string Message(const Api& api, VORNAK2_HANDLE engine, int32_t code) {
  std::vector<char> buffer(static_cast<std::size_t>(api.GetMaxErrorStringLength(engine)) + 1, '\0');
  api.GetCryptoErrorString(engine, code, buffer.data());
  return vornak2::Cp1251ToUtf8(buffer.data());
}

// The directory of this tool, with its separator.
std::string ToolDir() {
  std::string exe = platform::ExecutablePath();
  const auto slash = exe.rfind('/');
  return slash == std::string::npos ? std::string("./") : exe.substr(0, slash + 1);
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs the test authority tool (beside this tool) with the arguments, echoing the command line.
bool RunAuthority(const std::vector<std::string>& args) {
  std::string cmd = Quote(ToolDir() + "vornak2-ca");
  std::string shown = "vornak2-ca";
  for (const auto& a : args) {
    cmd += " " + Quote(a);
    shown += " " + a;
  }
  std::printf("  $ %s\n", shown.c_str());
  std::fflush(stdout);
  return std::system((cmd + " | sed 's/^/    /'").c_str()) == 0;
}

// Lays out what a deployment has: the vendor library in ROOT/EXE/, an authority, and the key set
// of one user (ROOT/sec/0.sec, ROOT/self.crt, ROOT/sec/CA.1/0.aut, ROOT/crt/, ROOT/@rand).
bool PrepareRoot(const std::string& root, const std::string& uid) {
  namespace fs = std::filesystem;
  std::error_code error;
  fs::create_directories(fs::path(root) / "EXE", error);
  const std::string cc = platform::GetEnv("VORNAK2_CC").value_or(ToolDir() + "../lib/libcc.so");
  fs::copy_file(cc, fs::path(root) / "EXE" / "libcc.so", fs::copy_options::overwrite_existing,
                error);
  if (error) {
    std::fprintf(stderr, "vornak2-host: cannot place %s in %sEXE/: %s\n", cc.c_str(), root.c_str(),
                 error.message().c_str());
    return false;
  }
  std::printf("vendor library: %s -> %sEXE/libcc.so\n", cc.c_str(), root.c_str());
  std::printf("test authority and the key set of %s:\n", uid.c_str());
  if (!fs::exists(fs::path(root) / "ca" / "authority.aut") &&
      !RunAuthority({"create-authority", "--dir", root + "ca", "--uid", "CA.1"}))
    return false;
  return RunAuthority(
      {"bootstrap", "--authority", root + "ca", "--root", root, "--uid", uid, "--force"});
}

// The engine's name as the engine itself gives it: the generic message text ends with it.
std::string EngineName(const Api& api, VORNAK2_HANDLE engine) {
  const std::string text = Message(api, engine, 10);  // a code without a message of its own
  const auto space = text.rfind(':');
  const std::string head = space == std::string::npos ? text : text.substr(0, space);
  const auto start = head.find("Zureza");
  return start == std::string::npos ? head : head.substr(start);
}

int Demo(const Api& api, std::string root, bool temporary) {
  if (!root.empty() && root.back() != '/') root.push_back('/');
  std::printf("root: %s%s\n", root.c_str(), temporary ? " (temporary)" : "");
  const std::string uid = "H.0";
  if (!PrepareRoot(root, uid)) return 1;

  VORNAK2_HANDLE engine = api.GetCryptObj(0);
  if (!engine) {
    std::fprintf(stderr, "vornak2-host: GetCryptObj returned no engine\n");
    return 1;
  }
  api.SetRootPath(engine, root.c_str());
  std::printf("\nengine: %s\n", EngineName(api, engine).c_str());
  std::printf("sizes: signature %d, encode addition %d, file path %d\n",
              api.GetMaxSignatureLength(engine), api.GetMaxEncodeAddition(engine),
              api.GetMaxFilePathLength(engine));

  const int32_t count = api.GetCryptoParamNumber(engine);
  std::printf("parameters: %d\n", count);
  std::vector<char> name(static_cast<std::size_t>(api.GetMaxCryptoParamNameLength(engine)) + 1);
  std::vector<char> value(static_cast<std::size_t>(api.GetMaxCryptoParamValueLength(engine)) + 1);
  for (int32_t i = 1; i <= count; ++i) {
    api.GetCryptoParamName(engine, i, name.data());
    api.GetCryptoParamValue(engine, i, value.data());
    std::printf("  %2d  %-40s = %s\n", i, vornak2::Cp1251ToUtf8(name.data()).c_str(),
                vornak2::Cp1251ToUtf8(value.data()).c_str());
  }

  std::vector<char> current(static_cast<std::size_t>(api.GetMaxUIDLength(engine)) + 1, '\0');
  const int32_t rc = api.GetCurrentUserUID(engine, current.data());
  api.GetCryptoParamValue(engine, 19, value.data());
  if (rc == 0)
    std::printf("\ncurrent user, read from its own certificate %s: %s\n", value.data(),
                current.data());
  else
    std::printf("\nGetCurrentUserUID failed with %d: %s\n", rc, Message(api, engine, rc).c_str());

  for (int32_t code : {134, 136, -65})
    std::printf("message %d: %s\n", code, Message(api, engine, code).c_str());
  api.DoneEngine(engine);
  std::printf("engine released\n");
  if (temporary) {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  return rc == 0 && std::string(current.data()) == uid ? 0 : 1;
}

// A new directory for a demo root.
std::string TemporaryRoot() {
  namespace fs = std::filesystem;
  const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
  const fs::path dir = fs::temp_directory_path() / ("vornak2-demo-" + std::to_string(stamp));
  fs::create_directories(dir);
  return dir.string() + "/";
}

void Usage() {
  std::fprintf(
      stderr,
      "usage: vornak2-host demo [ROOT]\n"
      "  demo   lay out a user's key set with the test authority (in ROOT, or a temporary\n"
      "         directory), load the library, configure an engine and read the user's UID\n"
      "The library is looked up next to the tool (../lib/libvornak2.so) or in VORNAK2_LIBRARY.\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2 || std::strcmp(argv[1], "demo") != 0) {
    Usage();
    return 2;
  }
  const std::string path = LibraryPath();
  platform::ModuleHandle module = platform::LoadModule(path);
  if (!module) {
    std::fprintf(stderr, "vornak2-host: cannot load %s\n", path.c_str());
    return 1;
  }
  Api api;
  if (!BindAll(module, api)) return 1;
  std::printf("loaded %s\n", path.c_str());
  const bool temporary = argc <= 2;
  std::string root = argc > 2 ? argv[2] : TemporaryRoot();
  const int rc = Demo(api, root, temporary);
  platform::FreeModule(module);
  return rc;
}
