#include "host_fingerprint.h"

#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

namespace vornak2::host {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr std::uint32_t Rotate(std::uint32_t x, int n) {
  return (x >> n) | (x << (32 - n));
}

void Compress(std::uint32_t state[8], const std::uint8_t block[64]) {
  std::uint32_t w[64];
  for (int i = 0; i < 16; ++i)
    w[i] = (std::uint32_t{block[4 * i]} << 24) | (std::uint32_t{block[4 * i + 1]} << 16) |
           (std::uint32_t{block[4 * i + 2]} << 8) | std::uint32_t{block[4 * i + 3]};
  for (int i = 16; i < 64; ++i) {
    const std::uint32_t s0 = Rotate(w[i - 15], 7) ^ Rotate(w[i - 15], 18) ^ (w[i - 15] >> 3);
    const std::uint32_t s1 = Rotate(w[i - 2], 17) ^ Rotate(w[i - 2], 19) ^ (w[i - 2] >> 10);
    w[i] = w[i - 16] + s0 + w[i - 7] + s1;
  }
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4], f = state[5],
                g = state[6], h = state[7];
  for (int i = 0; i < 64; ++i) {
    const std::uint32_t t1 = h + (Rotate(e, 6) ^ Rotate(e, 11) ^ Rotate(e, 25)) +
                             ((e & f) ^ (~e & g)) + kRound[i] + w[i];
    const std::uint32_t t2 =
        (Rotate(a, 2) ^ Rotate(a, 13) ^ Rotate(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + t2;
  }
  state[0] += a, state[1] += b, state[2] += c, state[3] += d;
  state[4] += e, state[5] += f, state[6] += g, state[7] += h;
}

int Base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// The DER bytes of the first PEM block of `text`; nullopt when there is none or its Base64 is
// not clean.
std::optional<std::vector<std::uint8_t>> PemBody(std::string_view text) {
  const std::size_t begin = text.find("-----BEGIN ");
  if (begin == std::string_view::npos) return std::nullopt;
  const std::size_t body = text.find('\n', begin);
  const std::size_t end = text.find("-----END ", begin);
  if (body == std::string_view::npos || end == std::string_view::npos || end < body)
    return std::nullopt;
  std::vector<std::uint8_t> der;
  std::uint32_t bits = 0;
  int count = 0;
  bool padding = false;
  for (const char c : text.substr(body + 1, end - body - 1)) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    if (c == '=') {
      padding = true;
      continue;
    }
    const int value = Base64Value(c);
    if (value < 0 || padding) return std::nullopt;
    bits = (bits << 6) | static_cast<std::uint32_t>(value);
    count += 6;
    if (count >= 8) {
      count -= 8;
      der.push_back(static_cast<std::uint8_t>(bits >> count));
    }
  }
  if (der.empty()) return std::nullopt;
  return der;
}

}  // namespace

std::array<std::uint8_t, 32> Sha256(std::span<const std::uint8_t> bytes) {
  std::uint32_t state[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                            0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
  std::size_t at = 0;
  for (; bytes.size() - at >= 64; at += 64) Compress(state, bytes.data() + at);
  // The last block: the rest, a 1 bit, zeros and the length in bits.
  std::uint8_t tail[128] = {};
  const std::size_t rest = bytes.size() - at;
  if (rest > 0) std::memcpy(tail, bytes.data() + at, rest);
  tail[rest] = 0x80;
  const std::size_t blocks = rest < 56 ? 1 : 2;
  const std::uint64_t length = static_cast<std::uint64_t>(bytes.size()) * 8;
  for (int i = 0; i < 8; ++i)
    tail[blocks * 64 - 1 - i] = static_cast<std::uint8_t>(length >> (8 * i));
  for (std::size_t b = 0; b < blocks; ++b) Compress(state, tail + 64 * b);
  std::array<std::uint8_t, 32> digest{};
  for (int i = 0; i < 32; ++i)
    digest[static_cast<std::size_t>(i)] =
        static_cast<std::uint8_t>(state[i / 4] >> (24 - 8 * (i % 4)));
  return digest;
}

std::array<std::uint8_t, 32> CertificateDigest(std::span<const std::uint8_t> file) {
  const std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
  if (const auto der = PemBody(text)) return Sha256(*der);
  return Sha256(file);
}

std::string FingerprintText(const std::array<std::uint8_t, 32>& digest, bool colons) {
  static const char* const kUpper = "0123456789ABCDEF";
  static const char* const kLower = "0123456789abcdef";
  const char* digits = colons ? kUpper : kLower;
  std::string text;
  for (const std::uint8_t byte : digest) {
    if (colons && !text.empty()) text += ':';
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

}  // namespace vornak2::host
