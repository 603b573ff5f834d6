// Secret keys told by their content and their names.
#include "support/secret_files.h"

#include <algorithm>

#include "platform/platform.h"
#include "support/text.h"

namespace vornak2 {
namespace {

bool Contains(std::span<const std::uint8_t> content, std::string_view needle) {
  return std::search(content.begin(), content.end(), needle.begin(), needle.end()) != content.end();
}

bool AllDigits(std::string_view text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

bool LooksLikeSecretKey(std::span<const std::uint8_t> content) noexcept {
  if (Contains(content, "PRIVATE KEY-----") || Contains(content, "VORNAK2-CC SECRET KEY"))
    return true;
  // DER: SEQUENCE, its length (short or long form), then INTEGER 0 or 1 as the first element.
  if (content.size() < 5 || content[0] != 0x30) return false;
  std::size_t at = 2;
  if (content[1] & 0x80) {
    const std::size_t lengthBytes = content[1] & 0x7F;
    if (lengthBytes == 0 || lengthBytes > 4) return false;
    at += lengthBytes;
  }
  return content.size() >= at + 3 && content[at] == 0x02 && content[at + 1] == 0x01 &&
         content[at + 2] <= 1;
}

bool FileLooksLikeSecretKey(const std::string& path) noexcept {
  try {
    const auto content = platform::ReadWholeFile(path, 1u << 20);
    return content && LooksLikeSecretKey(*content);
  } catch (...) {
    return false;
  }
}

bool IsSecretKeyFileName(std::string_view name) noexcept {
  try {
    const std::string lower = AsciiLower(name);
    if (lower.size() >= 4 && lower.ends_with(".sec")) return true;
    const std::size_t old = lower.find(".old");
    if (old == std::string::npos || !AllDigits(std::string_view(lower).substr(0, old)))
      return false;
    const std::string_view rest = std::string_view(lower).substr(old + 4);
    return rest.empty() || (rest[0] == '.' && AllDigits(rest.substr(1)));
  } catch (...) {
    return true;
  }
}

}  // namespace vornak2
