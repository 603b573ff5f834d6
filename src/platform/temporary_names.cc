// Telling the temporary files of this library and of our cc from other files, by their names.
#include <charconv>

#include "platform/platform.h"

namespace vornak2::platform {
namespace {

std::optional<std::uint64_t> Number(std::string_view digits) noexcept {
  std::uint64_t value = 0;
  if (digits.empty()) return std::nullopt;
  const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::uint64_t> TemporaryFileOwner(std::string_view name) noexcept {
  // ".NAME.tmp-PID-..." (this library everywhere, our cc on POSIX).
  if (name.size() > 1 && name[0] == '.') {
    const std::size_t tag = name.rfind(".tmp-");
    if (tag != std::string_view::npos && tag > 0) {
      const std::string_view rest = name.substr(tag + 5);
      return Number(rest.substr(0, rest.find('-')));
    }
  }
  // "NAME.PID-N.tmp" (our cc on Windows).
  constexpr std::string_view kTail = ".tmp";
  if (name.size() > kTail.size() && name.substr(name.size() - kTail.size()) == kTail) {
    const std::string_view stem = name.substr(0, name.size() - kTail.size());
    const std::size_t dot = stem.rfind('.');
    const std::size_t dash = stem.rfind('-');
    if (dot != std::string_view::npos && dash != std::string_view::npos && dash > dot &&
        Number(stem.substr(dash + 1)))
      return Number(stem.substr(dot + 1, dash - dot - 1));
  }
  return std::nullopt;
}

}  // namespace vornak2::platform
