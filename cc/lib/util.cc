#include "util.h"

#include <chrono>
#include <cstdio>
#include <cstring>

#include "gost.h"

namespace cc {

std::optional<std::size_t> BoundedLength(const char* text, std::size_t limit) noexcept {
  if (text == nullptr) return std::nullopt;
  const std::size_t n = strnlen(text, limit + 1);
  if (n > limit) return std::nullopt;
  return n;
}

std::optional<std::string_view> BoundedText(const char* text, std::size_t limit) noexcept {
  const auto n = BoundedLength(text, limit);
  if (!n) return std::nullopt;
  return std::string_view(text, *n);
}

std::string HexEncode(std::span<const std::uint8_t> bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (std::uint8_t b : bytes) {
    out.push_back(kDigits[b >> 4]);
    out.push_back(kDigits[b & 15]);
  }
  return out;
}

namespace {
int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}
}  // namespace

bool HexDecode(std::string_view hex, std::span<std::uint8_t> out) noexcept {
  if (hex.size() != out.size() * 2) return false;
  for (std::size_t i = 0; i < out.size(); ++i) {
    const int hi = HexValue(hex[2 * i]);
    const int lo = HexValue(hex[2 * i + 1]);
    if (hi < 0 || lo < 0) return false;
    out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
  }
  return true;
}

std::optional<std::int32_t> ParseKeyNumber(std::string_view text) noexcept {
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  if (value > INT32_MAX) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

bool IsValidUid(std::string_view uid) noexcept {
  if (uid.empty() || uid.size() > 31) return false;
  for (unsigned char c : uid) {
    if (c <= 0x20 || c == 0x7F || c == '/' || c == '\\') return false;
  }
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
    if (x != y) return false;
  }
  return true;
}

Minutes NowMinutes() {
  using namespace std::chrono;
  return duration_cast<minutes>(system_clock::now().time_since_epoch()).count();
}

namespace {
// Days since 1970-01-01 of a proleptic Gregorian date, and back (H. Hinnant's algorithms).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) noexcept {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void CivilFromDays(std::int64_t z, std::int64_t& y, unsigned& m, unsigned& d) noexcept {
  z += 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = doy - (153 * mp + 2) / 5 + 1;
  m = mp < 10 ? mp + 3 : mp - 9;
  y = static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2);
}

bool IsLeap(std::int64_t y) noexcept {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

unsigned DaysInMonth(std::int64_t y, unsigned m) noexcept {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

// Fixed-width decimal field of `text` at `pos`.
std::optional<unsigned> Digits(std::string_view text, std::size_t pos, std::size_t n) noexcept {
  unsigned v = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const char c = text[pos + i];
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<unsigned>(c - '0');
  }
  return v;
}
}  // namespace

std::string FormatDate(Minutes t) {
  std::int64_t days = t / kMinutesPerDay;
  std::int64_t rest = t % kMinutesPerDay;
  if (rest < 0) {
    rest += kMinutesPerDay;
    --days;
  }
  std::int64_t y = 0;
  unsigned m = 0, d = 0;
  CivilFromDays(days, y, m, d);
  if (y < 1970) y = 1970, m = 1, d = 1, rest = 0;
  if (y > 9999) y = 9999, m = 12, d = 31, rest = kMinutesPerDay - 1;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02u.%02u.%04lld %02lld:%02lld", d, m, static_cast<long long>(y),
                static_cast<long long>(rest / 60), static_cast<long long>(rest % 60));
  return buf;
}

std::optional<Minutes> ParseDate(std::string_view text) noexcept {
  // dd.mm.yyyy hh:mm
  if (text.size() != 16 || text[2] != '.' || text[5] != '.' || text[10] != ' ' || text[13] != ':')
    return std::nullopt;
  const auto d = Digits(text, 0, 2), m = Digits(text, 3, 2), y = Digits(text, 6, 4);
  const auto hh = Digits(text, 11, 2), mm = Digits(text, 14, 2);
  if (!d || !m || !y || !hh || !mm) return std::nullopt;
  if (*y < 1970 || *m < 1 || *m > 12 || *d < 1 || *d > DaysInMonth(*y, *m) || *hh > 23 || *mm > 59)
    return std::nullopt;
  return DaysFromCivil(*y, *m, *d) * kMinutesPerDay + *hh * 60 + *mm;
}

SecretText::~SecretText() {
  text_.resize(text_.capacity());
  ccgost::Wipe(text_.data(), text_.size());
}

}  // namespace cc
