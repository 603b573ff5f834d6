#include "paths.h"

namespace cc {

std::string AddPathSeparator(std::string_view dir) {
  std::string out(dir);
  if (!out.empty() && out.back() != kPathSeparator) out.push_back(kPathSeparator);
  return out;
}

namespace {

// A UID names a file in the store only when every level it forms is a plain name: no "/", "\\",
// ":" or control character, a prefix before its first ".", and a tail without a further ".".
// The adapter applies the same rule, so both build the same path or none.
bool UidFormsStorePath(std::string_view uid) noexcept {
  for (const char c : uid) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
  }
  const std::size_t dot = uid.find('.');
  return dot != std::string_view::npos && dot > 0 && dot + 1 < uid.size() &&
         uid.find('.', dot + 1) == std::string_view::npos;
}

}  // namespace

std::string CertPathByUid(std::string_view uid, std::string_view dir) {
  const std::size_t dot = uid.find('.');
  if (dir.empty() || !UidFormsStorePath(uid)) return {};
  std::string out;
  out.reserve(dir.size() + uid.size() * 2 + 8);
  out.append(dir).append(uid.substr(0, dot)).push_back(kPathSeparator);
  out.push_back('@');
  for (char c : uid.substr(dot + 1)) {
    out.push_back(kPathSeparator);
    out.push_back(c);
  }
  out.append(".crt");
  return out;
}

std::string SecretKeyPath(std::string_view dir, std::int32_t keyNumber) {
  return AddPathSeparator(dir) + std::to_string(keyNumber) + ".sec";
}

std::string CrlPath(std::string_view dir, std::string_view uid, std::int32_t keyNumber) {
  if (dir.empty() || uid.empty() || uid == "." || uid == "..") return {};
  for (const char c : uid) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return {};
  }
  std::string out = AddPathSeparator(dir);
  out.append(uid).push_back(kPathSeparator);
  out.append(std::to_string(keyNumber)).append(".crl");
  return out;
}

}  // namespace cc
