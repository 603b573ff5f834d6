// vornak2-host: loads libvornak2.so the way a host application does (at run time, by name) and
// drives it through its exported functions.
#include <cstdio>
#include <cstring>
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
  decltype(&::GetPureSign) GetPureSign = nullptr;
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
  VORNAK2_BIND(GetPureSign);
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

int Demo(const Api& api, const std::string& root) {
  VORNAK2_HANDLE engine = api.GetCryptObj(0);
  if (!engine) {
    std::fprintf(stderr, "vornak2-host: GetCryptObj returned no engine\n");
    return 1;
  }
  api.SetRootPath(engine, root.c_str());
  std::printf("engine created, root %s\n", root.c_str());
  std::printf("sizes: signature %d, encode addition %d, file path %d\n", api.GetMaxSignatureLength(engine),
              api.GetMaxEncodeAddition(engine), api.GetMaxFilePathLength(engine));

  const int32_t count = api.GetCryptoParamNumber(engine);
  std::printf("parameters: %d\n", count);
  std::vector<char> name(static_cast<std::size_t>(api.GetMaxCryptoParamNameLength(engine)) + 1);
  std::vector<char> value(static_cast<std::size_t>(api.GetMaxCryptoParamValueLength(engine)) + 1);
  for (int32_t i = 1; i <= count; ++i) {
    api.GetCryptoParamName(engine, i, name.data());
    api.GetCryptoParamValue(engine, i, value.data());
    std::printf("  %2d  %-32s = %s\n", i, vornak2::Cp1251ToUtf8(name.data()).c_str(),
                vornak2::Cp1251ToUtf8(value.data()).c_str());
  }

  const char data[] = "vornak2";
  int32_t size = 0;
  api.GetPureSign(engine, data, 7, 0, nullptr, &size);
  std::string hex(static_cast<std::size_t>(size), '\0');
  const int32_t pure = api.GetPureSign(engine, data, 7, 0, hex.data(), &size);
  std::printf("GetPureSign(\"vornak2\") = %d: %s\n", pure, hex.c_str());

  for (int32_t code : {0, 136, -65}) std::printf("message %d: %s\n", code, Message(api, engine, code).c_str());
  api.DoneEngine(engine);
  std::printf("engine released\n");
  return 0;
}

void Usage() {
  std::fprintf(stderr,
               "usage: vornak2-host demo [ROOT]\n"
               "  demo   load the library, create an engine, list its parameters and messages\n"
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
  const std::string root = argc > 2 ? argv[2] : "/tmp/vornak2-demo";
  const int rc = Demo(api, root);
  platform::FreeModule(module);
  return rc;
}
