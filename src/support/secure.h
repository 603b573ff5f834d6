// Wiping secret bytes so that they do not linger in freed memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace vornak2 {

// Overwrites `size` bytes with zeros in a way the compiler may not drop as a dead store: the
// empty assembly statement claims to read the memory, so the zeroing must happen before it. This
// keeps memset's speed, which matters for buffers of many megabytes.
inline void SecureWipe(void* data, std::size_t size) noexcept {
  if (data == nullptr || size == 0) return;
  std::memset(data, 0, size);
  asm volatile("" : : "r"(data) : "memory");
}

// A byte buffer that wipes its contents when it is destroyed or resized down.
class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t size) : bytes_(size) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  ~SecretBytes() { SecureWipe(bytes_.data(), bytes_.size()); }

  std::uint8_t* data() noexcept { return bytes_.data(); }
  const std::uint8_t* data() const noexcept { return bytes_.data(); }
  char* chars() noexcept { return reinterpret_cast<char*>(bytes_.data()); }
  std::size_t size() const noexcept { return bytes_.size(); }

 private:
  std::vector<std::uint8_t> bytes_;
};

}  // namespace vornak2
