#include "support/text.h"

#include <gtest/gtest.h>

namespace vornak2 {
namespace {

TEST(Text, AsciiCaseAndEndings) {
  EXPECT_EQ(AsciiUpper("abc.Crt-\xE0z"), "ABC.CRT-\xE0Z");
  EXPECT_EQ(AsciiLower("ABC.cRT-\xC0Z"), "abc.crt-\xC0z");
  EXPECT_TRUE(EndsWith("dir/", '/'));
  EXPECT_FALSE(EndsWith("dir", '/'));
  EXPECT_FALSE(EndsWith("", '/'));
}

TEST(Text, RussianTextToWindows1251) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"ДА", "\xC4\xC0"},
      {"Ошибка №5", "\xCE\xF8\xE8\xE1\xEA\xE0 \xB9\x35"},
      {"Ёж ёлка", "\xA8\xE6 \xB8\xEB\xEA\xE0"},
      {"«Я» — ю", "\xAB\xDF\xBB \x97 \xFE"},
      {"abc\n", "abc\n"},
      {"日本", "??"},  // outside the table
      {"\xFF\xC3(",
       "?"
       "?("},              // invalid sequences, one "?" per byte
      {"\xE2\x80", "??"},  // truncated sequence
      {"\xC0\xAF", "??"},  // overlong encoding of "/"
      {std::string_view("a\0b", 3), std::string_view("a\0b", 3)},
  };
  for (const auto& [utf8, cp1251] : cases) EXPECT_EQ(Utf8ToCp1251(utf8), cp1251) << utf8;
}

TEST(Text, Windows1251RoundTripsThroughUtf8) {
  std::string all;
  for (int b = 1; b < 256; ++b) {
    if (b != 0x98) all.push_back(static_cast<char>(b));
  }
  const std::string utf8 = Cp1251ToUtf8(all);
  EXPECT_EQ(Utf8ToCp1251(utf8), all);
  EXPECT_EQ(Cp1251ToUtf8("\xC4\xC0 \xB9 \x98"), "ДА № ?");
  EXPECT_EQ(Cp1251ToUtf16("\xC4\xC0 \xB9 \x98"), u"ДА № ?");
}

}  // namespace
}  // namespace vornak2
