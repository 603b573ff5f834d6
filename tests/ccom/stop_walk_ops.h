// The operations that the stop walk interrupts, shared by the walking test and the program it
// stops. Each runs on a copy of the walk's template directory (a user's key set with its
// correspondents, pending renewals and the transfers it is sent, laid out by the test) through
// an engine of its own, configured the same way in the stopped process and in the one that
// looks at the files afterwards.
#pragma once

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "vornak2.h"

namespace vornak2::testing::stopwalk {

// A path written with "/" between its levels, in the system's own form.
inline std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', platform::kPathSeparator);
  return path;
}

inline std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

using Files = std::map<std::string, std::string>;  // relative path, with "/" -> content

// The files under `dir`. Where file names ignore letter case, a file renamed to another case is
// the same file: the names are taken in lower case there.
inline Files Snapshot(const std::string& dir) {
  namespace fs = std::filesystem;
  Files files;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    if (!entry.is_regular_file()) continue;
    std::string name = fs::relative(entry.path(), dir).generic_string();
    if (platform::kCaseInsensitiveFileNames)
      std::transform(name.begin(), name.end(), name.begin(),
                     [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    files[name] = ReadWhole(entry.path().string());
  }
  return files;
}

// An engine of the template's user FA.1 in `dir` (a directory under `root`, both with their
// final separator), with its key-generation, template and renewal directories inside `dir`.
class Engine {
 public:
  Engine(const std::string& root, const std::string& dir) : handle_(GetCryptObj(0)) {
    SetRootPath(handle_, root.c_str());
    std::string name = dir.substr(root.size());
    name.pop_back();
    base_.assign("%QVXRoot%").push_back(platform::kPathSeparator);
    base_.append(name).push_back(platform::kPathSeparator);
    const std::string& base = base_;
    Set(2, base + "sec");
    Set(3, base + "crt");
    Set(7, base + "@rand");
    Set(19, base + "self.crt");
    Set(14, base + "keygen");
    Set(15, base + "template");
    SetRemoteGeneratePath(handle_, (dir + Native("renewal/")).c_str());
  }
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;
  ~Engine() { DoneEngine(handle_); }
  void Set(std::int32_t number, const std::string& value) const {
    SetCryptoParamValue(handle_, number, value.c_str());
  }
  VORNAK2_HANDLE get() const { return handle_; }
  // The template directory as the engine's parameters name it, with its final separator.
  const std::string& base() const { return base_; }

 private:
  VORNAK2_HANDLE handle_;
  std::string base_;
};

struct Operation {
  const char* name;
  // Points the engine at what the operation works on (beyond the template user's defaults).
  std::function<void(const Engine&, const std::string& dir)> configure;
  std::function<std::int32_t(const Engine&, const std::string& dir)> run;
  // Repeated after every stop, also where it had completed: it succeeds again and leaves what it
  // leaves when it runs once.
  bool repeatable = false;
  // The template's user signs before and after it (and a peer verifies).
  bool userSigns = true;
};

// In the process that looks at the files after a stop: the user of `dir` signs, and a peer (the
// root's user "sw_b", FB.2) installs the user's certificate as it now is and verifies the
// signature. "sign S verify V".
inline std::string SignAndVerify(const std::string& root, const std::string& dir,
                                 const Operation& op) {
  Engine user(root, dir);
  op.configure(user, dir);
  char signature[1024];
  std::int32_t length = 0;
  const std::int32_t signed_ = SignData(user.get(), "data", 4, signature, &length, "");
  std::int32_t verified = -1;
  if (signed_ == 0) {
    const std::string given = root + "sw_peer_in.crt";
    { std::ofstream(given, std::ios::binary) << ReadWhole(dir + "self.crt"); }
    Engine peer(root, root + Native("sw_b/"));
    if (IncludePublicKey(peer.get(), given.c_str()) == 0) {
      char signer[64] = {};
      verified = VerifyData(peer.get(), "data", 4, signature, length, signer);
    }
  }
  return "sign " + std::to_string(signed_) + " verify " + std::to_string(verified);
}

inline void Defaults(const Engine&, const std::string&) {}

inline std::vector<Operation> Operations() {
  auto renewalIn = [](const char* sub) {
    return [sub](const Engine& e, const std::string& d) {
      SetRemoteGeneratePath(e.get(), (d + Native(sub)).c_str());
    };
  };
  return {
      {"IncludePublicKey (replacing, .old present)", Defaults,
       [](const Engine& e, const std::string& d) {
         return IncludePublicKey(e.get(), (d + "incoming.crt").c_str());
       }},
      {"RemoveCertificate", Defaults,
       [](const Engine& e, const std::string&) { return RemoveCertificate(e.get(), "FO.9"); }},
      {"IncludePublicKeyTransfer", Defaults,
       [](const Engine& e, const std::string& d) {
         return IncludePublicKeyTransfer(e.get(), ReadWhole(d + "t_public.txt").c_str());
       }},
      {"IncludePublicKeyTransfer (its signer's own certificate)", Defaults,
       [](const Engine& e, const std::string& d) {
         return IncludePublicKeyTransfer(e.get(), ReadWhole(d + "t_signer.txt").c_str());
       }},
      {"IncludeCACertificateFromTransfer", Defaults,
       [](const Engine& e, const std::string& d) {
         return IncludeCACertificateFromTransfer(e.get(), ReadWhole(d + "t_authority.txt").c_str());
       }},
      {"SavePublicKeyFromTransfer", Defaults,
       [](const Engine& e, const std::string& d) {
         return SavePublicKeyFromTransfer(e.get(), (d + "inbox").c_str(),
                                          ReadWhole(d + "t_public.txt").c_str());
       },
       true},
      {"GenerateNewSSK (a key file of the new number present)", Defaults,
       [](const Engine& e, const std::string&) { return GenerateNewSSK(e.get()); }},
      {"RemoteGenerateStart", renewalIn("renewal_new/"),
       [](const Engine& e, const std::string&) {
         std::string transfer(5129, '\0');
         return RemoteGenerateStart(e.get(), transfer.data());
       },
       true},
      {"RemoteGenerateFinish (same UID)", Defaults,
       [](const Engine& e, const std::string& d) {
         return RemoteGenerateFinish(e.get(), ReadWhole(d + "t_answer.txt").c_str());
       },
       true},
      {"RemoteGenerateFinish (new UID, its key number taken)", renewalIn("renewal_uid/"),
       [](const Engine& e, const std::string& d) {
         return RemoteGenerateFinish(e.get(), ReadWhole(d + "t_answer_uid.txt").c_str());
       },
       true},
      // (The certificate it sets up is one of another key: the user does not sign with it.)
      {"CreateDirStructure (existing user)", Defaults,
       [](const Engine& e, const std::string& d) {
         return CreateDirStructure(e.get(), (d + "own.crt").c_str(),
                                   (d + Native("ca/authority.aut")).c_str());
       },
       true, false},
      {"CreateDirStructure (new user)",
       [](const Engine& e, const std::string&) {
         // The new user's directories are inside the template's, so that the walk sees them.
         for (const auto& [number, file] :
              {std::pair{2, "sec"}, {3, "crt"}, {7, "@rand"}, {19, "self.crt"}})
           e.Set(number, e.base() + Native(std::string("newuser/") + file));
       },
       [](const Engine& e, const std::string& d) {
         return CreateDirStructure(e.get(), (d + "own.crt").c_str(),
                                   (d + Native("ca/authority.aut")).c_str());
       },
       true, false},
      {"SaveSignedDataToFile (replacing)", Defaults,
       [](const Engine& e, const std::string& d) {
         const std::string data = "data", signature(64, 'S');
         return SaveSignedDataToFile(e.get(), data.data(), 4, signature.data(), 64,
                                     (d + "signed.bin").c_str());
       },
       true},
      {"random-state write-back (ClearCash)", Defaults,
       [](const Engine& e, const std::string&) {
         char signature[1024];
         std::int32_t length = 0;
         // The second operation finds the generator's pool loaded; the clear writes it back.
         std::int32_t code = SignData(e.get(), "data", 4, signature, &length, "");
         if (code == 0) code = SignData(e.get(), "data", 4, signature, &length, "");
         ClearCash(e.get());
         return code;
       },
       true},
  };
}

}  // namespace vornak2::testing::stopwalk
