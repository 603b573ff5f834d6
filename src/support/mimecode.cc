// Base64 encoder and decoder working on raw buffers.
#include "support/mimecode.h"

#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <string>

namespace vornak2 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Decoder classes of the byte values besides the 6-bit digits 0..63.
constexpr std::int8_t kInvalid = -1;
constexpr std::int8_t kSkip = -2;  // CR and LF
constexpr std::int8_t kEnd = -3;   // "=": the text ends here

constexpr std::array<std::int8_t, 256> MakeDecodeTable() {
  std::array<std::int8_t, 256> table{};
  for (auto& entry : table) entry = kInvalid;
  for (int i = 0; i < 64; ++i)
    table[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::int8_t>(i);
  table['\r'] = kSkip;
  table['\n'] = kSkip;
  table['='] = kEnd;
  return table;
}

constexpr std::array<std::int8_t, 256> kDecode = MakeDecodeTable();

// The decoder collects bytes here and commits them to the result in chunks.
constexpr std::size_t kStagingSize = 1024;
constexpr std::size_t kStagingFlushAbove = 1018;

std::vector<std::uint8_t> Allocate(std::int64_t size, const char* function) {
  try {
    if (size > std::numeric_limits<std::int32_t>::max()) throw std::bad_alloc();
    return std::vector<std::uint8_t>(static_cast<std::size_t>(size));
  } catch (const std::exception& e) {
    throw EMimeException(std::string("Error in ") + function + " on GetMem " +
                         ExceptionClassName(e) + ":" + e.what());
  }
}

class DecodeOutput {
 public:
  explicit DecodeOutput(std::vector<std::uint8_t>& buffer) : buffer_(buffer) {}

  // Appends the top `count` bytes of the low 8*count bits of `value`, most significant first.
  void Group(std::uint32_t value, int count) {
    if (staged_ > kStagingFlushAbove) Flush();
    for (int shift = 8 * (count - 1); shift >= 0; shift -= 8) {
      staging_[staged_++] = static_cast<std::uint8_t>(value >> shift);
    }
  }

  // Commits the staged chunk, or drops it whole when it does not fit in the remaining capacity.
  void Flush() {
    if (staged_ <= buffer_.size() - written_) {
      std::memcpy(buffer_.data() + written_, staging_.data(), staged_);
      written_ += staged_;
    }
    staged_ = 0;
  }

  std::size_t written() const { return written_; }

 private:
  std::vector<std::uint8_t>& buffer_;
  std::size_t written_ = 0;
  std::array<std::uint8_t, kStagingSize> staging_;
  std::size_t staged_ = 0;
};

}  // namespace

std::vector<std::uint8_t> EncodeBuffer(const void* data, std::int32_t size) {
  if (data == nullptr || size < 1) return {};
  const std::int64_t length = (static_cast<std::int64_t>(size) / 3 + (size % 3 > 0 ? 1 : 0)) * 4;
  std::vector<std::uint8_t> text = Allocate(length, "EncodeBuffer");

  const auto* in = static_cast<const std::uint8_t*>(data);
  std::uint8_t* out = text.data();
  const std::size_t whole = static_cast<std::size_t>(size) / 3 * 3;
  for (std::size_t i = 0; i < whole; i += 3) {
    const std::uint32_t v =
        (std::uint32_t{in[i]} << 16) | (std::uint32_t{in[i + 1]} << 8) | in[i + 2];
    out[0] = kAlphabet[v >> 18];
    out[1] = kAlphabet[(v >> 12) & 63];
    out[2] = kAlphabet[(v >> 6) & 63];
    out[3] = kAlphabet[v & 63];
    out += 4;
  }
  switch (static_cast<std::size_t>(size) - whole) {
    case 1: {
      const std::uint32_t v = in[whole];
      out[0] = kAlphabet[v >> 2];
      out[1] = kAlphabet[(v << 4) & 63];
      out[2] = '=';
      out[3] = '=';
      break;
    }
    case 2: {
      const std::uint32_t v = (std::uint32_t{in[whole]} << 8) | in[whole + 1];
      out[0] = kAlphabet[v >> 10];
      out[1] = kAlphabet[(v >> 4) & 63];
      out[2] = kAlphabet[(v << 2) & 63];
      out[3] = '=';
      break;
    }
    default:
      break;
  }
  return text;
}

std::vector<std::uint8_t> DecodeBuffer(const char* text, std::int32_t length) {
  if (text == nullptr || length < 0) length = 0;
  const std::int64_t capacity = static_cast<std::int64_t>(length / 4) * 3;
  if (capacity <= 0) throw EAssertionFailed("mimecode", 268);
  std::vector<std::uint8_t> result = Allocate(capacity, "DecodeBuffer");

  DecodeOutput output(result);
  std::uint32_t accumulator = 0;
  int bits = 0;
  for (std::int32_t i = 0; i < length; ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    const std::int8_t value = kDecode[c];
    if (value >= 0) {
      if (bits == 24) {
        output.Group(accumulator, 3);
        accumulator = 0;
        bits = 0;
      }
      accumulator = (accumulator << 6) | static_cast<std::uint32_t>(value);
      bits += 6;
    } else if (value == kSkip) {
      continue;
    } else if (value == kEnd) {
      break;
    } else {
      throw EMimeException("Error mime decode. Wrong symbol \"" +
                           std::string(1, static_cast<char>(c)) + "\" at position " +
                           std::to_string(i + 1) + ".");
    }
  }
  if (bits > 0) output.Group(accumulator >> (bits % 8), bits / 8);
  output.Flush();

  if (output.written() == 0) return {};
  result.resize(output.written());
  return result;
}

std::vector<std::uint8_t> TryEncodeBuffer(const void* data, std::int32_t size) noexcept {
  try {
    return EncodeBuffer(data, size);
  } catch (...) {
    return {};
  }
}

std::vector<std::uint8_t> TryDecodeBuffer(const char* text, std::int32_t length) noexcept {
  try {
    return DecodeBuffer(text, length);
  } catch (...) {
    return {};
  }
}

}  // namespace vornak2
