// The engine's data operations: detached and appended signatures, and encryption for one
// recipient (the binding's certificate-enciphered block) or several (a container: the data under
// a fresh session key, and that key enciphered with "28147-ECB" for every recipient). The layouts
// themselves are in layouts/layouts.h. A failed operation leaves the host's length as it was, and
// its buffer too, except where the library refused data while deciphering them: the plaintext it
// had given is wiped then.
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
    // The session key is drawn first and enciphered for every recipient (where nearly every
    // failure happens); then the data are enciphered in the host's buffer, behind the head's
    // place, so that the container needs no memory beyond the host's buffer.
    SecretBytes sessionKey(kSessionKeySize);
    if (const std::int32_t r = WithPreparedLibrary(
            s, uid, [&](TCComDLL& dll) { return dll.NewSessionKey(call, sessionKey.data()); });
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

    // The container stays within the room announced for this many recipients
    // (GetMaxAdditionEx), and its head is written once the payload stands behind its place.
    const std::vector<Bytes> keyViews(keys.begin(), keys.end());
    const std::uint64_t room = std::min<std::uint64_t>(
        std::uint64_t{static_cast<std::uint32_t>(length)} + layouts::kMaxEncodeAddition +
            layouts::kPerRecipient * recipients.size(),
        std::numeric_limits<std::int32_t>::max());
    auto* bytes = static_cast<std::uint8_t*>(data);
    const MutableBytes out(bytes, static_cast<std::size_t>(room));
    const auto head = static_cast<std::size_t>(layouts::ContainerHeadSize(recipients.size()));
    std::size_t blockLength = 0;
    if (const std::int32_t r = WithPreparedLibrary(
            s, uid,
            [&](TCComDLL& dll) {
              return dll.EncryptInPlaceWithKey(call, out, static_cast<std::size_t>(length), head,
                                               sessionKey.data(), blockLength);
            });
        r != 0)
      return r;
    const auto written = layouts::WriteContainerHead(out, recipients, keyViews, blockLength);
    if (!written) return kBadLength;  // cannot happen: every size was checked above
    *size = static_cast<std::int32_t>(*written + blockLength);
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

    // A container: its head must lie inside the given length before any part of it is used, and
    // be as it was written (the library's seal covers this reader's slot and the payload, not
    // the bytes between them that carry no meaning).
    const auto container = layouts::ReadContainer(in);
    if (!container || !layouts::HeadIsCanonical(*container)) return kBadEncryptedData;
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

    // The payload is deciphered where it lies in the host's buffer, then moved to the start of the
    // buffer. Should the library refuse it, the binding wipes what it deciphered; the head stays.
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
