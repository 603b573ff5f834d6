// Little-endian integers in byte layouts that come from outside (host buffers, files, transfers):
// every read is checked against the bounds of the bytes it reads from.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <span>

namespace vornak2 {

// The signed 32-bit little-endian integer at `offset`; nullopt when it does not lie inside `bytes`.
inline std::optional<std::int32_t> ReadInt32LE(std::span<const std::uint8_t> bytes,
                                               std::size_t offset) noexcept {
  if (offset > bytes.size() || bytes.size() - offset < 4) return std::nullopt;
  const std::uint8_t* p = bytes.data() + offset;
  const std::uint32_t v = std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 |
                          std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
  return static_cast<std::int32_t>(v);
}

// Writes a signed 32-bit integer little-endian at `out`.
inline void WriteInt32LE(std::uint8_t* out, std::int32_t value) noexcept {
  const auto v = static_cast<std::uint32_t>(value);
  out[0] = static_cast<std::uint8_t>(v);
  out[1] = static_cast<std::uint8_t>(v >> 8);
  out[2] = static_cast<std::uint8_t>(v >> 16);
  out[3] = static_cast<std::uint8_t>(v >> 24);
}

}  // namespace vornak2
