// ASCII case mapping and the Windows-1251 conversions.
#include "support/text.h"

#include <array>
#include <cstdint>

namespace vornak2 {

namespace {

// Code points of the Windows-1251 bytes 0x80..0xBF (0: unassigned); 0xC0..0xFF are the Cyrillic
// letters U+0410..U+044F in order.
constexpr std::array<char16_t, 64> kHighTable = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 0x80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 0x88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 0x90
    0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 0x98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // 0xA0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // 0xA8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // 0xB0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // 0xB8
};

constexpr char32_t kCyrillicA = 0x0410;

constexpr unsigned char kNoByte = 0;

// The Windows-1251 byte of a code point; kNoByte when the table has none.
unsigned char Cp1251Byte(char32_t cp) {
  if (cp < 0x80) return static_cast<unsigned char>(cp);
  if (cp >= kCyrillicA && cp < kCyrillicA + 64)
    return static_cast<unsigned char>(0xC0 + (cp - kCyrillicA));
  for (std::size_t i = 0; i < kHighTable.size(); ++i) {
    if (kHighTable[i] != 0 && kHighTable[i] == cp) return static_cast<unsigned char>(0x80 + i);
  }
  return kNoByte;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

// Decodes one UTF-8 sequence at `text[i]`; gives the code point and advances `i`. An invalid
// or truncated sequence gives U+FFFD and advances by one byte.
char32_t NextCodePoint(std::string_view text, std::size_t& i) {
  constexpr char32_t kBad = 0xFFFD;
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t length;
  char32_t cp;
  char32_t minimum;
  if (lead < 0x80) {
    ++i;
    return lead;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, cp = lead & 0x1F, minimum = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, cp = lead & 0x0F, minimum = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, cp = lead & 0x07, minimum = 0x10000;
  } else {
    ++i;
    return kBad;
  }
  if (text.size() - i < length) {
    ++i;
    return kBad;
  }
  for (std::size_t k = 1; k < length; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) {
      ++i;
      return kBad;
    }
    cp = (cp << 6) | (next & 0x3F);
  }
  if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
    ++i;
    return kBad;
  }
  i += length;
  return cp;
}

}  // namespace

std::string AsciiUpper(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return result;
}

std::string AsciiLower(std::string_view text) {
  std::string result(text);
  for (char& c : result) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return result;
}

bool EndsWith(std::string_view text, char c) noexcept {
  return !text.empty() && text.back() == c;
}

std::string Utf8ToCp1251(std::string_view utf8) {
  std::string result;
  result.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const char32_t cp = NextCodePoint(utf8, i);
    const unsigned char byte = Cp1251Byte(cp);
    // NUL is a code point of its own; 0 from the table means "no such character".
    result.push_back(byte != 0 || cp == 0 ? static_cast<char>(byte) : '?');
  }
  return result;
}

char16_t Cp1251CodePoint(unsigned char byte) noexcept {
  if (byte < 0x80) return byte;
  if (byte >= 0xC0) return static_cast<char16_t>(kCyrillicA + (byte - 0xC0));
  const char16_t cp = kHighTable[byte - 0x80];
  return cp != 0 ? cp : u'?';
}

std::string Cp1251ToUtf8(std::string_view cp1251) {
  std::string result;
  result.reserve(cp1251.size() * 2);
  for (const char c : cp1251) AppendUtf8(result, Cp1251CodePoint(static_cast<unsigned char>(c)));
  return result;
}

std::u16string Cp1251ToUtf16(std::string_view cp1251) {
  std::u16string result;
  result.reserve(cp1251.size());
  for (const char c : cp1251) result.push_back(Cp1251CodePoint(static_cast<unsigned char>(c)));
  return result;
}

}  // namespace vornak2
