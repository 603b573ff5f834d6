// File names the library builds: certificate-store paths and secret-key file names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace cc {

// The separator of the paths the library builds: "\" on Windows, "/" elsewhere.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// An empty path stays empty; any other path ends with the separator afterwards.
std::string AddPathSeparator(std::string_view dir);
// The certificate-store file of a UID "prefix.tail" inside `dir` (used as given):
// dir + prefix + "/@" + "/" + c for every character of tail + ".crt"
// ("H.0" -> dir + "H/@/0.crt", "AB.1234" -> dir + "AB/@/1/2/3/4.crt"). Empty when dir is empty
// or uid does not form a store path: one with "/", "\\", ":" or a control character, without "."
// or with an empty part before it, ending with it, or with a second "." (a level "." or "..").
std::string CertPathByUid(std::string_view uid, std::string_view dir);
// AddPathSeparator(dir) + key number in decimal + ".sec".
std::string SecretKeyPath(std::string_view dir, std::int32_t keyNumber);
// The CRL of an authority's key, beside its certificate: AddPathSeparator(dir) + uid + separator +
// key number in decimal + ".crl". Empty when dir is empty or the UID would not stay one plain
// name there (empty, "." or "..", a separator, ":" or a control character), as the adapter
// rules for authority directories.
std::string CrlPath(std::string_view dir, std::string_view uid, std::int32_t keyNumber);

}  // namespace cc
