// A bounds-checked reader and writer for byte layouts that cross the library's boundary (host
// buffers, files, transfers). The reader takes little-endian integers and spans from the front of
// the bytes it was given and fails instead of reading past their end; the writer puts them into a
// caller's buffer of known capacity and fails instead of writing past it. A failed read or write
// consumes nothing and writes nothing, and every later one fails as well, so a layout can be read
// or written as a straight sequence of calls with one check of the combined result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>

namespace vornak2 {

class ByteReader {
 public:
  ByteReader() = default;
  explicit ByteReader(std::span<const std::uint8_t> bytes) noexcept : rest_(bytes) {}

  std::size_t remaining() const noexcept { return rest_.size(); }
  bool ok() const noexcept { return ok_; }
  // The bytes not read yet.
  std::span<const std::uint8_t> rest() const noexcept { return rest_; }

  // A signed 32-bit little-endian integer.
  [[nodiscard]] bool ReadInt32(std::int32_t& out) noexcept {
    std::span<const std::uint8_t> b;
    if (!ReadBytes(4, b)) return false;
    const std::uint32_t v = std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 |
                            std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
    out = static_cast<std::int32_t>(v);
    return true;
  }
  // A signed 32-bit little-endian length: fails (consuming nothing) when it is negative.
  [[nodiscard]] bool ReadLength(std::size_t& out) noexcept {
    const std::span<const std::uint8_t> before = rest_;
    std::int32_t v = 0;
    if (!ReadInt32(v)) return false;
    if (v < 0) return Fail(before);
    out = static_cast<std::size_t>(v);
    return true;
  }
  // The next `n` bytes, in place.
  [[nodiscard]] bool ReadBytes(std::size_t n, std::span<const std::uint8_t>& out) noexcept {
    if (!ok_ || n > rest_.size()) return Fail(rest_);
    out = rest_.first(n);
    rest_ = rest_.subspan(n);
    return true;
  }
  // The next `n` bytes as a reader of their own.
  [[nodiscard]] bool ReadReader(std::size_t n, ByteReader& out) noexcept {
    std::span<const std::uint8_t> b;
    if (!ReadBytes(n, b)) return false;
    out = ByteReader(b);
    return true;
  }
  // A field of `n` bytes holding zero-terminated text (the bytes after the zero carry no
  // meaning); fails when the field has no zero.
  [[nodiscard]] bool ReadTextField(std::size_t n, std::string_view& out) noexcept {
    const std::span<const std::uint8_t> before = rest_;
    std::span<const std::uint8_t> b;
    if (!ReadBytes(n, b)) return false;
    const void* zero = std::memchr(b.data(), 0, b.size());
    if (zero == nullptr) return Fail(before);
    out = std::string_view(
        reinterpret_cast<const char*>(b.data()),
        static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - b.data()));
    return true;
  }
  [[nodiscard]] bool Skip(std::size_t n) noexcept {
    std::span<const std::uint8_t> b;
    return ReadBytes(n, b);
  }

 private:
  bool Fail(std::span<const std::uint8_t> restore) noexcept {
    rest_ = restore;
    ok_ = false;
    return false;
  }

  std::span<const std::uint8_t> rest_;
  bool ok_ = true;
};

class ByteWriter {
 public:
  // Writes into `out`, whose size is the capacity: nothing is ever written past it.
  explicit ByteWriter(std::span<std::uint8_t> out) noexcept : out_(out) {}

  std::size_t written() const noexcept { return used_; }
  std::size_t remaining() const noexcept { return out_.size() - used_; }
  bool ok() const noexcept { return ok_; }

  [[nodiscard]] bool WriteInt32(std::int32_t value) noexcept {
    const auto v = static_cast<std::uint32_t>(value);
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 24)};
    return WriteBytes(b);
  }
  // A length as a signed 32-bit integer; fails when it does not fit one.
  [[nodiscard]] bool WriteLength(std::size_t n) noexcept {
    if (n > static_cast<std::size_t>(INT32_MAX)) return Fail();
    return WriteInt32(static_cast<std::int32_t>(n));
  }
  [[nodiscard]] bool WriteBytes(std::span<const std::uint8_t> bytes) noexcept {
    if (!Reserve(bytes.size())) return false;
    if (!bytes.empty()) std::memmove(out_.data() + used_, bytes.data(), bytes.size());
    used_ += bytes.size();
    return true;
  }
  [[nodiscard]] bool WriteZeros(std::size_t n) noexcept {
    if (!Reserve(n)) return false;
    if (n != 0) std::memset(out_.data() + used_, 0, n);
    used_ += n;
    return true;
  }
  // `text` and a zero byte.
  [[nodiscard]] bool WriteText(std::string_view text) noexcept {
    if (!Reserve(text.size() + 1)) return false;
    return WriteBytes(AsBytes(text)) && WriteZeros(1);
  }
  // `text` and a zero byte, zero-padded to exactly `fieldSize` bytes; fails when the text and its
  // zero do not fit the field.
  [[nodiscard]] bool WriteTextField(std::string_view text, std::size_t fieldSize) noexcept {
    if (text.size() >= fieldSize) return Fail();
    if (!Reserve(fieldSize)) return false;
    return WriteBytes(AsBytes(text)) && WriteZeros(fieldSize - text.size());
  }
  // The next `n` bytes of the buffer, handed to the caller to fill (for output that a cipher
  // produces in place); they count as written.
  [[nodiscard]] bool Claim(std::size_t n, std::span<std::uint8_t>& out) noexcept {
    if (!Reserve(n)) return false;
    out = out_.subspan(used_, n);
    used_ += n;
    return true;
  }

 private:
  static std::span<const std::uint8_t> AsBytes(std::string_view text) noexcept {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
  }
  bool Reserve(std::size_t n) noexcept {
    if (!ok_ || n > out_.size() - used_) return Fail();
    return true;
  }
  bool Fail() noexcept {
    ok_ = false;
    return false;
  }

  std::span<std::uint8_t> out_;
  std::size_t used_ = 0;
  bool ok_ = true;
};

}  // namespace vornak2
