// PROVISIONAL: moves into layouts/ when the layouts module lands.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <string_view>

namespace vornak2::layouts {
using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;
inline constexpr std::size_t kPublicKeyBlockSize = 2564;
inline constexpr std::size_t kTransferNameField = 256;
inline constexpr std::size_t kMaxCarriedFile = 2047;
struct PublicKeyBlockView {
  std::string_view uid;
  std::string_view fileName;
  Bytes data;
};
inline std::optional<PublicKeyBlockView> ReadPublicKeyBlock(Bytes block) {
  if (block.size() != kPublicKeyBlockSize) return std::nullopt;
  const char* p = reinterpret_cast<const char*>(block.data());
  const std::size_t u = ::strnlen(p, 255);
  if (u == 255) return std::nullopt;
  const std::size_t f = ::strnlen(p + 256, 256);
  if (f == 256) return std::nullopt;
  std::int32_t n;
  std::memcpy(&n, p + 512, 4);
  if (n < 0 || n > 2047) return std::nullopt;
  return PublicKeyBlockView{{p, u}, {p + 256, f}, block.subspan(516, static_cast<std::size_t>(n))};
}
inline bool WritePublicKeyBlock(MutableBytes out, std::string_view uid, std::string_view fileName,
                                Bytes data) {
  if (out.size() < kPublicKeyBlockSize || uid.size() >= 256 || fileName.size() >= 256 ||
      data.size() > 2047)
    return false;
  std::memset(out.data(), 0, kPublicKeyBlockSize);
  std::memcpy(out.data(), uid.data(), uid.size());
  std::memcpy(out.data() + 256, fileName.data(), fileName.size());
  const auto n = static_cast<std::int32_t>(data.size());
  std::memcpy(out.data() + 512, &n, 4);
  if (!data.empty()) std::memcpy(out.data() + 516, data.data(), data.size());
  return true;
}
}  // namespace vornak2::layouts
