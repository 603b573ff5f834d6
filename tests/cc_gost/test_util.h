// Helpers shared by the GOST primitive tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <random>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "gost.h"

namespace ccgost::test {

inline std::vector<std::uint8_t> FromHex(std::string_view hex) {
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("bad hex digit");
  };
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(nibble(hex[2 * i]) << 4 | nibble(hex[2 * i + 1]));
  }
  return out;
}

inline std::string ToHex(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  return out;
}

inline std::span<const std::uint8_t> Bytes(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

// Deterministic pseudo-random test data.
inline std::vector<std::uint8_t> Pattern(std::size_t n, std::uint32_t seed) {
  std::mt19937 gen(seed);
  std::vector<std::uint8_t> out(n);
  for (auto& b : out) b = static_cast<std::uint8_t>(gen());
  return out;
}

// Readable names for tests parameterised by curve.
inline std::string CurveText(Curve curve) {
  static constexpr const char* kNames[] = {
      "Tc26_256_A",  "CryptoPro_A",    "Tc26_256_B",     "Tc26_256_C", "Tc26_256_D", "CryptoPro_B",
      "CryptoPro_C", "CryptoPro_XchA", "CryptoPro_XchB", "Tc26_512_A", "Tc26_512_B", "Tc26_512_C"};
  return kNames[static_cast<std::size_t>(curve)];
}
inline std::string CurveName(const ::testing::TestParamInfo<Curve>& info) {
  return CurveText(info.param);
}

}  // namespace ccgost::test

namespace ccgost {
// How a parameter set shows in test names and messages.
inline void PrintTo(Curve curve, std::ostream* os) {
  *os << test::CurveText(curve);
}
}  // namespace ccgost
