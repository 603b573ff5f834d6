// vornak2-host first-key: a user's first key pair and its certificate request, for a UID that
// has no certificate yet. The engine cannot make it: GenerateNewSSK starts from the current
// user's certificate. So the tool loads the vendor library itself, the one the engine would load
// for the root and in the engine's search order, and calls the key-generation entry points of
// the vendor contract as the engine's key generation does (_InitRand, _RandSeed, _InitCryptCtx,
// the algorithms, _SetPKSParameters, _SetPeriod, _NewKeys, the releases): the key pair and the
// request are what any vendor library that keeps the contract makes. The secret key goes into
// the user's secret-key directory (never over a key that is there), the request to the
// authority; create-dirs then sets up the key set from the certificate the authority returns.
#include <cstdio>
#include <filesystem>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "cc_abi.h"
#include "host_commands.h"
#include "host_explain.h"
#include "host_io.h"
#include "host_ops.h"
#include "platform/platform.h"
#include "support/secure.h"
#include "support/text.h"

namespace vornak2::host {

namespace {

namespace fs = std::filesystem;

// Looks up an entry point by its decorated name, as this platform exports it.
template <typename Fn>
Fn EntryPoint(platform::ModuleHandle module, const char* decorated) {
  return reinterpret_cast<Fn>(
      platform::FindSymbol(module, cc_abi::ExportedSymbol(decorated).c_str()));
}

// The entry points of the vendor library that make a key pair.
struct KeyGeneration {
  CcFn_InitRand initRand = nullptr;
  CcFn_FreeRand freeRand = nullptr;
  CcFn_RandSeed randSeed = nullptr;
  CcFn_InitCryptCtx initContext = nullptr;
  CcFn_FreeCryptCtx freeContext = nullptr;
  CcFn_SetCipherAlgorithm setCipher = nullptr;
  CcFn_SetHashAlgorithm setHash = nullptr;
  CcFn_SetPKSParameters setKeyParameters = nullptr;
  CcFn_SetPeriod setPeriod = nullptr;
  CcFn_NewKeys newKeys = nullptr;
  CcFn__BufferCleanFree cleanFree = nullptr;

  bool Bind(platform::ModuleHandle module) {
    initRand = EntryPoint<CcFn_InitRand>(module, CC_DECORATED_NAME(_InitRand, 0));
    freeRand = EntryPoint<CcFn_FreeRand>(module, CC_DECORATED_NAME(_FreeRand, 0));
    randSeed = EntryPoint<CcFn_RandSeed>(module, CC_DECORATED_NAME(_RandSeed, 8));
    initContext = EntryPoint<CcFn_InitCryptCtx>(module, CC_DECORATED_NAME(_InitCryptCtx, 0));
    freeContext = EntryPoint<CcFn_FreeCryptCtx>(module, CC_DECORATED_NAME(_FreeCryptCtx, 4));
    setCipher =
        EntryPoint<CcFn_SetCipherAlgorithm>(module, CC_DECORATED_NAME(_SetCipherAlgorithm, 8));
    setHash = EntryPoint<CcFn_SetHashAlgorithm>(module, CC_DECORATED_NAME(_SetHashAlgorithm, 8));
    setKeyParameters =
        EntryPoint<CcFn_SetPKSParameters>(module, CC_DECORATED_NAME(_SetPKSParameters, 12));
    setPeriod = EntryPoint<CcFn_SetPeriod>(module, CC_DECORATED_NAME(_SetPeriod, 8));
    newKeys = EntryPoint<CcFn_NewKeys>(module, CC_DECORATED_NAME(_NewKeys, 28));
    cleanFree = EntryPoint<CcFn__BufferCleanFree>(module, CC_DECORATED_NAME(__BufferCleanFree, 4));
    return initRand && freeRand && randSeed && initContext && freeContext && setCipher && setHash &&
           setKeyParameters && setPeriod && newKeys && cleanFree;
  }
};

// The vendor library the engine would load for the root, with its key-generation entry points;
// the file in `loaded`. False when none of the places holds a complete one.
bool LoadKeyGeneration(const Library& library, const std::optional<std::string>& root,
                       KeyGeneration& generation, std::string& loaded) {
  for (const std::string& file : VendorLibraryCandidates(library, root)) {
    const bool bare = file.find(kSep) == std::string::npos;
    if (!bare && !platform::IsRegularFile(file)) continue;
    // A library that loads stays loaded: the engine may hold it too.
    const platform::ModuleHandle module = platform::LoadModule(file);
    if (module == nullptr) continue;
    if (!generation.Bind(module)) continue;
    loaded = bare ? platform::LoadedModulePath(file) : file;
    if (loaded.empty()) loaded = file;
    return true;
  }
  return false;
}

// What the key pair is made with: the engine's settings for key generation.
struct KeySettings {
  std::string uid;
  std::int32_t keyNumber = 0;
  std::int32_t first = 0;   // parameter 16, the secret key length
  std::int32_t second = 0;  // parameter 17, the public key length
  std::int32_t days = 0;    // parameter 18 or --days
  std::string cipher;       // parameter 6
  std::string hash;         // parameter 5
};

// A key pair and its request made by the vendor library: its result code (0 or its own negative
// code, 5 without a context). The secret key text is wiped when `secret` goes.
std::int32_t MakeKeyPair(const KeyGeneration& cc, const KeySettings& settings, Bytes& secret,
                         std::string& request) {
  std::int32_t code = cc.initRand();
  if (code != 0) return code;
  // Seed material from the system's generator, as the engine seeds from its random-state file.
  std::vector<std::uint8_t> seed(1024);
  std::random_device device;
  for (std::size_t i = 0; i < seed.size(); i += 4) {
    const std::uint32_t word = device();
    for (std::size_t b = 0; b < 4; ++b) seed[i + b] = static_cast<std::uint8_t>(word >> (8 * b));
  }
  cc.randSeed(seed.data(), static_cast<std::int32_t>(seed.size()));
  SecureWipe(seed.data(), seed.size());
  CcContext* context = cc.initContext();
  if (context == nullptr) {
    cc.freeRand();
    return 5;
  }
  code = cc.setCipher(context, settings.cipher.empty() ? "28147" : settings.cipher.c_str());
  if (code == 0)
    code = cc.setHash(context, settings.hash.empty() ? "34.11" : settings.hash.c_str());
  char* secretText = nullptr;
  char* requestText = nullptr;
  if (code == 0) {
    cc.setKeyParameters(context, settings.first, settings.second);
    cc.setPeriod(context, settings.days);
    code = cc.newKeys(context, settings.uid.c_str(), settings.keyNumber, &secretText, &requestText,
                      0, 0);
  }
  if (code == 0 && (secretText == nullptr || requestText == nullptr)) code = 3;
  if (code == 0) {
    secret = Bytes(std::string_view(secretText));
    request = requestText;
  }
  cc.freeContext(context);
  cc.freeRand();
  if (secretText != nullptr) cc.cleanFree(secretText);
  if (requestText != nullptr) cc.cleanFree(requestText);
  return code;
}

// A UID as the vendor library and the store take one: 1 to 31 printable characters without a
// blank, "/", "\" or ":".
bool PlausibleUid(const std::string& uid) {
  if (uid.empty() || uid.size() > 31) return false;
  for (const char c : uid) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte <= 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  return true;
}

// An integer parameter of the engine; `fallback` when it is not one.
std::int32_t IntegerParam(const Engine& engine, std::int32_t number, std::int32_t fallback) {
  std::int32_t value = 0;
  return ParseInt32(engine.ParamValue(number), value) ? value : fallback;
}

int FirstKeyCommand(const Library& library, const Invocation& call) {
  const std::string user = call.setup.User();
  if (user.empty() || !call.setup.root)
    return UsageError(
        "first-key makes the key set ROOT/NAME/ of a new user: give --root ROOT "
        "(or VORNAK2_ROOT) and --user NAME");
  KeySettings settings;
  settings.uid = call.Option("--uid");
  if (!PlausibleUid(settings.uid))
    return UsageError(
        "--uid takes a UID of 1 to 31 printable characters without blanks, \"/\", "
        "\"\\\" or \":\", such as H.3");
  if (!call.Option("--key-number").empty() &&
      (!ParseInt32(call.Option("--key-number"), settings.keyNumber) || settings.keyNumber < 0))
    return UsageError("--key-number takes a number, 0 or more");
  std::int32_t days = 0;
  if (!call.Option("--days").empty() &&
      (!ParseInt32(call.Option("--days"), days) || days < 1 || days > 65535))
    return UsageError("--days takes a number of days, 1 to 65535");
  return WithSession(library, call, [&](const Session& session) {
    const Engine& engine = session.engine();
    const auto& root = call.setup.root;
    const std::string certificate = ExpandRoot(root, engine.ParamValue(kParamUserCertificate));
    const std::string secretDir = ExpandRoot(root, engine.ParamValue(kParamSecretPath));
    const std::string randomFile = ExpandRoot(root, engine.ParamValue(kParamRandomFile));
    if (platform::PathExists(certificate))
      return FileFailure(user + " has a certificate already (" + certificate +
                         "): a next key comes through the authority (renew-start), or "
                         "generate-keys makes a request");
    settings.first = IntegerParam(engine, kParamKeyGenSecretLength, 1024);
    settings.second = IntegerParam(engine, kParamKeyGenPublicLength, 256);
    settings.days = days != 0 ? days : IntegerParam(engine, kParamKeyGenPeriod, 0);
    settings.cipher = engine.ParamValue(kParamCipher);
    settings.hash = engine.ParamValue(kParamHash);
    const std::string keyFile =
        (fs::path(secretDir) / (std::to_string(settings.keyNumber) + ".sec")).string();
    if (platform::PathExists(keyFile))
      return FileFailure(keyFile +
                         " exists: a secret key is never replaced (give another "
                         "--key-number, or move the file away first)");
    Result()
        .Add("uid", settings.uid)
        .Add("key_number", std::int64_t{settings.keyNumber})
        .Add("secret_key", keyFile);
    std::string problem;
    auto request = Output::Open(call.Option("--out"), false, problem);
    if (!request) return FileFailure(problem);

    KeyGeneration generation;
    std::string loaded;
    if (!LoadKeyGeneration(library, root, generation, loaded)) {
      ExplainFailure(library, engine, root, "first-key", 134);
      return FileFailure(std::string("no loadable ") + kVendorLibrary +
                         " with the key-generation entry points");
    }
    std::printf("a first key pair for %s (%s, key number %d) through %s\n", user.c_str(),
                settings.uid.c_str(), settings.keyNumber, loaded.c_str());
    Bytes secret;
    std::string requestText;
    const std::int32_t code = MakeKeyPair(generation, settings, secret, requestText);
    if (code != 0) {
      Result::Code(code);
      std::fflush(stdout);
      std::fprintf(stderr, "vornak2-host: _NewKeys -> %s\n  %s\nnothing written\n",
                   engine.Describe(code).c_str(), Hint(code).c_str());
      return kExitFailed;
    }

    // The secret-key directory, its owner's alone; the key staged beside its name first.
    std::error_code error;
    fs::create_directories(secretDir, error);
    if (error || !platform::IsDirectory(secretDir))
      return FileFailure("cannot make the secret-key directory " + secretDir);
#ifndef _WIN32
    fs::permissions(secretDir, fs::perms::owner_all, error);
#endif
    const std::string staged = (fs::path(secretDir) / ("." + std::to_string(settings.keyNumber) +
                                                       ".sec.tmp-" + RandomToken()))
                                   .string();
    RemoveOnInterrupt stagedGuard(staged, RemoveOnInterrupt::Kind::kSecretFile);
    if (!platform::WriteNewFile(staged, secret.view(), true)) {
      const std::string why = OutputProblem(staged);
      platform::RemoveFile(staged);
      return FileFailure(why);
    }
    // The request reaches its place first: a key without a request would be of no use.
    const auto requestBytes =
        std::span(reinterpret_cast<const std::uint8_t*>(requestText.data()), requestText.size());
    if (!request->Commit(requestBytes, problem)) {
      platform::RemoveFile(staged);
      return FileFailure(problem);
    }
    if (!platform::RenameNoReplace(staged, keyFile)) {
      platform::RemoveFile(staged);
      return FileFailure("cannot put the secret key in place as " + keyFile + " (the request in " +
                         request->path() + " has no key: make it again)");
    }
    stagedGuard.Forget();
    std::printf("secret key: %s (readable by its owner only)\n", keyFile.c_str());
    std::printf("request: %s\n",
                request->toStdout() ? "written to standard output" : request->path().c_str());
    Result().Add("request", request->path());

    // The random-state file the engine starts its generator from, when there is none yet.
    if (!platform::PathExists(randomFile)) {
      std::vector<std::uint8_t> seed(1024);
      std::random_device device;
      for (auto& byte : seed) byte = static_cast<std::uint8_t>(device());
      auto file = Output::Open(randomFile, true, problem);
      const bool made = file && file->Commit(seed, problem);
      SecureWipe(seed.data(), seed.size());
      if (!made) return FileFailure(problem);
      std::printf("random-state file: %s\n", randomFile.c_str());
      Result().Add("random_file", randomFile);
    }
    std::printf(
        "next: the authority issues the certificate for the request; then\n"
        "  vornak2-host create-dirs --root %s --user %s CERTIFICATE AUTHORITY-CERTIFICATE\n",
        root->c_str(), user.c_str());
    return kExitSuccess;
  });
}

}  // namespace

std::vector<Command> FirstKeyCommands() {
  return {
      {.name = "first-key",
       .synopsis = "--uid UID --out FILE|- [--key-number N] [--days N]",
       .summary = "make a new user's first key pair and its certificate request",
       .help = "Makes the first key pair of the user NAME (--user) for the UID, who has no\n"
               "certificate yet: the secret key goes to ROOT/NAME/sec/N.sec (N the key number,\n"
               "0 unless --key-number says; readable by its owner only, never over a key that\n"
               "is there), the certificate request to FILE for the authority, and a\n"
               "random-state file ROOT/NAME/@rand is made when there is none. The key's\n"
               "validity is --days, or parameter 18 (Key gen - Key expire period). The key\n"
               "pair comes from the vendor library the engine would load for the root (the\n"
               "engine's own key generation needs a current certificate); any vendor library\n"
               "that keeps the vendor contract serves. Then, with the certificate the\n"
               "authority issues for the request and the authority's certificate:\n"
               "  vornak2-host create-dirs --user NAME CERTIFICATE AUTHORITY-CERTIFICATE\n"
               "--json fields: uid, key_number, secret_key, request, random_file.\n",
       .required = {"--uid", "--out"},
       .optional = {"--key-number", "--days"},
       .installsCertificate = true,
       .run = FirstKeyCommand},
  };
}

}  // namespace vornak2::host
