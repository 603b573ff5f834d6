// Wiping secret bytes so that they do not linger in freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace vornak2 {

// Overwrites `size` bytes with zeros in a way the compiler may not drop as a dead store: the
// empty assembly statement claims to read the memory, so the zeroing must happen before it. This
// keeps memset's speed, which matters for buffers of many megabytes.
inline void SecureWipe(void* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return;
  std::memset(data, 0, size);
  asm volatile("" : : "r"(data) : "memory");
}

// A fixed-size byte buffer that wipes its contents when it is destroyed.
class SecretBytes {
 public:
  SecretBytes() = default;
  // `size` bytes, zeroed.
  explicit SecretBytes(std::size_t size)
      : bytes_(std::make_unique<std::uint8_t[]>(size)), size_(size) {}
  // `size` bytes left as they are, for a buffer that is written in full before it is read (a large
  // output area need not be zeroed first).
  static SecretBytes ForOverwrite(std::size_t size) {
    SecretBytes b;
    b.bytes_ = std::make_unique_for_overwrite<std::uint8_t[]>(size);
    b.size_ = size;
    return b;
  }
  SecretBytes(SecretBytes&& other) noexcept : bytes_(std::move(other.bytes_)), size_(other.size_) {
    other.size_ = 0;
  }
  SecretBytes& operator=(SecretBytes&&) = delete;
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { SecureWipe(bytes_.get(), size_); }

  std::uint8_t* data() noexcept { return bytes_.get(); }
  const std::uint8_t* data() const noexcept { return bytes_.get(); }
  char* chars() noexcept { return reinterpret_cast<char*>(bytes_.get()); }
  std::size_t size() const noexcept { return size_; }

 private:
  std::unique_ptr<std::uint8_t[]> bytes_;
  std::size_t size_ = 0;
};

}  // namespace vornak2
