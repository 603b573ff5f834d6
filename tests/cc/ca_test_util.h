// What the tests of the test authority share: running the tools, a deployment (an authority with
// two keys, its operator and users, as the host tool reaches them) and listings of directory
// trees.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "documents.h"
#include "platform/platform.h"
#include "util.h"

namespace cctest {

// Runs a program with the arguments; the exit code, its output in `output` when asked for.
inline int RunTool(const std::string& tool, const std::vector<std::string>& args,
                   std::string* output = nullptr) {
  std::vector<std::string> argv = {tool};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string dropped;
  return vornak2::platform::RunProgram(argv, output != nullptr ? output : &dropped).value_or(-1);
}

inline int RunCa(const std::vector<std::string>& args, std::string* output = nullptr) {
  return RunTool(CA_TOOL_PATH, args, output);
}

// Every file (its content) and directory (with a final "/", no content) under `dir`, by path
// relative to it with "/" between levels.
using Tree = std::map<std::string, std::string>;
inline Tree ListTree(const std::string& dir) {
  namespace fs = std::filesystem;
  Tree tree;
  if (!fs::exists(dir)) return tree;
  for (const auto& entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).generic_string();
    if (entry.is_directory()) {
      tree[name + "/"] = "";
    } else {
      std::ifstream in(entry.path(), std::ios::binary);
      tree[name] = std::string(std::istreambuf_iterator<char>(in), {});
    }
  }
  return tree;
}

inline std::set<std::string> Names(const Tree& tree) {
  std::set<std::string> names;
  for (const auto& [name, content] : tree) names.insert(name);
  return names;
}

// Standard Base64 without line breaks or with them; what is no Base64 gives what decoded so far.
inline std::string DecodeBase64(std::string_view text) {
  std::string out;
  unsigned bits = 0, value = 0;
  for (char c : text) {
    int v;
    if (c >= 'A' && c <= 'Z')
      v = c - 'A';
    else if (c >= 'a' && c <= 'z')
      v = c - 'a' + 26;
    else if (c >= '0' && c <= '9')
      v = c - '0' + 52;
    else if (c == '+')
      v = 62;
    else if (c == '/')
      v = 63;
    else if (c == '\r' || c == '\n')
      continue;
    else
      break;
    value = (value << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((value >> bits) & 0xFF));
    }
  }
  return out;
}

// The serial numbers (hexadecimal) of every certificate in the tree: in PEM files, and carried
// by the transfers that answer renewals (Base64 texts whose block holds the certificate's file).
inline std::set<std::string> CertificateSerials(const Tree& tree) {
  std::set<std::string> serials;
  const auto scan = [&](std::string_view text) {
    constexpr std::string_view kBegin = "-----BEGIN CERTIFICATE-----";
    constexpr std::string_view kEnd = "-----END CERTIFICATE-----";
    for (std::size_t at = text.find(kBegin); at != std::string_view::npos;
         at = text.find(kBegin, at + 1)) {
      const std::size_t end = text.find(kEnd, at);
      if (end == std::string_view::npos) break;
      cc::PublicDocument doc;
      if (cc::ParsePublicDocument(text.substr(at, end + kEnd.size() - at), doc) == 0)
        serials.insert(cc::HexEncode(doc.serial));
    }
  };
  for (const auto& [name, content] : tree) {
    scan(content);
    if (name.ends_with(".txt")) scan(DecodeBase64(content));
  }
  return serials;
}

// The certificate lines of an authority's index: serial number -> the whole line.
inline std::map<std::string, std::string> IndexCertificates(const std::string& index) {
  std::map<std::string, std::string> lines;
  for (std::size_t start = 0; start < index.size();) {
    std::size_t end = index.find('\n', start);
    if (end == std::string::npos) end = index.size();
    const std::string line = index.substr(start, end - start);
    start = end + 1;
    if (line.empty() || line[0] == '#' || line.starts_with("revoked\t") ||
        line.starts_with("crl\t"))
      continue;
    lines[line.substr(0, line.find('\t'))] = line;
  }
  return lines;
}

// A path written with "/" between its levels, in the system's own form.
inline std::string Native(std::string path) {
  std::replace(path.begin(), path.end(), '/', vornak2::platform::kPathSeparator);
  return path;
}

// An authority CA.1 with two keys, key 0 in ROOT/ca (its home, with the index) and key 1, its
// roll-over, in ROOT/ca-1; its operator OP.1 and the users, all certified by key 0, in ROOT/NAME
// (the vendor library in ROOT/EXE, as the host tool's engines find it). The operator holds every
// user's certificate, so that it can check who signed a renewal.
class Deployment {
 public:
  Deployment(const std::string& dir, const std::map<std::string, std::string>& users)
      : root_(Native(dir + "/root/")) {
    namespace fs = std::filesystem;
    const fs::path library(CC_LIBRARY_PATH);
    fs::create_directories(root_ + "EXE");
    fs::copy_file(library,
                  root_ + "EXE" + vornak2::platform::kPathSeparator + library.filename().string());
    EXPECT_EQ(RunCa({"create-authority", "--dir", Key(0), "--uid", "CA.1"}), 0);
    EXPECT_EQ(RunCa({"rollover", "--authority", Key(0), "--out", Key(1)}), 0);
    EXPECT_EQ(
        RunCa({"bootstrap", "--authority", Key(0), "--root", root_ + "operator", "--uid", "OP.1"}),
        0);
    for (const auto& [name, uid] : users) {
      EXPECT_EQ(RunCa({"bootstrap", "--authority", Key(0), "--root", root_ + name, "--uid", uid}),
                0);
      EXPECT_EQ(RunCa({"install-cert", "--cert", root_ + Native(name + "/self.crt"), "--root",
                       root_ + "operator"}),
                0);
    }
  }
  const std::string& root() const { return root_; }
  // The directory of the authority's key 0 or 1.
  std::string Key(int number) const { return root_ + (number == 0 ? "ca" : "ca-1"); }

#ifdef HOST_TOOL_PATH
  // The renewal start of `user` (for `uid` when given) through the host tool: its request
  // transfer, written to `request`.
  void Start(const std::string& user, const std::optional<std::string>& uid,
             const std::string& request) const {
    const std::string dir = request + ".d";
    std::filesystem::create_directories(dir);
    std::vector<std::string> start = {"renew-start", "--root", root_,   "--user", user,
                                      "--dir",       dir,      "--out", request};
    if (uid) start.insert(start.end(), {"--uid", *uid});
    std::string output;
    EXPECT_EQ(RunTool(HOST_TOOL_PATH, start, &output), 0) << output;
  }
#endif
  // The authority's answer with key `key`: the arguments of vornak2-ca.
  std::vector<std::string> Answer(int key, const std::string& request, const std::string& answer,
                                  const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = {"renew", "--authority", Key(key),   "--root",
                                     root_,   "--operator",  "operator", "--in",
                                     request, "--out",       answer};
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }

 private:
  std::string root_;
};

}  // namespace cctest
