#include "host_ops.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>

#include "support/secure.h"

namespace vornak2::host {

namespace {

constexpr std::size_t kMaxLength = kMaxCallLength;
static_assert(kMaxCallLength == static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()));

// A length as the exports take it; data too large for one call is refused before the call.
std::int32_t Length(std::size_t size) {
  if (size > kMaxLength) throw std::runtime_error("the data is too large for one call");
  return static_cast<std::int32_t>(size);
}

// A size query's answer; a negative one means the engine could not answer.
std::size_t Size(std::int32_t answer, const char* query) {
  if (answer < 0) throw std::runtime_error(std::string(query) + " failed");
  return static_cast<std::size_t>(answer);
}

// A length the library produced into a buffer of `capacity` bytes.
std::size_t Produced(std::int32_t length, std::size_t capacity, const char* operation) {
  if (length < 0 || static_cast<std::size_t>(length) > capacity)
    throw std::runtime_error(std::string(operation) + " reported " + std::to_string(length) +
                             " bytes for a buffer of " + std::to_string(capacity));
  return static_cast<std::size_t>(length);
}

// A UID buffer as the exports fill it, sized by GetMaxUIDLength.
std::vector<char> UidBuffer(const Engine& engine) {
  return std::vector<char>(
      Size(engine.api().GetMaxUIDLength(engine.handle()), "GetMaxUIDLength") + 1, '\0');
}

// An operation that changes data in place, with `extra` bytes of room after the data. The engine
// leaves the buffer as it was when it fails, so data whose store already has the room (read with
// it, see Bytes::ReadFile) is changed where it lies; other data is first copied into a store with
// the room.
template <typename Call>
std::int32_t InPlace(Bytes& data, std::size_t extra, const char* operation, Call call) {
  if (data.capacity() - data.size() >= extra) {
    std::int32_t size = Length(data.size());
    const std::int32_t code = call(data.data(), &size);
    if (code == 0) data.Resize(Produced(size, data.capacity(), operation));
    return code;
  }
  Bytes work(data.view());
  work.Reserve(extra);
  std::int32_t size = Length(work.size());
  const std::int32_t code = call(work.data(), &size);
  if (code != 0) return code;
  work.Resize(Produced(size, work.capacity(), operation));
  data = std::move(work);
  return 0;
}

// An operation in a buffer that has `extra` bytes of room after its first `size` bytes.
template <typename Call>
std::int32_t InBuffer(std::span<std::uint8_t> buffer, std::size_t& size, std::size_t extra,
                      const char* operation, Call call) {
  if (size > buffer.size() || buffer.size() - size < extra)
    throw std::logic_error(std::string(operation) + " without the room it needs");
  std::int32_t length = Length(size);
  const std::int32_t code = call(buffer.data(), &length);
  if (code == 0) size = Produced(length, buffer.size(), operation);
  return code;
}

}  // namespace

Bytes::Bytes(std::span<const std::uint8_t> bytes)
    : store_(bytes.begin(), bytes.end()), size_(bytes.size()) {}

Bytes::Bytes(std::string_view text)
    : Bytes(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {}

Bytes::Bytes(Bytes&& other) noexcept : store_(std::move(other.store_)), size_(other.size_) {
  other.store_.clear();
  other.size_ = 0;
}

Bytes& Bytes::operator=(Bytes&& other) noexcept {
  if (this != &other) {
    Wipe();
    store_ = std::move(other.store_);
    size_ = other.size_;
    other.store_.clear();
    other.size_ = 0;
  }
  return *this;
}

Bytes::~Bytes() {
  Wipe();
}

void Bytes::Wipe() {
  SecureWipe(store_.data(), store_.size());
}

bool Bytes::operator==(const Bytes& other) const {
  return size_ == other.size_ && std::equal(view().begin(), view().end(), other.view().begin());
}

void Bytes::Reserve(std::size_t extra) {
  if (extra > kMaxLength - std::min(size_, kMaxLength))
    throw std::runtime_error("the data and the " + std::to_string(extra) +
                             " bytes the operation may add are more than one call can address");
  std::vector<std::uint8_t> bigger(size_ + extra);
  std::copy(view().begin(), view().end(), bigger.begin());
  Wipe();
  store_.swap(bigger);
}

void Bytes::Resize(std::size_t size) {
  if (size > store_.size()) throw std::logic_error("Bytes::Resize beyond the store");
  if (size < size_) SecureWipe(store_.data() + size, size_ - size);
  size_ = size;
}

std::optional<Bytes> Bytes::ReadFile(const std::string& path, std::size_t room) {
  const auto size = platform::FileSize(path);
  if (!size || *size > kMaxLength || room > kMaxLength - *size) return std::nullopt;
  Bytes bytes;
  bytes.store_.resize(static_cast<std::size_t>(*size) + room);
  const auto read = platform::ReadFileInto(path, bytes.store_);
  if (!read) return std::nullopt;
  bytes.size_ = *read;
  return bytes;
}

bool WriteFile(const std::string& path, std::span<const std::uint8_t> bytes, bool secret) {
  return platform::WriteFileAtomic(path, bytes, secret);
}

std::size_t RecipientCount(const std::string& recipients) {
  return static_cast<std::size_t>(std::count(recipients.begin(), recipients.end(), ';')) + 1;
}

std::int32_t Sign(const Engine& engine, std::span<const std::uint8_t> data,
                  const std::string& signer, std::vector<std::uint8_t>& signature) {
  const Api& api = engine.api();
  const std::size_t max = Size(api.GetMaxSignatureLength(engine.handle()), "GetMaxSignatureLength");
  std::vector<std::uint8_t> buffer(max);
  std::int32_t length = 0;
  const std::int32_t code = api.SignData(engine.handle(), data.data(), Length(data.size()),
                                         buffer.data(), &length, signer.c_str());
  if (code != 0) return code;
  buffer.resize(Produced(length, max, "SignData"));
  signature = std::move(buffer);
  return 0;
}

std::int32_t Verify(const Engine& engine, std::span<const std::uint8_t> data,
                    std::span<const std::uint8_t> signature, bool checkValidity,
                    std::string& signer) {
  const Api& api = engine.api();
  // The signature block is read by its own structure, not by the length passed with it, so a
  // short signature is padded with zeros to the longest block rather than read past its end.
  const std::size_t max = Size(api.GetMaxSignatureLength(engine.handle()), "GetMaxSignatureLength");
  std::vector<std::uint8_t> block(std::max(max, signature.size()), 0);
  std::copy(signature.begin(), signature.end(), block.begin());
  std::vector<char> uid = UidBuffer(engine);
  const auto verify = checkValidity ? api.VerifyData : api.VerifySignWOCheckValidity;
  const std::int32_t code = verify(engine.handle(), data.data(), Length(data.size()), block.data(),
                                   Length(signature.size()), uid.data());
  if (code == 0) signer = BufferText(uid);
  return code;
}

std::size_t SignGrowth(const Engine& engine) {
  return Size(engine.api().GetMaxSignAddition(engine.handle()), "GetMaxSignAddition");
}

std::size_t EncryptGrowth(const Engine& engine, const std::string& recipients) {
  const Api& api = engine.api();
  // The larger of what the engine announces for the list and the multi-recipient container's own
  // need: its 8-byte head, 32 + 256 bytes per recipient and the payload's growth.
  const std::string list = recipients.empty() ? engine.ParamValue(kParamEncryptFor) : recipients;
  const std::size_t announced =
      Size(api.GetMaxAdditionEx(engine.handle(), list.c_str()), "GetMaxAdditionEx");
  const std::size_t growth =
      Size(api.GetMaxEncodeAddition(engine.handle()), "GetMaxEncodeAddition");
  const std::size_t count = RecipientCount(list);
  if (count > kMaxLength / 288) throw std::runtime_error("too many recipients");
  return std::max(announced, 8 + 288 * count + growth);
}

std::int32_t AddSign(const Engine& engine, Bytes& data, const std::string& signer) {
  const Api& api = engine.api();
  return InPlace(data, SignGrowth(engine), "AddSign", [&](std::uint8_t* bytes, std::int32_t* size) {
    return api.AddSign(engine.handle(), bytes, size, signer.c_str());
  });
}

std::int32_t RemoveSign(const Engine& engine, Bytes& data, std::string& signer) {
  const Api& api = engine.api();
  std::vector<char> uid = UidBuffer(engine);
  const std::int32_t code =
      InPlace(data, 0, "RemoveSign", [&](std::uint8_t* bytes, std::int32_t* size) {
        return api.RemoveSign(engine.handle(), bytes, size, uid.data());
      });
  if (code == 0) signer = BufferText(uid);
  return code;
}

std::int32_t Encrypt(const Engine& engine, Bytes& data, const std::string& recipients) {
  const Api& api = engine.api();
  return InPlace(data, EncryptGrowth(engine, recipients), "EncodeData",
                 [&](std::uint8_t* bytes, std::int32_t* size) {
                   return api.EncodeData(engine.handle(), bytes, size, recipients.c_str());
                 });
}

std::int32_t Decrypt(const Engine& engine, Bytes& data) {
  const Api& api = engine.api();
  return InPlace(data, 0, "DecodeData", [&](std::uint8_t* bytes, std::int32_t* size) {
    return api.DecodeData(engine.handle(), bytes, size, nullptr);
  });
}

}  // namespace vornak2::host

namespace vornak2::host {

std::int32_t AddSignIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                       const std::string& signer) {
  const Api& api = engine.api();
  return InBuffer(buffer, size, SignGrowth(engine), "AddSign",
                  [&](std::uint8_t* bytes, std::int32_t* length) {
                    return api.AddSign(engine.handle(), bytes, length, signer.c_str());
                  });
}

std::int32_t RemoveSignIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                          std::string& signer) {
  const Api& api = engine.api();
  std::vector<char> uid = UidBuffer(engine);
  const std::int32_t code =
      InBuffer(buffer, size, 0, "RemoveSign", [&](std::uint8_t* bytes, std::int32_t* length) {
        return api.RemoveSign(engine.handle(), bytes, length, uid.data());
      });
  if (code == 0) signer = BufferText(uid);
  return code;
}

std::int32_t EncryptIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size,
                       const std::string& recipients) {
  const Api& api = engine.api();
  return InBuffer(buffer, size, EncryptGrowth(engine, recipients), "EncodeData",
                  [&](std::uint8_t* bytes, std::int32_t* length) {
                    return api.EncodeData(engine.handle(), bytes, length, recipients.c_str());
                  });
}

std::int32_t DecryptIn(const Engine& engine, std::span<std::uint8_t> buffer, std::size_t& size) {
  const Api& api = engine.api();
  return InBuffer(buffer, size, 0, "DecodeData", [&](std::uint8_t* bytes, std::int32_t* length) {
    return api.DecodeData(engine.handle(), bytes, length, nullptr);
  });
}

}  // namespace vornak2::host
