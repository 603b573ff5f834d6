// The engine's data operations: detached and appended signatures, and encryption for one
// recipient (the binding's certificate-enciphered block) or several (a container: the data under
// a fresh session key, and that key enciphered with "28147-ECB" for every recipient). The layouts
// themselves are in layouts/layouts.h. A failed operation leaves the host's buffer and length as
// they were.
#include <array>
#include <cstring>
#include <limits>
#include <mutex>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "layouts/layouts.h"
#include "support/files.h"
#include "support/secure.h"

namespace vornak2 {
namespace {

using layouts::Bytes;
using layouts::MutableBytes;

constexpr const char* kSlotCipher = "28147-ECB";

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

}  // namespace

template <typename Call>
std::int32_t TCcom22Engine::WithPreparedLibrary(const OperationSettings& s, const std::string& uid,
                                                Call&& call) {
  LibraryGuard lock(LibraryWork::Data, *binding_);
  const std::int32_t prepared =
      binding_->PrepareKeyCache(uid, s.certFile, s.publicPath, s.secretPath, s.randomFile,
                                s.hardwareRandom, s.keyRequestTimeout, s.lastOperationTimeout);
  if (prepared != 0) return prepared;
  return call(*binding_);
}

// ---- signatures ----

std::int32_t TCcom22Engine::SignData(const void* data, std::int32_t length, void* signature,
                                     std::int32_t* signatureLength, const char* signerUID) {
  return Guarded("SignData ", [&]() -> std::int32_t {
    std::string uid;
    if (const std::int32_t r = StandardStart(uid); r != 0) return r;
    if (data == nullptr || length < 1 || signature == nullptr || signatureLength == nullptr)
      return kNullPointer;
    // This engine signs with the current user's key only. Another UID as signer would label the
    // signature with that UID and file the current certificate under it in the shared key-file
    // cache, so it is refused before anything is cached or written.
    if (signerUID != nullptr && *signerUID != '\0' && uid != signerUID) return kBadUid;
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    std::int32_t produced = *signatureLength;
    const std::int32_t result = WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
      return dll.SignBuffer(CallSettings(s, uid), data, length,
                            static_cast<std::uint8_t*>(signature), produced);
    });
    *signatureLength = produced;
    return result;
  });
}

std::int32_t TCcom22Engine::Verify(const void* data, std::int32_t length, const void* signature,
                                   std::int32_t signatureLength, char* signerUID,
                                   bool checkValidity) {
  return Guarded("VerifyData ", [&]() -> std::int32_t {
    std::string uid;
    if (const std::int32_t r = StandardStart(uid); r != 0) return r;
    if (data == nullptr || length < 1 || signature == nullptr) return kNullPointer;
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    s.checkValidity = checkValidity;
    if (signerUID == nullptr) return kNullPointer;
    return WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
      return dll.VerifyBuffer(CallSettings(s, uid), data, length,
                              static_cast<const std::uint8_t*>(signature), signatureLength,
                              signerUID);
    });
  });
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
  if (length < 0) return kNullPointer;
  std::array<std::uint8_t, layouts::kMaxSignatureBlock> block{};
  std::int32_t signatureLength = static_cast<std::int32_t>(block.size());
  if (const std::int32_t r = SignData(data, length, block.data(), &signatureLength, signerUID);
      r != 0)
    return r;
  if (signatureLength < 0 || static_cast<std::size_t>(signatureLength) > block.size())
    return kBadLength;
  // The host reserved the data's length plus the announced addition; nothing goes beyond it.
  const MutableBytes room(static_cast<std::uint8_t*>(data),
                          static_cast<std::size_t>(length) + layouts::kMaxSignAddition);
  const auto total = layouts::AppendSignature(
      room, static_cast<std::size_t>(length),
      Bytes(block.data(), static_cast<std::size_t>(signatureLength)), hash);
  if (!total) return kBadLength;
  *size = static_cast<std::int32_t>(*total);
  return kOk;
}

std::int32_t TCcom22Engine::RemoveSign(void* data, std::int32_t* size, char* signerUID) {
  if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
  const auto appended = layouts::ReadAppendedSignature(
      Bytes(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(*size)));
  if (!appended) return kNoSignature;
  const auto length = static_cast<std::int32_t>(appended->data.size());
  const std::int32_t result =
      VerifyData(appended->data.data(), length, appended->signatureBlock.data(),
                 static_cast<std::int32_t>(appended->signatureBlock.size()), signerUID);
  *size = length;
  return result;
}

// ---- encryption ----

std::int32_t TCcom22Engine::EncodeData(void* data, std::int32_t* size, const char* recipients) {
  return Guarded("EncodeData ", [&]() -> std::int32_t {
    std::string uid;
    if (const std::int32_t r = StandardStart(uid); r != 0) return r;
    if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
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
  });
}

std::int32_t TCcom22Engine::EncodeDataForUsers(void* data, std::int32_t* size,
                                               const std::vector<std::string>& recipients) {
  return Guarded("EncodeDataForUsers ", [&]() -> std::int32_t {
    std::string uid;
    if (const std::int32_t r = StandardStart(uid); r != 0) return r;
    const auto count = static_cast<std::int64_t>(recipients.size());
    if (count < 2) return kBadParameters;
    if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
    // Every UID must fit its field with its terminator.
    for (const std::string& recipient : recipients) {
      if (recipient.size() >= layouts::kRecipientFieldSize) return kBadLength;
    }
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    if (layouts::ContainerHeadSize(recipients.size()) >
        static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()))
      return kNullPointer;

    const std::int32_t length = *size;
    const BufferCallSettings call = CallSettings(s, uid);
    // The library's stream cipher works where the data lie: the session key is drawn first and
    // enciphered for every recipient (where nearly every failure happens), then the data are
    // enciphered in place and moved behind the head, so that the container needs no memory
    // beyond the host's buffer. Another cipher enciphers into a block of our own first.
    const bool inPlace = TCComDLL::CiphersInPlace(call);
    std::vector<std::uint8_t> payload;
    SecretBytes sessionKey(kSessionKeySize);
    if (const std::int32_t r = WithPreparedLibrary(
            s, uid,
            [&](TCComDLL& dll) {
              if (inPlace) return dll.NewSessionKey(call, sessionKey.data());
              const std::span<const std::uint8_t> plain(static_cast<const std::uint8_t*>(data),
                                                        static_cast<std::size_t>(length));
              return dll.EncryptWithRandomKey(call, plain, payload, sessionKey.data());
            });
        r != 0)
      return r;

    BufferCallSettings slotSettings = call;
    slotSettings.cipher = kSlotCipher;
    // The binding writes its block over the work area: room for the key and the largest addition.
    SecretBytes work(kSessionKeySize + layouts::kMaxEncodeAddition);
    std::vector<std::vector<std::uint8_t>> keys(recipients.size());
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
      if (workLength < 0 || static_cast<std::size_t>(workLength) > layouts::kMaxSlotKey)
        return kEngineOutOfMemory;
      keys[i].assign(work.data(), work.data() + workLength);
    }

    // The container goes over the host's data only once it is complete, and only within the room
    // announced for this many recipients (GetMaxAdditionEx).
    const std::vector<Bytes> keyViews(keys.begin(), keys.end());
    const std::uint64_t room = std::min<std::uint64_t>(
        std::uint64_t{static_cast<std::uint32_t>(length)} + layouts::kMaxEncodeAddition +
            layouts::kPerRecipient * recipients.size(),
        std::numeric_limits<std::int32_t>::max());
    auto* bytes = static_cast<std::uint8_t*>(data);
    const MutableBytes out(bytes, room);
    if (!inPlace) {
      const auto total = layouts::WriteContainer(out, recipients, keyViews, payload);
      if (!total) return kBadLength;
      *size = static_cast<std::int32_t>(*total);
      return kOk;
    }
    const auto plainLength = static_cast<std::size_t>(length);
    const std::uint64_t head = layouts::ContainerHeadSize(recipients.size());
    const std::uint64_t blockSize = layouts::KeyBlockSize(plainLength);
    if (head + blockSize > room) return kBadLength;
    std::uint8_t iv[layouts::kIvSize] = {};
    if (const std::int32_t r = WithPreparedLibrary(
            s, uid,
            [&](TCComDLL& dll) {
              return dll.EncryptInPlaceWithKey(call, bytes, plainLength, sessionKey.data(), iv);
            });
        r != 0)
      return r;
    // Nothing fails from here on: every size was checked above.
    const std::size_t blockAt = static_cast<std::size_t>(head);
    std::memmove(bytes + blockAt + layouts::kKeyBlockHeader, bytes, plainLength);
    const auto block = layouts::FinishKeyBlock(
        out.subspan(blockAt, static_cast<std::size_t>(blockSize)), plainLength, Bytes(iv));
    const auto written = layouts::WriteContainerHead(out, recipients, keyViews, blockSize);
    if (!block || !written) return kBadLength;
    *size = static_cast<std::int32_t>(head + *block);
    return kOk;
  });
}

std::int32_t TCcom22Engine::DecodeData(void* data, std::int32_t* size, void*) {
  return Guarded("DecodeData ", [&]() -> std::int32_t {
    std::string uid;
    if (const std::int32_t r = StandardStart(uid); r != 0) return r;
    if (data == nullptr || size == nullptr || *size < 1) return kNullPointer;
    OperationSettings s;
    if (const std::int32_t r = ReadOperationSettings(s); r != 0) return r;
    auto* bytes = static_cast<std::uint8_t*>(data);
    const std::int32_t total = *size;
    const Bytes in(bytes, static_cast<std::size_t>(total));

    if (!layouts::IsContainer(in)) {
      std::int32_t length = total;
      const std::int32_t result = WithPreparedLibrary(s, uid, [&](TCComDLL& dll) {
        return dll.DecryptBuffer(CallSettings(s, uid), bytes, length);
      });
      *size = length;
      return result;
    }

    // A container: its head must lie inside the given length before any part of it is used.
    const auto container = layouts::ReadContainer(in);
    if (!container) return kBadEncryptedData;
    const auto found = layouts::FindRecipient(*container, uid);
    if (!found) return kVendorCannotDecrypt;
    const auto slotKey = layouts::ReadKeySlot(*container, *found);
    if (!slotKey) return kBadEncryptedData;

    // The session key is deciphered in a copy: it never appears in clear in the host's buffer.
    SecretBytes key(layouts::kMaxSlotKey);
    std::memcpy(key.data(), slotKey->data(), slotKey->size());
    std::int32_t plainKeyLength = static_cast<std::int32_t>(slotKey->size());
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

    // The payload is deciphered where it lies in the host's buffer (the binding writes only on
    // success), then moved to the start of the buffer.
    std::int32_t payloadLength = static_cast<std::int32_t>(container->payload.size());
    auto* payload = const_cast<std::uint8_t*>(container->payload.data());
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
  });
}

}  // namespace vornak2
