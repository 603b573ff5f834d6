// Small helpers of the cc library: bounded texts, hexadecimal, numbers, UIDs, dates and texts
// that wipe themselves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace cc {

// Length of a zero-terminated text when it is at most `limit` bytes long; nullopt for a null
// pointer or a longer text. Never reads more than limit + 1 bytes.
std::optional<std::size_t> BoundedLength(const char* text, std::size_t limit) noexcept;
// The text as a view when it is at most `limit` bytes long.
std::optional<std::string_view> BoundedText(const char* text, std::size_t limit) noexcept;

// Upper-case hexadecimal of bytes.
std::string HexEncode(std::span<const std::uint8_t> bytes);
// Decodes exactly out.size() bytes; false when the text has another length or a non-hex digit.
bool HexDecode(std::string_view hex, std::span<std::uint8_t> out) noexcept;

// A key number: decimal digits only, 0 to 2147483647.
std::optional<std::int32_t> ParseKeyNumber(std::string_view text) noexcept;

// A UID: 1 to 31 bytes, printable, no blank, no path separator ("/" or "\").
bool IsValidUid(std::string_view uid) noexcept;

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept;

// Times are whole minutes since 1970-01-01 00:00 UTC.
using Minutes = std::int64_t;
Minutes NowMinutes();
// "dd.mm.yyyy hh:mm" (years 1970..9999).
std::string FormatDate(Minutes t);
std::optional<Minutes> ParseDate(std::string_view text) noexcept;
inline constexpr Minutes kMinutesPerDay = 24 * 60;

// A std::string for secret text (key files): wiped when destroyed. Reserve enough at the start
// so that growing never leaves an unwiped copy behind.
class SecretText {
 public:
  SecretText() { text_.reserve(4096); }
  ~SecretText();
  SecretText(const SecretText&) = delete;
  SecretText& operator=(const SecretText&) = delete;
  std::string& str() noexcept { return text_; }
  const std::string& str() const noexcept { return text_; }

 private:
  std::string text_;
};

}  // namespace cc
