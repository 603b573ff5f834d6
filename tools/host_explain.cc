#include "host_explain.h"

#include <cstdio>
#include <limits>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include "cc_abi.h"
#include "platform/diagnostics.h"
#include "root/rootpath.h"

namespace vornak2::host {

namespace {

struct CodeHint {
  std::int32_t code;
  const char* hint;
};

// What each result code means for a person running the tool, and what to try.
constexpr CodeHint kHints[] = {
    {1,
     "The engine has no vendor library loaded; run the command again, and see the messages "
     "about $CC."},
    {2,
     "The engine was given values it cannot use; check the recipients and the parameters "
     "(vornak2-host params)."},
    {3, "The vendor library failed inside a call; its reason is at the end of the message."},
    {4, "The data is not encrypted data of this engine, or it was damaged; check the input file."},
    {5, "The machine ran out of memory; try again with less data or more free memory."},
    {6, "This engine does not provide that function."},
    {7,
     "The CPU offers no hardware random generator; set parameter 12 (Use Intel Hardware Random "
     "driver) to No."},
    {8,
     "A file operation of the engine failed; check the directories of parameters 2, 3 and 7 "
     "and their permissions."},
    {9,
     "Parameter 2 (Secret Path) names no usable directory; --user NAME points it at "
     "ROOT/NAME/sec."},
    {103,
     "The UID is wrong, or is not the current user's; this engine signs only as the current "
     "user (leave --signer out)."},
    {104, "A length or a buffer is too small for the data; use shorter UIDs or less data."},
    {106, "The data carries no appended signature, or its format is damaged."},
    {107, "A file could not be handled, or the UID is wrong; check the paths and the UID."},
    {108,
     "The certificate file was not found; check parameter 19 (Current user certificate) or "
     "--user."},
    {109, "The file of the new secret key was not found."},
    {110, "An argument is missing or has an impossible length; the input may be empty."},
    {111, "Parameter 5 (Hash Algorithm) must be 34.11 or MD5."},
    {112,
     "A certificate of that UID is not in the certificate store (parameter 3): install the "
     "owner's certificate file with vornak2-host install-cert FILE, or a transfer of it with "
     "include-transfer (list-certs shows the store), or check the UID."},
    {113, "The directory for remote key generation is wrong; check the path given for it."},
    {114, "Parameter 14 (Key gen - Dir) names no usable directory."},
    {115, "Parameters 9 and 10 (the time-outs) must be whole numbers, 0 or more."},
    {116,
     "The current user's certificate gives no UID: check --user, or parameter 19 (Current user "
     "certificate) and the file it names."},
    {117, "The file of the new secret key cannot be found or written; check the key directories."},
    {118, "The certificate or request file cannot be read; check its path."},
    {119, "The certificate or request could not be taken from the data or written to disk."},
    {120,
     "The current user's secret key is not in the secret-key directory (parameter 2); check "
     "--user, or that the key matches the certificate."},
    {121, "No UID was given; name a recipient with --to, or set parameter 8 (Encrypt for UID)."},
    {122, "Parameter 7 (Random file) is empty; name the random-state file there."},
    {123,
     "Parameter 3 (Public Path) names no existing directory; --user NAME points it at "
     "ROOT/NAME/crt."},
    {124, "The current key directory is not set; check parameters 1 and 19."},
    {125, "Parameter 2 (Secret Path) is empty; --user NAME sets it."},
    {126,
     "The random-state file (parameter 7) cannot be read or written; check the file and its "
     "directory's permissions (first-key makes a missing one for a new key set)."},
    {127, "The certificate request could not be written; check the directory and its permissions."},
    {128, "Parameters 16 and 17 (the key lengths for key generation) are wrong."},
    {129, "The directory for remote key generation cannot be used; check it and its permissions."},
    {130, "The data holds no authority certificate."},
    {131, "An issuer's certificate that is in place cannot be replaced."},
    {132, "The current user's own certificate cannot be removed."},
    {133, "There is no parameter with that number; vornak2-host params lists them."},
    {134,
     "The engine found no loadable vendor library $CC in any place it searches; put it in "
     "ROOT/EXE/ (each place, why it is searched and what it holds follow)."},
    {135,
     "The $CC the engine found lacks entry points it needs; replace it with a complete "
     "one (what it lacks follows)."},
    {136, "The engine met an unexpected error; its reason is at the end of the message."},
    {-5, "The certificate has expired; the user needs a new one."},
    {-34,
     "The certificate, or one of its authorities', carries a critical extension the vendor "
     "library does not know; such a certificate may not be used at all."},
    {-35,
     "The data was not encrypted for the current user, or it was damaged; decrypt as one of "
     "its recipients."},
    {-46,
     "The certificate's key usage does not allow this: a signature needs digitalSignature or "
     "nonRepudiation, encryption keyEncipherment or keyAgreement; ask the authority for a "
     "certificate issued for that use."},
    {-65,
     "The signature does not match the data: one of them was changed, or they do not belong "
     "together."},
    {-66,
     "Parameter 5 (Hash Algorithm) names an algorithm the vendor library does not offer; use "
     "34.11 or MD5."},
    {-67,
     "Parameter 6 (Cipher Algorithm) names an algorithm the vendor library does not offer; use "
     "28147 or 28147-ECB."},
    {-83,
     "An authority in the certificate's chain may not certify it: its key usage lacks "
     "keyCertSign, its path length allows no further authority, or the chain passes 16 "
     "authorities before a self-signed one."},
    {-84,
     "The certificate, or an authority above it, is revoked: its authority's CRL beside "
     "AUTHORITY-UID/N.aut lists it (vornak2-host report UID shows which)."},
    {-73, "The secret key file is damaged; restore it from a backup or make a new key."},
    {-74, "A public key or request is damaged; obtain the file again."},
    {-77, "The certificate is not valid yet, or its validity is wrong; check the machine's clock."},
    {-79, "The certificate is not valid yet, or its validity is wrong; check the machine's clock."},
    {-80, "The secret key is damaged, expired or not valid yet; check the key and the clock."},
    {-81, "The secret key is damaged, expired or not valid yet; check the key and the clock."},
};

// Vendor codes by kind, for those without a sentence of their own.
struct RangeHint {
  std::int32_t from, to;  // inclusive, from the most negative
  const char* hint;
};
constexpr RangeHint kRangeHints[] = {
    {-6, -1,
     "A certificate is missing, unreadable or malformed; check the certificate store "
     "(parameter 3) and the user's certificate (parameter 19)."},
    {-12, -7,
     "The authority's certificate is missing, damaged or expired; it belongs in the "
     "secret-key directory as AUTHORITY-UID/N.aut (vornak2-host create-dirs CERT AUTHORITY-CERT "
     "places it)."},
    {-18, -13,
     "The secret key is missing, unreadable, malformed or expired; check parameter 2 "
     "(Secret Path) or --user."},
    {-23, -19, "A public key is missing, unreadable, malformed or expired."},
    {-86, -82,
     "The certificate does not verify against its authority's; install the authority "
     "certificate, or verify with --no-validity to check the signature alone."},
    {-78, -78,
     "The certificate does not verify against its authority's; install the authority "
     "certificate, or verify with --no-validity to check the signature alone."},
};

std::string Padded(std::string text, std::size_t width) {
  if (text.size() < width) text.append(width - text.size(), ' ');
  return text;
}

// The 62 entry points by the names this platform exports them under.
std::vector<std::string> EntryPointNames() {
  std::vector<std::string> names;
  for (const auto& name : cc_abi::kExportedNames) names.emplace_back(name.c_str());
  return names;
}

// What is at `file`: missing, something that does not load, or a library and what it lacks.
// `found` is set when a regular file is there.
std::string FileStatus(const std::string& file, bool& found, std::string& reason) {
  const platform::FileFacts facts = platform::ExamineFile(file);
  found = facts.kind == platform::FileKind::kRegular;
  switch (facts.kind) {
    case platform::FileKind::kMissing:
      return "not there";
    case platform::FileKind::kDirectory:
    case platform::FileKind::kOther:
      return "there, but not a regular file";
    case platform::FileKind::kInaccessible:
      return "cannot be examined: " + facts.problem;
    case platform::FileKind::kRegular:
      break;
  }
  const auto names = EntryPointNames();
  const platform::ModuleProbe probe = platform::ProbeModule(file, names);
  if (!probe.loaded) {
    reason = probe.reason;
    return "found, but it does not load (the loader's reason below)";
  }
  if (probe.missing.empty()) return "found; it loads and has every entry point";
  std::string missing;
  for (const std::string& name : probe.missing) missing += (missing.empty() ? "" : ", ") + name;
  reason = file + " lacks " + std::to_string(probe.missing.size()) + " of the " +
           std::to_string(names.size()) + " entry points: " + missing;
  return "found, but incomplete (what it lacks below)";
}

// Where the engine looks for the vendor library, in its order, and what each place holds.
void ExplainLibrarySearch(const Library& library, const std::optional<std::string>& root) {
  struct Place {
    std::string dir;
    std::string what;
  };
  std::vector<Place> places = {{ToolDir(), "the program's directory"}};
  if (root) {
    const std::string dir = root->empty() || root->back() != kSep ? *root + kSep : *root;
    for (const char* sub : {"EXE", "SYSTEM", "USER"})
      places.push_back({dir + sub + kSep, std::string("the root's ") + sub + kSep});
    places.push_back({dir, "the root"});
  }
  std::fprintf(stderr, "  Where the engine looked for %s, in its order:\n", kVendorLibrary);
  if (!root)
    std::fprintf(stderr, "    (no --root: the root's EXE/, SYSTEM/ and USER/ are not searched)\n");
  std::string reason;
  bool resolved = false;
  for (const Place& place : places) {
    const std::string file = place.dir + kVendorLibrary;
    const std::string status = FileStatus(file, resolved, reason);
    std::fprintf(stderr, "    %s (%s): %s\n", Padded(file, 40).c_str(), place.what.c_str(),
                 status.c_str());
    if (resolved) break;  // the engine loads the first file it finds
  }
  if (!resolved) {
    // No file in those places: the engine asks the loader for the bare name.
    const auto dirs = platform::LoaderSearchDirectories(library.module());
    std::string list;
    for (const std::string& dir : dirs) list += (list.empty() ? "" : " ") + dir;
    std::string status = "not found";
    for (const std::string& dir : dirs) {
      bool found = false;
      const std::string seen = FileStatus(dir + kVendorLibrary, found, reason);
      if (found) {
        status = dir + kVendorLibrary + " " + seen;
        break;
      }
    }
    if (reason.empty()) reason = platform::ProbeModule(kVendorLibrary, {}).reason;
    std::fprintf(stderr, "    %s (%s%s%s): %s\n", Padded("the loader's own search", 40).c_str(),
                 platform::kDriveLetterPaths
                     ? "the system's search, Path among it"
                     : "LD_LIBRARY_PATH and the system's library directories",
                 list.empty() ? "" : ": ", list.c_str(), status.c_str());
  }
  // Last, the directory of the fallback module; the program's when that module is not loaded.
  const std::string fallback = platform::LoadedModulePath(kFallbackModule);
  const bool loaded = fallback.ends_with(kFallbackModule);
  const std::string dir = fallback.substr(0, fallback.rfind(kSep) + 1);
  if (!dir.empty()) {
    bool found = false;
    std::string fallbackReason;
    const std::string status = FileStatus(dir + kVendorLibrary, found, fallbackReason);
    const std::string where = loaded ? std::string("the directory of ") + kFallbackModule
                                     : std::string("the program's directory again, as ") +
                                           kFallbackModule + " is not loaded";
    std::fprintf(stderr, "    %s (%s): %s\n", Padded(dir + kVendorLibrary, 40).c_str(),
                 where.c_str(), status.c_str());
    if (reason.empty()) reason = fallbackReason;
  }
  // Then, for a tree of this project, the engine library's own directory (the build tree, a tree
  // unpacked anywhere) and its private subdirectory (an installed tree keeps libcc.so there).
  const std::string engineDir = library.path().substr(0, library.path().rfind(kSep) + 1);
  if (!resolved && !engineDir.empty()) {
    const std::string engineName = library.path().substr(engineDir.size());
    const Place own[] = {
        {engineDir, "the directory of " + engineName + ", where the build puts it"},
        {engineDir + kPrivateLibrarySubdir + kSep,
         "the engine library's private directory, where an installed tree keeps it"}};
    for (const Place& place : own) {
      bool found = false;
      std::string ownReason;
      const std::string file = place.dir + kVendorLibrary;
      const std::string status = FileStatus(file, found, ownReason);
      std::fprintf(stderr, "    %s (%s): %s\n", Padded(file, 40).c_str(), place.what.c_str(),
                   status.c_str());
      if (reason.empty()) reason = ownReason;
      if (found) break;
    }
  }
  if (!reason.empty()) std::fprintf(stderr, "  The loader says: %s\n", reason.c_str());
}

}  // namespace

std::string Hint(std::int32_t code) {
  for (const CodeHint& h : kHints) {
    if (h.code != code) continue;
    // The library files under this system's names.
    std::string hint = h.hint;
    for (const auto& [mark, name] : {std::pair{std::string_view("$CC"), kVendorLibrary},
                                     std::pair{std::string_view("$ENGINE"), kEngineLibrary}})
      for (std::size_t at = hint.find(mark); at != std::string::npos; at = hint.find(mark, at))
        hint.replace(at, mark.size(), name);
    return hint;
  }
  for (const RangeHint& h : kRangeHints)
    if (code >= h.from && code <= h.to) return h.hint;
  if (code < 0) return "The vendor library refused the operation; its message says why.";
  return "The engine refused the operation; its message says why.";
}

void ExplainFailure(const Library& library, const Engine& engine,
                    const std::optional<std::string>& root, const char* call, std::int32_t code) {
  std::fflush(stdout);
  std::fprintf(stderr, "vornak2-host: %s -> %s\n  %s\n", call, engine.Describe(code).c_str(),
               Hint(code).c_str());
  if (code == 134 || code == 135) ExplainLibrarySearch(library, root);
}

std::vector<std::string> VendorLibraryCandidates(const Library& library,
                                                 const std::optional<std::string>& root) {
  std::vector<std::string> files = {ToolDir() + kVendorLibrary};
  if (root) {
    const std::string dir = root->empty() || root->back() != kSep ? *root + kSep : *root;
    for (const char* sub : {"EXE", "SYSTEM", "USER"})
      files.push_back(dir + sub + kSep + kVendorLibrary);
    files.push_back(dir + kVendorLibrary);
  }
  files.push_back(kVendorLibrary);
  const std::string fallback = platform::LoadedModulePath(kFallbackModule);
  if (const std::size_t slash = fallback.rfind(kSep); slash != std::string::npos)
    files.push_back(fallback.substr(0, slash + 1) + kVendorLibrary);
  const std::string engineDir = library.path().substr(0, library.path().rfind(kSep) + 1);
  if (!engineDir.empty()) {
    files.push_back(engineDir + kVendorLibrary);
    files.push_back(engineDir + kPrivateLibrarySubdir + kSep + kVendorLibrary);
  }
  return files;
}

std::optional<std::string> InputProblem(const std::string& path, std::uint64_t limit) {
  const platform::FileFacts facts = platform::ExamineFile(path);
  switch (facts.kind) {
    case platform::FileKind::kMissing:
      return "cannot read " + path + ": " + facts.problem;
    case platform::FileKind::kInaccessible:
      return "cannot read " + path + ": " + facts.problem;
    case platform::FileKind::kDirectory:
      return "cannot read " + path + ": it is a directory";
    case platform::FileKind::kOther:
      return "cannot read " + path + ": not a regular file (a device, pipe or socket)";
    case platform::FileKind::kRegular:
      break;
  }
  if (!facts.readable) return "cannot read " + path + ": " + facts.problem;
  if (facts.size == 0) return path + " is empty: there is nothing to work on";
  if (facts.size > limit) {
    const bool growth =
        limit < static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
    return path + " is " + std::to_string(facts.size) + " bytes: one call of the library takes " +
           "at most 2147483647 bytes (2 GiB - 1)" +
           (growth ? ", here " + std::to_string(limit) + " as the operation adds to the data"
                   : "") +
           "; split the file";
  }
  return std::nullopt;
}

std::string OutputProblem(const std::string& path) {
  const int code = platform::LastErrorCode();
  const std::string dir = path.rfind(kSep) == std::string::npos
                              ? std::string(".")
                              : path.substr(0, std::max<std::size_t>(path.rfind(kSep), 1));
  if (platform::ExamineFile(path).kind == platform::FileKind::kDirectory)
    return "cannot write " + path + ": it is a directory";
  const platform::FileFacts parent = platform::ExamineFile(dir);
  if (parent.kind == platform::FileKind::kMissing)
    return "cannot write " + path + ": the directory " + dir + " does not exist";
  if (parent.kind != platform::FileKind::kDirectory)
    return "cannot write " + path + ": " + dir + " is not a directory";
  return "cannot write " + path + ": " + platform::ErrorText(code);
}

}  // namespace vornak2::host
