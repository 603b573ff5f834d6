// The engine's data operations: detached and appended signatures, and encryption for one
// recipient (the binding's certificate-enciphered block) or several (a container: the data under
// a fresh session key, and that key enciphered for every recipient).
//
// Container layout, integers signed 32-bit little-endian, N recipients:
//   0            4        marker -1
//   4            4        N
//   8            32 * N   recipient UIDs, zero-terminated, zero-padded
//   8 + 32N      256 * N  key slots: length L (at most 252), then L bytes of the session key
//                         enciphered for that recipient with "28147-ECB", zero-padded
//   8 + 288N     P        the data as a key-enciphered block under the session key
// A failed operation leaves the host's buffer and length as they were.
#include <cstring>
#include <limits>
#include <mutex>

#include "ccom/ce_ccom.h"
#include "support/bytes.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

constexpr std::int32_t kContainerMarker = -1;
constexpr std::int32_t kRecipientFieldSize = 32;
constexpr std::int32_t kKeySlotSize = 256;
constexpr std::int32_t kMaxSlotKey = kKeySlotSize - 4;  // 252
constexpr std::int64_t kPerRecipient = kRecipientFieldSize + kKeySlotSize;
constexpr const char* kSlotCipher = "28147-ECB";
constexpr std::int32_t kAppendedTrailer = 10;  // length of the data (4) and the hash name field (6)

BufferCallSettings CallSettings(const OperationSettings& s, const std::string& uid) {
  BufferCallSettings c;
  c.uid = uid;
  c.currentKeyPath = s.certFile;
  c.secretDir = s.secretPath;
  c.certDir = s.publicPath;
  c.cipher = s.cipher;
  c.hash = s.hash;
  c.randomFile = s.randomFile;
  c.checkValidity = s.checkValidity;
  c.randomKind = s.hardwareRandom;
  return c;
}

std::int64_t ContainerHead(std::int64_t recipients) {
  return 8 + kPerRecipient * recipients;
}

}  // namespace

template <typename Call>
std::int32_t TCcom22Engine::WithPreparedLibrary(const OperationSettings& s, const std::string& uid,
                                                Call&& call) {
  std::lock_guard lock(LibraryLock());
  const std::int32_t prepared =
      binding_->PrepareKeyCache(uid, s.certFile, s.publicPath, s.secretPath, s.randomFile,
                                s.hardwareRandom, s.keyRequestTimeout, s.lastOperationTimeout);
  if (prepared != 0) return prepared;
  return call(*binding_);
}

// ---- signatures ----

std::int32_t TCcom22Engine::SignData(const void* data, std::int32_t length, void* signature,
                                     std::int32_t* signatureLength, const char* signerUID) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != 0) return r;
  if (data == nullptr || length < 1 || signature == nullptr || signatureLength == nullptr)
    return kNullPointer;
  try {
    const std::string signer =
        signerUID != nullptr && *signerUID != '\0' ? std::string(signerUID) : uid;
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    std::int32_t produced = *signatureLength;
    const std::int32_t result = WithPreparedLibrary(s, signer, [&](TCComDLL& dll) {
      return dll.SignBuffer(CallSettings(s, signer), data, length,
                            static_cast<std::uint8_t*>(signature), produced);
    });
    *signatureLength = produced;
    return result;
  } catch (const std::exception& e) {
    RecordException("SignData ", e);
    return kEngineException;
  }
}

std::int32_t TCcom22Engine::Verify(const void* data, std::int32_t length, const void* signature,
                                   std::int32_t signatureLength, char* signerUID,
                                   bool checkValidity) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != 0) return r;
  if (data == nullptr || length < 1 || signature == nullptr) return kNullPointer;
  OperationSettings s;
  if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
  s.checkValidity = checkValidity;
  if (signerUID == nullptr) return kNullPointer;
  try {
    return WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
      return dll.VerifyBuffer(CallSettings(s, uid), data, length,
                              static_cast<const std::uint8_t*>(signature), signatureLength,
                              signerUID);
    });
  } catch (const std::exception& e) {
    RecordException("VerifyData ", e);
    return kEngineException;
  }
}

std::int32_t TCcom22Engine::VerifyData(const void* data, std::int32_t length, const void* signature,
                                       std::int32_t signatureLength, char* signerUID) {
  return Verify(data, length, signature, signatureLength, signerUID,
                ParamFlag(ParamValue(kParamVerifyValidity)));
}

std::int32_t TCcom22Engine::VerifySignWOCheckValidity(const void* data, std::int32_t length,
                                                      const void* signature,
                                                      std::int32_t signatureLength,
                                                      char* signerUID) {
  return Verify(data, length, signature, signatureLength, signerUID, false);
}

std::int32_t TCcom22Engine::AddSign(void* data, std::int32_t* size, const char* signerUID) {
  const std::string& hash = ParamValue(kParamHashAlgorithm);
  if (hash.size() >= 6) return kBadHashAlgorithm;
  if (data == nullptr || size == nullptr) return kNullPointer;
  const std::int32_t length = *size;
  std::vector<std::uint8_t> block(static_cast<std::size_t>(GetMaxSignatureLength()));
  std::int32_t signatureLength = static_cast<std::int32_t>(block.size());
  if (const std::int32_t r = SignData(data, length, block.data(), &signatureLength, signerUID);
      r != 0)
    return r;
  if (signatureLength < 0 || static_cast<std::size_t>(signatureLength) > block.size() ||
      std::int64_t{length} + signatureLength + kAppendedTrailer >
          std::numeric_limits<std::int32_t>::max())
    return kBadLength;
  auto* out = static_cast<std::uint8_t*>(data) + length;
  std::memcpy(out, block.data(), static_cast<std::size_t>(signatureLength));
  WriteInt32LE(out + signatureLength, length);
  std::memcpy(out + signatureLength + 4, hash.c_str(), hash.size() + 1);
  *size = length + signatureLength + kAppendedTrailer;
  return kOk;
}

std::int32_t TCcom22Engine::RemoveSign(void* data, std::int32_t* size, char* signerUID) {
  if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
  const std::int32_t total = *size;
  // A buffer shorter than the trailer cannot carry one (and must not be read before its start).
  if (total < kAppendedTrailer) return kNoSignature;
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  const std::int32_t length =
      *ReadInt32LE(std::span<const std::uint8_t>(bytes, static_cast<std::size_t>(total)),
                   total - kAppendedTrailer);
  if (length <= 0 || std::int64_t{length} + kAppendedTrailer >= total) return kNoSignature;
  const std::int32_t result =
      VerifyData(bytes, length, bytes + length, total - length - kAppendedTrailer, signerUID);
  *size = length;
  return result;
}

// ---- encryption ----

std::int32_t TCcom22Engine::EncodeData(void* data, std::int32_t* size, const char* recipients) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != 0) return r;
  if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
  try {
    const std::string text = recipients != nullptr && *recipients != '\0'
                                 ? std::string(recipients)
                                 : ParamValue(kParamEncryptForUID);
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    if (text.find(';') != std::string::npos) {
      std::vector<std::string> list;
      SplitBySemicolon(text.c_str(), list);
      return EncodeDataForUsers(data, size, list);
    }
    std::int32_t length = *size;
    const std::int32_t result = WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
      return dll.EncryptBuffer(CallSettings(s, uid), text, static_cast<std::uint8_t*>(data),
                               length);
    });
    *size = length;
    return result;
  } catch (const std::exception& e) {
    RecordException("EncodeData ", e);
    return kEngineException;
  }
}

std::int32_t TCcom22Engine::EncodeDataForUsers(void* data, std::int32_t* size,
                                               const std::vector<std::string>& recipients) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != 0) return r;
  const auto count = static_cast<std::int64_t>(recipients.size());
  if (count < 2) return kBadParameters;
  if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
  // Every UID must fit its field with its terminator.
  for (const std::string& recipient : recipients) {
    if (recipient.size() >= static_cast<std::size_t>(kRecipientFieldSize)) return kBadLength;
  }
  try {
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    const std::int64_t headSize = ContainerHead(count);
    if (headSize > std::numeric_limits<std::int32_t>::max()) return kNullPointer;

    // The payload is enciphered from the host's data into a block of our own, so that the data
    // stays as it was until the whole container is ready.
    const std::int32_t length = *size;
    const std::span<const std::uint8_t> plain(static_cast<const std::uint8_t*>(data),
                                              static_cast<std::size_t>(length));
    std::vector<std::uint8_t> payload;
    SecretBytes sessionKey(kSessionKeySize);
    if (const std::int32_t r = WithPreparedLibrary(s, uid,
                                                   [&](TCComDLL& dll) {
                                                     return dll.EncryptWithRandomKey(
                                                         CallSettings(s, uid), plain, payload,
                                                         sessionKey.data());
                                                   });
        r != 0)
      return r;

    std::vector<std::uint8_t> head(static_cast<std::size_t>(headSize), 0);
    WriteInt32LE(head.data(), kContainerMarker);
    WriteInt32LE(head.data() + 4, static_cast<std::int32_t>(count));
    for (std::size_t i = 0; i < recipients.size(); ++i)
      std::memcpy(head.data() + 8 + i * kRecipientFieldSize, recipients[i].data(),
                  recipients[i].size());

    BufferCallSettings slotSettings = CallSettings(s, uid);
    slotSettings.cipher = kSlotCipher;
    // The binding writes its block over the work area: room for the key and the largest addition.
    SecretBytes work(static_cast<std::size_t>(kSessionKeySize + GetMaxEncodeAddition()));
    for (std::size_t i = 0; i < recipients.size(); ++i) {
      std::memcpy(work.data(), sessionKey.data(), kSessionKeySize);
      std::int32_t workLength = kSessionKeySize;
      if (const std::int32_t r = WithPreparedLibrary(
              s, uid,
              [&](TCComDLL& dll) {
                return dll.EncryptBuffer(slotSettings, recipients[i], work.data(), workLength);
              });
          r != 0)
        return r;
      if (workLength > kMaxSlotKey || workLength < 0) return kEngineOutOfMemory;
      std::uint8_t* slot = head.data() + 8 + count * kRecipientFieldSize + i * kKeySlotSize;
      WriteInt32LE(slot, workLength);
      std::memcpy(slot + 4, work.data(), static_cast<std::size_t>(workLength));
    }

    const std::int64_t total = headSize + static_cast<std::int64_t>(payload.size());
    if (total > std::numeric_limits<std::int32_t>::max()) return kNullPointer;
    auto* out = static_cast<std::uint8_t*>(data);
    std::memcpy(out, head.data(), head.size());
    std::memcpy(out + head.size(), payload.data(), payload.size());
    *size = static_cast<std::int32_t>(total);
    return kOk;
  } catch (const std::exception& e) {
    RecordException("EncodeDataForUsers ", e);
    return kEngineException;
  }
}

std::int32_t TCcom22Engine::DecodeData(void* data, std::int32_t* size, void*) {
  std::string uid;
  if (const std::int32_t r = StandardStart(uid); r != 0) return r;
  if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
  try {
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    auto* bytes = static_cast<std::uint8_t*>(data);
    const std::int32_t total = *size;
    const std::span<const std::uint8_t> in(bytes, static_cast<std::size_t>(total));

    if (ReadInt32LE(in, 0).value_or(0) != kContainerMarker) {
      std::int32_t length = total;
      const std::int32_t result = WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
        return dll.DecryptBuffer(CallSettings(s, uid), bytes, length);
      });
      *size = length;
      return result;
    }

    // A container: its head must lie inside the given length before any part of it is used.
    const auto count = ReadInt32LE(in, 4);
    if (!count || *count < 1) return kBadEncryptedData;
    const std::int64_t headSize = ContainerHead(*count);
    if (headSize > total) return kBadEncryptedData;
    std::int64_t found = -1;
    for (std::int64_t i = 0; i < *count && found < 0; ++i) {
      const char* field = reinterpret_cast<const char*>(bytes + 8 + i * kRecipientFieldSize);
      const std::size_t n = ::strnlen(field, kRecipientFieldSize);
      if (n < static_cast<std::size_t>(kRecipientFieldSize) && uid == std::string_view(field, n))
        found = i;
    }
    if (found < 0) return kVendorCannotDecrypt;
    const std::size_t slot =
        static_cast<std::size_t>(8 + *count * kRecipientFieldSize + found * kKeySlotSize);
    const std::int32_t keyLength = *ReadInt32LE(in, slot);
    if (keyLength < 0 || keyLength > kMaxSlotKey) return kBadEncryptedData;

    // The session key is deciphered in a copy: it never appears in clear in the host's buffer.
    SecretBytes key(kMaxSlotKey);
    std::memcpy(key.data(), bytes + slot + 4, static_cast<std::size_t>(keyLength));
    std::int32_t plainKeyLength = keyLength;
    BufferCallSettings slotSettings = CallSettings(s, uid);
    slotSettings.cipher = kSlotCipher;
    if (const std::int32_t r = WithPreparedLibrary(s, uid,
                                                   [&](TCComDLL& dll) {
                                                     return dll.DecryptBuffer(
                                                         slotSettings, key.data(), plainKeyLength);
                                                   });
        r != 0)
      return r;
    if (plainKeyLength != kSessionKeySize) return kBadEncryptedData;

    // The payload is deciphered where it lies (the binding writes only on success), then moved
    // to the start of the buffer.
    std::int32_t payloadLength = static_cast<std::int32_t>(total - headSize);
    std::uint8_t* payload = bytes + headSize;
    if (const std::int32_t r = WithPreparedLibrary(
            s, uid,
            [&](TCComDLL& dll) {
              return dll.DecryptWithKey(CallSettings(s, uid), payload, payloadLength, key.data());
            });
        r != 0)
      return r;
    std::memmove(bytes, payload, static_cast<std::size_t>(payloadLength));
    *size = payloadLength;
    return kOk;
  } catch (const std::exception& e) {
    RecordException("DecodeData ", e);
    return kEngineException;
  }
}

}  // namespace vornak2
