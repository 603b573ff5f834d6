#include "authority.h"

#include <filesystem>

#include "authority_index.h"
#include "errors.h"
#include "files.h"
#include "paths.h"

namespace ca {

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxFile = CC_MAX_TEXT;

std::string In(const std::string& dir, const char* name) {
  return cc::AddPathSeparator(dir) + name;
}

}  // namespace

cc::PublicDocument ReadPublic(const std::string& path, std::string_view what) {
  const auto text = cc::ReadSmallFile(path, kMaxFile);
  if (!text) throw Failure("cannot read " + std::string(what) + " " + path);
  cc::PublicDocument doc;
  if (cc::ParsePublicDocument(*text, doc) != CC_OK)
    throw Failure(path + " is not a well-formed " + std::string(what));
  return doc;
}

std::string IndexHome(const std::string& keyDir) {
  const std::string ref = In(keyDir, kIndexRefFile);
  if (!cc::PathExists(ref)) {
    if (cc::PathExists(In(keyDir, kRolloverFile)))
      throw Failure(
          "the authority key in " + keyDir +
          " was made by an earlier version of vornak2-ca and keeps an index of its own, which "
          "does not see what the authority's other keys issue; join it to the authority's index "
          "first (see REPAIRING THE INDEX in vornak2-ca(1))");
    return keyDir;
  }
  auto text = cc::ReadSmallFile(ref, 4096);
  if (!text) throw Failure("cannot read " + ref);
  if (!text->empty() && text->back() == '\n') text->pop_back();
  if (text->empty() || text->find_first_of("\r\n") != std::string::npos)
    throw Failure(ref + " does not name the directory of the authority's index");
  const fs::path named(*text);
  const std::string home =
      (named.is_absolute() ? named : fs::path(keyDir) / named).lexically_normal().string();
  if (cc::PathExists(In(home, kIndexRefFile)))
    throw Failure(ref + " names " + home + ", which is not the home of an authority's index");
  return home;
}

Authority LoadAuthority(const std::string& dir, const std::string& home) {
  Authority a;
  a.dir = dir;
  a.home = home;
  const std::string secPath = In(dir, kSecretFile);
  auto text = cc::ReadSmallFile(secPath, kMaxFile);
  if (!text) throw Failure("cannot read the authority's secret key " + secPath);
  cc::SecretText secret;
  secret.str() = std::move(*text);
  if (cc::ParseSecretKey(secret.str(), a.key) != CC_OK)
    throw Failure("the authority's secret key " + secPath + " is damaged");
  a.cert = ReadPublic(In(dir, kCertificateFile), "authority certificate");
  if (!a.cert.SelfIssued() || a.cert.publicKey != a.key.publicKey ||
      !cc::VerifyDocument(a.cert, a.cert.curve, a.cert.publicKey))
    throw Failure("the authority certificate in " + dir + " does not match its secret key");
  std::error_code error;
  if (!fs::equivalent(fs::path(dir), fs::path(home), error)) {
    const cc::PublicDocument first =
        ReadPublic(In(home, kCertificateFile), "authority certificate");
    if (first.uid != a.cert.uid)
      throw Failure("the index of the authority key in " + dir + " is in " + home +
                    ", the directory of another authority (" + first.uid + ")");
  }
  return a;
}

std::string IndexRefText(const std::string& keyDir, const std::string& home) {
  std::error_code error;
  const fs::path from = fs::weakly_canonical(fs::path(keyDir), error);
  const fs::path to = error ? fs::path() : fs::weakly_canonical(fs::path(home), error);
  fs::path relative;
  if (!error) relative = to.lexically_relative(from);
  std::string text = relative.empty() ? fs::absolute(fs::path(home)).lexically_normal().string()
                                      : relative.generic_string();
  if (text.find_first_of("\r\n") != std::string::npos)
    throw Failure("the path " + home + " holds a line break");
  return text + "\n";
}

}  // namespace ca
