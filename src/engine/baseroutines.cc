// Routines that the base engine gives every engine: the two numbered-request dispatchers, the
// secret-key self-test, the engine-kind query, signed-data files, the hexadecimal "pure" signature
// text and the labelled encryption helpers.
#include <array>
#include <cstring>
#include <new>
#include <vector>

#include "engine/cryptobj.h"
#include "support/files.h"
#include "support/result_codes.h"

namespace vornak2 {
namespace {

constexpr char kSelfTestText[] = "Data for sign to check secret key ready";
constexpr std::int32_t kSelfTestLength = sizeof kSelfTestText - 1;  // no terminating zero

// Display names of engine kinds 1 to 26. Kind 7 is this library's engine; 1 and 21 share a name.
constexpr std::array<std::string_view, 26> kEngineKinds = {
    "Generic CSP/1.0",     "Vendor A Crypto/1.0", "Vendor A Crypto/2.0", "Vendor B Verba/4.0",
    "Vendor B Verba/5.0",  "Vendor C Signal/1.0", "Zureza VOZ/2.2",      "Vendor D Lanit/1.0",
    "Vendor E Krypton/3.0", "Vendor E Krypton/4.0", "Vendor F Domen/1.0",  "Vendor G Tumar/1.0",
    "Vendor H Agava/1.0",  "Vendor H Agava/2.0",  "Vendor I Bicrypt/1.0", "Vendor J Infotecs/1.0",
    "Vendor K Validata/1.0", "Vendor L Sign/1.0", "Vendor M Secure/1.0", "Vendor N Token/1.0",
    "Generic CSP/1.0",     "Vendor O Pki/1.0",    "Vendor P Gost/1.0",   "Vendor Q Lissi/1.0",
    "Vendor R Jacarta/1.0", "Vendor S Rutoken/1.0"};

}  // namespace

std::string_view EngineKindName(std::int32_t code) noexcept {
  if (code < 1 || code > static_cast<std::int32_t>(kEngineKinds.size())) return {};
  return kEngineKinds[code - 1];
}

std::int32_t TCryptoEngine::IncludeByKind(std::int32_t kind, OpaqueArg a, void* x, void* y) {
  auto text = static_cast<const char*>(x);
  switch (kind) {
    case 1: return IncludeKind1(a, x, y);
    case 2: return IncludePublicKey(text);
    case 3: return IncludeKind3(a, x, y);
    case 4: return IncludePublicEncodeKey(reinterpret_cast<OpaqueArg>(x));
    case 5: return IncludeKind5(a, x, y);
    case 6: return IncludeKind6(a, x);
    case 7: return IncludePublicKeyTransfer(text);
    case 8: return IncludeCACertificateFromTransfer(text);
    case 9: return IncludeKind9(a, x, y);
    case 10: return IncludeCRL(reinterpret_cast<OpaqueArg>(x));
    case 11: return IncludeKind11(a, x, y);
    case 12: return IncludeKind12(a, x, y);
    case 13: return IncludeKind13(a, x, y);
    case 14: return IncludeKind14();
    case 15: return IncludeKind15(a, x);
    case 19: return IncludeKind19(a, x);
    default:
      return kNotProvided;
  }
}

std::int32_t TCryptoEngine::QueryByCode(std::int32_t code, void* input, std::int32_t extra, std::int32_t index,
                                        void* output, std::int32_t* size) {
  switch (code) {
    // (index, input, output, size)
    case 1: return QueryCode1(index, input, output, size);
    case 5: return QueryCode5(index, input, output, size);
    case 6: return QueryCode6(index, input, output, size);
    // (index, output, size)
    case 4: return QueryCode4(index, output, size);
    case 8: return QueryCode8(index, output, size);
    case 11: return QueryCode11(index, output, size);
    case 12: return QueryCode12(index, output, size);
    case 13: return QueryCode13(index, output, size);
    case 17: return QueryCode17(index, output, size);
    case 20: return CheckSecretKeyReady(index, output, size);
    case 21: return QueryCode21(index, output, size);
    // (index, input, extra, output, size)
    case 7: return QueryCode7(index, input, extra, output, size);
    case 9: return QueryCode9(index, input, extra, output, size);
    case 10: return QueryCode10(index, input, extra, output, size);
    case 14: return QueryCode14(index, input, extra, output, size);
    case 15: return QueryCode15(index, input, extra, output, size);
    case 16: return QueryCode16(index, input, extra, output, size);
    case 41: return QueryCode41(index, input, extra, output, size);
    // (code, input, extra, index, output, size)
    case 18: return QueryCode18(code, input, extra, index, output, size);
    case 35: return QueryCode35(code, input, extra, index, output, size);
    case 40: return QueryCode40(code, input, extra, index, output, size);
    case 45: return QueryCode45(code, input, extra, index, output, size);
    case 46: return QueryCode46(code, input, extra, index, output, size);
    case 47: return QueryCode47(code, input, extra, index, output, size);
    case 48: return QueryCode48(code, input, extra, index, output, size);
    case 49: return QueryCode49(code, input, extra, index, output, size);
    case 101:
    case 102:
    case 103: return QueryCode101To103(code, input, extra, index, output, size);
    case 201: return QueryCode201(code, input, extra, index, output, size);
    // (input, extra, index, output, size)
    case 19: return QueryCode19(input, extra, index, output, size);
    case 22: return QueryCode22(input, extra, index, output, size);
    case 24: return QueryCode24(input, extra, index, output, size);
    case 28: return QueryCode28(input, extra, index, output, size);
    case 29: return QueryCode29(input, extra, index, output, size);
    case 30: return QueryCode30(input, extra, index, output, size);
    case 31: return QueryCode31(input, extra, index, output, size);
    case 32: return QueryCode32(input, extra, index, output, size);
    case 42: return QueryCode42(input, extra, index, output, size);
    // (output, value of size)
    case 26:
      if (size == nullptr) throw EInvalidPointer("size");
      return QueryCode26(output, *size);
    case 27: {
      if (size == nullptr) throw EInvalidPointer("size");
      if (output == nullptr || *size < 4) {
        const bool query = output == nullptr;
        *size = 4;
        return query ? kOk : kNotProvided;
      }
      std::uint8_t flag = 0;
      const std::int32_t result = QueryEngineKind(std::string(EngineKindName(index + 1)), input, &flag);
      if (result == 0) {
        const std::int32_t value = flag ? 1 : 0;
        std::memcpy(output, &value, sizeof value);
      }
      return result;
    }
    default:
      return kNotProvided;
  }
}

std::int32_t TCryptoEngine::QueryEngineKind(const std::string&, void*, std::uint8_t* flag) {
  if (flag == nullptr) throw EInvalidPointer("flag");
  *flag = 0;
  return kNotProvided;
}

std::int32_t TCryptoEngine::CheckSecretKeyReady(std::int32_t, void* uidBuffer, std::int32_t* size) {
  if (size == nullptr) throw EInvalidPointer("size");
  char* uid = static_cast<char*>(uidBuffer);
  // Without a buffer there is nothing to sign for or write into: answer the size query.
  if (uid == nullptr) {
    *size = GetMaxUIDLength();
    return kOk;
  }
  const std::int32_t maxSignature = GetMaxSignatureLength();
  if (maxSignature <= 0) return kNullPointer;
  std::vector<std::uint8_t> signature(static_cast<std::size_t>(maxSignature));
  std::int32_t signatureLength = maxSignature;
  std::int32_t result = SignData(kSelfTestText, kSelfTestLength, signature.data(), &signatureLength, uid);
  if (result != 0) return result;
  if (signatureLength < 0 || signatureLength > maxSignature) return kNullPointer;
  uid[0] = '\0';
  result = VerifyData(kSelfTestText, kSelfTestLength, signature.data(), signatureLength, uid);
  if (result == 0) *size = static_cast<std::int32_t>(std::strlen(uid));
  return result;
}

std::int32_t TCryptoEngine::SaveSignedDataToFile(const void* data, std::int32_t length, const void* signature,
                                                 std::int32_t signatureLength, const char* fileName) {
  if (fileName == nullptr || data == nullptr || length <= 0 || signatureLength < 0) return kOk;
  try {
    const std::size_t total = static_cast<std::size_t>(length) + static_cast<std::size_t>(signatureLength);
    if (total > static_cast<std::size_t>(INT32_MAX)) return kSaveSignedDataFailed;
    std::vector<std::uint8_t> buffer(total);
    std::memcpy(buffer.data(), data, static_cast<std::size_t>(length));
    if (signatureLength != 0 && signature != nullptr) {
      std::memcpy(buffer.data() + length, signature, static_cast<std::size_t>(signatureLength));
    }
    if (!WriteBufferToFile(ExpandRootPath(fileName), buffer.data(), static_cast<std::int32_t>(total))) {
      return kSaveSignedDataWriteFailed;
    }
    return kOk;
  } catch (...) {
    return kSaveSignedDataFailed;
  }
}

std::int32_t TCryptoEngine::GetPureSign(const void* data, std::int32_t length, std::int32_t, char* text,
                                        std::int32_t* size) {
  if (data == nullptr || length == 0) return kNotProvided;
  if (size == nullptr) throw EInvalidPointer("size");
  const std::string hex = HexDump(data, length, 255, 255);
  const std::int32_t capacity = *size;
  const auto needed = static_cast<std::int64_t>(hex.size()) + 1;
  if (needed > INT32_MAX) return kNotProvided;
  *size = static_cast<std::int32_t>(needed);
  if (text == nullptr) return kOk;
  if (needed > capacity) return kNotProvided;
  std::memcpy(text, hex.c_str(), static_cast<std::size_t>(needed));
  return kOk;
}

std::int32_t TCryptoEngine::EncodeAfterLabel(const char* label, void* buffer, std::int32_t* size,
                                             const char* recipients) {
  if (label == nullptr || buffer == nullptr || size == nullptr || *size < 0) return kNullPointer;
  const std::size_t prefix = std::strlen(label) + 1;
  if (prefix > static_cast<std::size_t>(INT32_MAX - *size)) return kNullPointer;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  std::memmove(bytes + prefix, bytes, static_cast<std::size_t>(*size));
  std::memcpy(bytes, label, prefix);
  std::int32_t encrypted = *size;
  const std::int32_t result = EncodeData(bytes + prefix, &encrypted, recipients);
  *size = static_cast<std::int32_t>(prefix) + encrypted;
  return result;
}

std::int32_t TCryptoEngine::DecodeAfterLabel(void* buffer, std::int32_t total, void** start, std::int32_t* size) {
  if (buffer == nullptr || start == nullptr || size == nullptr || total < 0) return kNullPointer;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  // The label must end inside the buffer; a missing terminator means the data is not ours.
  const void* end = std::memchr(bytes, 0, static_cast<std::size_t>(total));
  if (end == nullptr) return kBadEncryptedData;
  const auto prefix = static_cast<std::int32_t>(static_cast<const std::uint8_t*>(end) - bytes) + 1;
  *size = total - prefix;
  *start = bytes + prefix;
  std::array<char, 260> scratch{};
  return DecodeData(*start, size, scratch.data());
}

}  // namespace vornak2
