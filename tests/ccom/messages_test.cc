#include "ccom/messages.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <map>
#include <string>

namespace vornak2 {
namespace {

// messages.golden holds the reference message of every code from -90 to 140, one "CODE<TAB>TEXT"
// line each (3 and 136 without a tail), written as UTF-8 and converted to Windows-1251 with iconv,
// independently of the table in the code.
std::map<std::int32_t, std::string> ReadGolden() {
  std::ifstream file(VORNAK2_MESSAGES_GOLDEN, std::ios::binary);
  EXPECT_TRUE(file) << VORNAK2_MESSAGES_GOLDEN;
  std::map<std::int32_t, std::string> texts;
  std::string line;
  while (std::getline(file, line)) {
    const auto tab = line.find('\t');
    if (tab == std::string::npos) continue;
    texts[std::stoi(line.substr(0, tab))] = line.substr(tab + 1);
  }
  return texts;
}

TEST(ResultMessages, EveryCodeMatchesTheReferenceTexts) {
  const auto golden = ReadGolden();
  int compared = 0;
  for (std::int32_t code = -90; code <= 140; ++code) {
    const auto it = golden.find(code);
    ASSERT_NE(it, golden.end()) << "no reference line for " << code;
    EXPECT_EQ(ComposeResultMessage(code, nullptr, ""), it->second) << "code " << code;
    ++compared;
  }
  EXPECT_EQ(compared, 231);
  EXPECT_EQ(golden.size(), 231u);
}

TEST(ResultMessages, OnlyTableCodesHaveARowText) {
  for (std::int32_t code : {0, 10, 102, 137, -87, INT32_MIN, INT32_MAX})
    EXPECT_TRUE(ResultCodeText(code).empty()) << code;
  const std::string generic = ComposeResultMessage(10, nullptr, "");
  const std::string prefix = generic.substr(0, generic.size() - 2);
  EXPECT_EQ(ComposeResultMessage(INT32_MIN, nullptr, ""), prefix + "-2147483648");
  EXPECT_EQ(ComposeResultMessage(INT32_MAX, nullptr, ""), prefix + "2147483647");
}

TEST(ResultMessages, SharedTextsAreEqual) {
  const std::initializer_list<std::int32_t> groups[] = {
      {5, 105}, {-30, -58, -62}, {-39, -49}, {-77, -79}, {-80, -81}, {-78, -82, -83, -84, -86},
  };
  for (const auto& group : groups) {
    const std::string_view first = ResultCodeText(*group.begin());
    EXPECT_FALSE(first.empty());
    for (std::int32_t code : group) EXPECT_EQ(ResultCodeText(code), first) << code;
  }
}

TEST(ResultMessages, TailsFollowTheRowTextDirectly) {
  const std::string row3(ResultCodeText(3));
  const std::string row136(ResultCodeText(136));
  ASSERT_EQ(row3.back(), ' ');
  const std::string description = "EAccessViolation: \xCE\xF8\xE8\xE1\xEA\xE0";
  const std::string empty;
  EXPECT_EQ(ComposeResultMessage(3, &description, "ignored"), row3 + description);
  EXPECT_EQ(ComposeResultMessage(3, &empty, "ignored"), row3);
  EXPECT_EQ(ComposeResultMessage(3, nullptr, "ignored"), row3);
  EXPECT_EQ(ComposeResultMessage(136, &description, "TCcom22Engine.EncodeData E: x"),
            row136 + "TCcom22Engine.EncodeData E: x");
  EXPECT_EQ(ComposeResultMessage(136, nullptr, ""), row136);
  // Tails belong to 3 and 136 only.
  EXPECT_EQ(ComposeResultMessage(5, &description, "tail"), ResultCodeText(5));
  EXPECT_EQ(ComposeResultMessage(10, &description, "tail"), ComposeResultMessage(10, nullptr, ""));
}

TEST(ResultMessages, HostBufferHoldsAtMostCapacityMinusOneBytes) {
  constexpr char kUntouched = '\x55';
  struct Case {
    std::size_t textSize;
    std::int32_t capacity;
    std::size_t copied;
  };
  const Case cases[] = {
      {0, 255, 0},      {1, 255, 1}, {254, 255, 254}, {255, 255, 254},
      {1000, 255, 254}, {5, 1, 0},   {5, 6, 5},       {6, 6, 5},
  };
  for (const auto& c : cases) {
    const std::string text(c.textSize, 'x');
    std::array<char, 300> buffer;
    buffer.fill(kUntouched);
    WriteResultMessage(text, buffer.data(), c.capacity);
    const auto capacity = static_cast<std::size_t>(c.capacity);
    EXPECT_EQ(std::string(buffer.data(), c.copied), std::string(c.copied, 'x'));
    EXPECT_EQ(std::string(buffer.data() + c.copied, capacity - c.copied),
              std::string(capacity - c.copied, '\0'))
        << c.textSize << "/" << c.capacity;
    EXPECT_EQ(buffer[capacity], kUntouched) << "wrote past the buffer";
  }
}

TEST(ResultMessages, HostBufferMessagesAndRefusedBuffers) {
  std::array<char, 255> buffer;
  buffer.fill('\x55');
  WriteResultMessage(ComposeResultMessage(0, nullptr, ""), buffer.data(), 255);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(255, '\0'));

  // Refused buffers are left alone.
  buffer.fill('\x55');
  for (std::int32_t capacity : {0, -1, INT32_MIN})
    WriteResultMessage("abc", buffer.data(), capacity);
  WriteResultMessage("abc", nullptr, 255);
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), std::string(255, '\x55'));
}

}  // namespace
}  // namespace vornak2
