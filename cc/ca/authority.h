// An authority key of the test authority: the directory that holds it (authority.sec, its
// secret key, and authority.aut, its self-signed certificate) and the directory of the index it
// shares with the authority's other keys.
//
// The first key of an authority (create-authority) keeps the index in its own directory, the
// authority's home. A key made by a roll-over names the home in its file index.ref: one line, the
// home's path relative to the key's directory (or absolute where there is no relative one), so
// that an authority's directories can move together.
#pragma once

#include <string>

#include "documents.h"

namespace ca {

struct Authority {
  std::string dir;   // the key's directory
  std::string home;  // the directory of the authority's index
  cc::SecretKey key;
  cc::PublicDocument cert;
};

// The home of the authority key in `keyDir`. Throws Failure when the key's index.ref is unusable,
// or when the key is a roll-over made by an earlier version of this tool, which gave each key an
// index of its own (how the operator joins it to the authority's is in the message).
std::string IndexHome(const std::string& keyDir);

// Reads the key in `dir` (its home found by IndexHome) and checks that its secret key and its
// certificate belong together and that the home is an authority of the same UID. Throws Failure.
Authority LoadAuthority(const std::string& dir, const std::string& home);

// The text of the index.ref of a key made in `keyDir` whose home is `home`.
std::string IndexRefText(const std::string& keyDir, const std::string& home);

// Reads a certificate or request. Throws Failure.
cc::PublicDocument ReadPublic(const std::string& path, std::string_view what);

// The names of an authority key's files in its directory.
inline constexpr const char* kSecretFile = "authority.sec";
inline constexpr const char* kCertificateFile = "authority.aut";
inline constexpr const char* kRolloverFile = "rollover.aut";
inline constexpr const char* kIndexRefFile = "index.ref";

}  // namespace ca
