#include "paths.h"

namespace cc {

std::string AddPathSeparator(std::string_view dir) {
  std::string out(dir);
  if (!out.empty() && out.back() != kPathSeparator) out.push_back(kPathSeparator);
  return out;
}

std::string CertPathByUid(std::string_view uid, std::string_view dir) {
  const std::size_t dot = uid.find('.');
  if (uid.empty() || dir.empty() || dot == std::string_view::npos || dot + 1 == uid.size())
    return {};
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

}  // namespace cc
