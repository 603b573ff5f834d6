// Small text helpers: ASCII case mapping and conversion between UTF-8 and Windows-1251, the
// 8-bit encoding of the library's Russian messages.
#pragma once

#include <string>
#include <string_view>

namespace vornak2 {

// Maps only the ASCII letters; every other byte is kept.
std::string AsciiUpper(std::string_view text);
std::string AsciiLower(std::string_view text);

// True when `text` is not empty and its last character is `c`.
bool EndsWith(std::string_view text, char c) noexcept;

// Converts UTF-8 text to Windows-1251 bytes: ASCII stays as it is, Cyrillic letters (including
// Ё and ё) and the other characters of the Windows-1251 table (« » — – № and so on) become their
// single bytes. A character outside the table, and each byte of an invalid UTF-8 sequence,
// becomes "?".
std::string Utf8ToCp1251(std::string_view utf8);

// Converts Windows-1251 bytes to UTF-8; the one unassigned byte (0x98) becomes "?".
std::string Cp1251ToUtf8(std::string_view cp1251);
// Converts Windows-1251 bytes to UTF-16, the same mapping.
std::u16string Cp1251ToUtf16(std::string_view cp1251);
// The code point of one Windows-1251 byte ("?" for the unassigned byte).
char16_t Cp1251CodePoint(unsigned char byte) noexcept;

}  // namespace vornak2
