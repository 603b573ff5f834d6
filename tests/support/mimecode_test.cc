#include "support/mimecode.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace vornak2 {
namespace {

std::string AsText(const std::vector<std::uint8_t>& bytes) {
  return {bytes.begin(), bytes.end()};
}

std::vector<std::uint8_t> Encode(std::string_view data) {
  return EncodeBuffer(data.data(), static_cast<std::int32_t>(data.size()));
}

std::vector<std::uint8_t> Decode(std::string_view text) {
  return DecodeBuffer(text.data(), static_cast<std::int32_t>(text.size()));
}

std::string ExceptionText(std::string_view text) {
  try {
    Decode(text);
  } catch (const Error& e) {
    return std::string(e.ClassName()) + ": " + e.what();
  }
  return "no exception";
}

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<std::string_view, std::string_view> vectors[] = {
      {"f", "Zg=="},        {"fo", "Zm8="},        {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(AsText(Encode(plain)), encoded);
    EXPECT_EQ(AsText(Decode(encoded)), plain) << encoded;
  }
  // The empty string encodes to nothing; nothing cannot be decoded (shorter than 4 characters).
  EXPECT_TRUE(Encode("").empty());
  EXPECT_THROW(Decode(""), EAssertionFailed);
}

TEST(Base64, EncodesEveryByteValue) {
  std::vector<std::uint8_t> all(256 * 3 + 1);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
  const auto text = EncodeBuffer(all.data(), static_cast<std::int32_t>(all.size()));
  EXPECT_EQ(text.size(), (all.size() + 2) / 3 * 4);
  EXPECT_EQ(text.back(), '=');
  EXPECT_EQ(DecodeBuffer(reinterpret_cast<const char*>(text.data()),
                         static_cast<std::int32_t>(text.size())),
            all);
}

TEST(Base64, EncoderRejectsMissingInput) {
  const char byte = 'x';
  EXPECT_TRUE(EncodeBuffer(nullptr, 5).empty());
  EXPECT_TRUE(EncodeBuffer(&byte, 0).empty());
  EXPECT_TRUE(EncodeBuffer(&byte, -1).empty());
}

TEST(Base64, EncoderRefusesTextBeyondA32BitLength) {
  // The text of 2^31 - 1 bytes would not fit a 32-bit length; nothing is read before the refusal.
  const char byte = 'x';
  try {
    EncodeBuffer(&byte, std::numeric_limits<std::int32_t>::max());
    FAIL() << "no exception";
  } catch (const EMimeException& e) {
    EXPECT_STREQ(e.what(), "Error in EncodeBuffer on GetMem EOutOfMemory:std::bad_alloc");
  }
  EXPECT_TRUE(TryEncodeBuffer(&byte, std::numeric_limits<std::int32_t>::max()).empty());
}

struct DecodeCase {
  std::string_view text;
  std::string_view expected;  // decoded bytes, or the exception as "Class: message"
};

TEST(Base64, DecoderEdgeCases) {
  const DecodeCase cases[] = {
      // Line breaks are skipped anywhere; capacity counts them, and the result is shrunk.
      {"Zm9v\r\nYmFy\r\n", "foobar"},
      {"Zm\n9vY\rmE=", "fooba"},
      // The first "=" ends the text: what follows is never examined.
      {"Zm8=\x01 garbage", "fo"},
      {"Zg==Zm9v", "f"},
      // Text that is a multiple of 4 fills the capacity exactly; padding shrinks the result.
      {"AAAAAAAA", std::string_view("\0\0\0\0\0\0", 6)},
      {"AAAAAAA=", std::string_view("\0\0\0\0\0", 5)},
      {"AAAAAA==", std::string_view("\0\0\0\0", 4)},
      // Six unpadded characters carry 4 bytes but the capacity is 3: the chunk is dropped.
      {"Zm9vYg", ""},
      // Five characters: 3 bytes plus 6 loose bits, which give no byte.
      {"Zm9vY", "foo"},
      // Only line breaks, or "=" at once: no byte at all.
      {"\r\n\r\n", ""},
      {"====", ""},
      // Wrong symbols are reported with their 1-based position, line breaks counted.
      {"Zm9v YmFy", "EMimeException: Error mime decode. Wrong symbol \" \" at position 5."},
      {"\r\nZm\t9v", "EMimeException: Error mime decode. Wrong symbol \"\t\" at position 5."},
      {"Zm9-", "EMimeException: Error mime decode. Wrong symbol \"-\" at position 4."},
      {"Zm9v\xC0", "EMimeException: Error mime decode. Wrong symbol \"\xC0\" at position 5."},
      // Shorter than 4 characters: an assertion failure, even for valid text.
      {"Zg=", "EAssertionFailed: Assertion failure (mimecode, line 268)"},
  };
  for (const auto& c : cases) {
    const std::string text(c.text);
    std::string got;
    try {
      got = AsText(Decode(text));
    } catch (const Error& e) {
      got = std::string(e.ClassName()) + ": " + e.what();
    }
    EXPECT_EQ(got, c.expected) << "text: " << text;
    if (c.expected.starts_with("E")) {
      EXPECT_TRUE(TryDecodeBuffer(text.data(), static_cast<std::int32_t>(text.size())).empty());
    }
  }
}

TEST(Base64, DecoderHandlesMissingTextSafely) {
  EXPECT_EQ(ExceptionText(std::string_view()),
            "EAssertionFailed: Assertion failure (mimecode, line 268)");
  EXPECT_THROW(DecodeBuffer(nullptr, 100), EAssertionFailed);
  EXPECT_THROW(DecodeBuffer("Zm9vYmFy", -8), EAssertionFailed);
  EXPECT_TRUE(TryDecodeBuffer(nullptr, 100).empty());
}

TEST(Base64, LongTextWithLineBreaksRoundTrips) {
  std::vector<std::uint8_t> data(5000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31 + 7);
  const auto encoded = EncodeBuffer(data.data(), static_cast<std::int32_t>(data.size()));
  std::string wrapped;
  for (std::size_t i = 0; i < encoded.size(); i += 76) {
    wrapped.append(reinterpret_cast<const char*>(encoded.data()) + i,
                   std::min<std::size_t>(76, encoded.size() - i));
    wrapped.append("\r\n");
  }
  EXPECT_EQ(Decode(wrapped), data);
}

TEST(Base64, OverflowingLastChunkIsDroppedWhole) {
  // 1024 bytes encoded without padding: 1366 characters, capacity 1023. The first 1020 bytes are
  // committed as one chunk; the last chunk (4 bytes) would pass the capacity and is dropped.
  std::vector<std::uint8_t> data(1024);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
  auto text = AsText(EncodeBuffer(data.data(), 1024));
  ASSERT_EQ(text.substr(text.size() - 2), "==");
  text.resize(text.size() - 2);
  const auto decoded = Decode(text);
  EXPECT_EQ(decoded, std::vector<std::uint8_t>(data.begin(), data.begin() + 1020));
}

}  // namespace
}  // namespace vornak2
