// vornak2-host: signing and encryption on memory buffers through the exports, with the buffer
// sizes a host must reserve for each call. The file commands and the demo share these.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "host_api.h"

namespace vornak2::host {

// The most bytes one call of the library can address: its lengths are signed 32-bit integers.
inline constexpr std::size_t kMaxCallLength = 0x7FFFFFFF;

// Bytes that may be secret (plaintext, decrypted data). They live in a store that may be larger
// than the bytes, for operations that grow data in place; the store is wiped before its memory
// is released.
class Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::span<const std::uint8_t> bytes);
  explicit Bytes(std::string_view text);
  Bytes(Bytes&& other) noexcept;
  Bytes& operator=(Bytes&& other) noexcept;
  Bytes(const Bytes&) = delete;
  Bytes& operator=(const Bytes&) = delete;
  ~Bytes();

  std::uint8_t* data() { return store_.data(); }
  const std::uint8_t* data() const { return store_.data(); }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return store_.size(); }
  std::span<const std::uint8_t> view() const { return {store_.data(), size_}; }
  bool operator==(const Bytes& other) const;

  // Makes room for `extra` bytes after the data; the old store is wiped.
  void Reserve(std::size_t extra);
  // Sets the length within the store; the bytes after it are wiped.
  void Resize(std::size_t size);

  // Reads a whole file into a store with `room` bytes after it; nullopt when it cannot be read.
  static std::optional<Bytes> ReadFile(const std::string& path, std::size_t room = 0);

 private:
  void Wipe();

  std::vector<std::uint8_t> store_;
  std::size_t size_ = 0;
};

// Replaces a file with the bytes (written beside it and renamed over it, so that a failure
// leaves the old file in place); `secret` makes the file readable by its owner only.
bool WriteFile(const std::string& path, std::span<const std::uint8_t> bytes, bool secret);

// Each operation returns the library's result code; outputs change only on success. A library
// answer that does not fit the buffer given to it throws std::runtime_error.

// A detached signature of `data`, signed as `signer` (the current user when empty).
std::int32_t Sign(const Engine& engine, std::span<const std::uint8_t> data,
                  const std::string& signer, std::vector<std::uint8_t>& signature);
inline std::int32_t Sign(const Engine& engine, const Bytes& data, const std::string& signer,
                         std::vector<std::uint8_t>& signature) {
  return Sign(engine, data.view(), signer, signature);
}
// Verifies a detached signature, with or without the validity check of the signer's certificate;
// `signer` receives the UID carried by the signature.
std::int32_t Verify(const Engine& engine, std::span<const std::uint8_t> data,
                    std::span<const std::uint8_t> signature, bool checkValidity,
                    std::string& signer);
inline std::int32_t Verify(const Engine& engine, const Bytes& data,
                           std::span<const std::uint8_t> signature, bool checkValidity,
                           std::string& signer) {
  return Verify(engine, data.view(), signature, checkValidity, signer);
}
// Appends a signature to the data (the data grows).
std::int32_t AddSign(const Engine& engine, Bytes& data, const std::string& signer);
// Verifies an appended signature and cuts it off; `signer` receives the signer's UID.
std::int32_t RemoveSign(const Engine& engine, Bytes& data, std::string& signer);
// Encrypts in place for one recipient or several separated by ";" (parameter 8 when empty).
std::int32_t Encrypt(const Engine& engine, Bytes& data, const std::string& recipients);
// Decrypts in place for the current user.
std::int32_t Decrypt(const Engine& engine, Bytes& data);

// The same operations in a buffer that already has the room after its first `size` bytes (the
// data): the library works where the data lies, and `size` becomes the result's length.
std::int32_t AddSignIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                       const std::string& signer);
std::int32_t RemoveSignIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                          std::string& signer);
std::int32_t EncryptIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                       const std::string& recipients);
std::int32_t DecryptIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size);

// The most that AddSign and Encrypt (for `recipients`) may add to the data: a host reserves that
// much room after it.
std::size_t SignGrowth(const Engine& engine);
std::size_t EncryptGrowth(const Engine& engine, const std::string& recipients);

// The number of recipients a recipient text names: the pieces between ";", empty ones included.
std::size_t RecipientCount(const std::string& recipients);

}  // namespace vornak2::host
