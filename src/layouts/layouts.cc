#include "layouts/layouts.h"

#include <algorithm>
#include <cstring>

#include "support/cursor.h"

namespace vornak2::layouts {
namespace {

// Whether `a + b + c + header` equals `size`, computed without overflow.
bool Fills(std::size_t header, std::size_t a, std::size_t b, std::size_t c, std::size_t size) {
  return std::uint64_t{header} + a + b + c == size;
}

std::optional<EncipheredBlockView> ReadBlock(Bytes block, bool withKeyNumber) {
  ByteReader r(block);
  EncipheredBlockView v;
  std::size_t c = 0, k = 0, i = 0;
  if (withKeyNumber && !r.ReadInt32(v.keyNumber)) return std::nullopt;
  if (!r.ReadLength(c) || !r.ReadLength(k) || !r.ReadLength(i)) return std::nullopt;
  if (!Fills(block.size() - r.remaining(), c, k, i, block.size())) return std::nullopt;
  if (!r.ReadBytes(c, v.data) || !r.ReadBytes(k, v.key) || !r.ReadBytes(i, v.iv))
    return std::nullopt;
  return v;
}

std::optional<std::size_t> WriteBlock(MutableBytes out, const std::int32_t* keyNumber, Bytes data,
                                      Bytes key, Bytes iv) {
  const std::size_t header = keyNumber != nullptr ? kCertBlockHeader : kKeyBlockHeader;
  const std::uint64_t total = std::uint64_t{header} + data.size() + key.size() + iv.size();
  if (total > out.size() || total > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
  ByteWriter w(out);
  if (keyNumber != nullptr && !w.WriteInt32(*keyNumber)) return std::nullopt;
  if (!w.WriteLength(data.size()) || !w.WriteLength(key.size()) || !w.WriteLength(iv.size()) ||
      !w.WriteBytes(data) || !w.WriteBytes(key) || !w.WriteBytes(iv))
    return std::nullopt;
  return w.written();
}

}  // namespace

// ---- signature block ----

std::optional<UidField> MakeUidField(std::string_view uid) {
  UidField field{};
  ByteWriter w(field);
  if (!w.WriteTextField(uid, kUidFieldSize)) return std::nullopt;
  return field;
}

std::optional<std::string_view> ReadSignerUid(Bytes block) {
  ByteReader r(block);
  std::string_view uid;
  if (!r.ReadTextField(kUidFieldSize, uid)) return std::nullopt;
  return uid;
}

std::optional<SignatureBlockView> ReadSignatureBlock(Bytes block) {
  ByteReader r(block);
  SignatureBlockView v;
  ByteReader field;
  if (!r.ReadReader(kUidFieldSize, field) || r.remaining() == 0) return std::nullopt;
  v.uidField = field.rest();
  if (!field.ReadTextField(kUidFieldSize, v.signerUid)) return std::nullopt;
  if (!r.ReadBytes(std::min(r.remaining(), kMaxLibrarySignature), v.signature)) return std::nullopt;
  return v;
}

std::optional<std::size_t> WriteSignatureBlock(MutableBytes out, const UidField& uidField,
                                               Bytes signature) {
  if (signature.empty() || signature.size() > kMaxLibrarySignature ||
      kUidFieldSize + signature.size() > out.size())
    return std::nullopt;
  ByteWriter w(out);
  if (!w.WriteBytes(uidField) || !w.WriteBytes(signature)) return std::nullopt;
  return w.written();
}

// ---- appended signature ----

std::optional<AppendedSignatureView> ReadAppendedSignature(Bytes whole) {
  if (whole.size() < kAppendedTrailerSize) return std::nullopt;
  ByteReader trailer(whole.last(kAppendedTrailerSize));
  std::int32_t n = 0;
  if (!trailer.ReadInt32(n) || n <= 0) return std::nullopt;
  const auto dataLength = static_cast<std::size_t>(n);
  if (std::uint64_t{dataLength} + kAppendedTrailerSize >= whole.size()) return std::nullopt;
  ByteReader r(whole);
  AppendedSignatureView v;
  if (!r.ReadBytes(dataLength, v.data) ||
      !r.ReadBytes(whole.size() - dataLength - kAppendedTrailerSize, v.signatureBlock))
    return std::nullopt;
  return v;
}

std::optional<std::size_t> AppendSignature(MutableBytes out, std::size_t dataLength,
                                           Bytes signatureBlock, std::string_view hashName) {
  if (hashName.size() >= kHashFieldSize || signatureBlock.size() > kMaxSignatureBlock ||
      dataLength > static_cast<std::size_t>(INT32_MAX))
    return std::nullopt;
  const std::uint64_t total =
      std::uint64_t{dataLength} + signatureBlock.size() + kAppendedTrailerSize;
  if (total > out.size() || total > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
  ByteWriter w(out.subspan(dataLength));
  if (!w.WriteBytes(signatureBlock) || !w.WriteLength(dataLength) || !w.WriteText(hashName))
    return std::nullopt;
  return static_cast<std::size_t>(total);
}

// ---- enciphered blocks ----

std::optional<EncipheredBlockView> ReadCertBlock(Bytes block) {
  return ReadBlock(block, true);
}

std::optional<EncipheredBlockView> ReadKeyBlock(Bytes block) {
  return ReadBlock(block, false);
}

std::optional<std::size_t> WriteCertBlock(MutableBytes out, std::int32_t keyNumber, Bytes data,
                                          Bytes key, Bytes iv) {
  return WriteBlock(out, &keyNumber, data, key, iv);
}

std::optional<std::size_t> WriteKeyBlock(MutableBytes out, Bytes data, Bytes iv) {
  return WriteBlock(out, nullptr, data, {}, iv);
}

MutableBytes KeyBlockDataArea(MutableBytes out) {
  return out.size() < KeyBlockSize(0) ? MutableBytes()
                                      : out.subspan(kKeyBlockHeader, out.size() - KeyBlockSize(0));
}

namespace {

// Writes a block's header, key and vector around `dataLength` bytes already in place.
std::optional<std::size_t> FinishBlock(MutableBytes out, const std::int32_t* keyNumber,
                                       std::size_t dataLength, Bytes key, Bytes iv) {
  const std::size_t header = keyNumber != nullptr ? kCertBlockHeader : kKeyBlockHeader;
  const std::uint64_t total = std::uint64_t{header} + dataLength + key.size() + iv.size();
  if (iv.size() > kIvSize || total > out.size() || total > static_cast<std::uint64_t>(INT32_MAX))
    return std::nullopt;
  ByteWriter w(out);
  std::span<std::uint8_t> enciphered;
  if ((keyNumber != nullptr && !w.WriteInt32(*keyNumber)) || !w.WriteLength(dataLength) ||
      !w.WriteLength(key.size()) || !w.WriteLength(iv.size()) || !w.Claim(dataLength, enciphered) ||
      !w.WriteBytes(key) || !w.WriteBytes(iv))
    return std::nullopt;
  return w.written();
}

}  // namespace

std::optional<std::size_t> FinishKeyBlock(MutableBytes out, std::size_t dataLength, Bytes iv) {
  if (dataLength > KeyBlockDataArea(out).size()) return std::nullopt;
  return FinishBlock(out, nullptr, dataLength, {}, iv);
}

std::optional<std::size_t> FinishCertBlock(MutableBytes out, std::int32_t keyNumber,
                                           std::size_t dataLength, Bytes key, Bytes iv) {
  return FinishBlock(out, &keyNumber, dataLength, key, iv);
}

// ---- multi-recipient container ----

bool IsContainer(Bytes bytes) {
  ByteReader r(bytes);
  std::int32_t marker = 0;
  return r.ReadInt32(marker) && marker == kContainerMarker;
}

std::optional<ContainerView> ReadContainer(Bytes bytes) {
  ByteReader r(bytes);
  std::int32_t marker = 0;
  std::int32_t n = 0;
  if (!r.ReadInt32(marker) || marker != kContainerMarker || !r.ReadInt32(n) || n < 1)
    return std::nullopt;
  ContainerView v;
  v.recipients = static_cast<std::size_t>(n);
  if (ContainerHeadSize(v.recipients) > bytes.size()) return std::nullopt;
  if (!r.ReadBytes(kRecipientFieldSize * v.recipients, v.fields) ||
      !r.ReadBytes(kKeySlotSize * v.recipients, v.slots))
    return std::nullopt;
  v.payload = r.rest();
  return v;
}

std::optional<std::size_t> FindRecipient(const ContainerView& c, std::string_view uid) {
  ByteReader r(c.fields);
  for (std::size_t i = 0; i < c.recipients; ++i) {
    std::span<const std::uint8_t> field;
    if (!r.ReadBytes(kRecipientFieldSize, field)) return std::nullopt;
    // A field without a zero names nobody.
    std::string_view text;
    ByteReader fieldReader(field);
    if (fieldReader.ReadTextField(kRecipientFieldSize, text) && text == uid) return i;
  }
  return std::nullopt;
}

std::optional<Bytes> ReadKeySlot(const ContainerView& c, std::size_t index) {
  if (index >= c.recipients) return std::nullopt;
  ByteReader r(c.slots);
  ByteReader slot;
  std::size_t length = 0;
  Bytes key;
  if (!r.Skip(index * kKeySlotSize) || !r.ReadReader(kKeySlotSize, slot) ||
      !slot.ReadLength(length) || length > kMaxSlotKey || !slot.ReadBytes(length, key))
    return std::nullopt;
  return key;
}

namespace {

bool AllZero(Bytes bytes) {
  return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

}  // namespace

bool HeadIsCanonical(const ContainerView& c) {
  ByteReader fields(c.fields);
  for (std::size_t i = 0; i < c.recipients; ++i) {
    std::span<const std::uint8_t> field;
    std::string_view uid;
    if (!fields.ReadBytes(kRecipientFieldSize, field)) return false;
    ByteReader text(field);
    if (!text.ReadTextField(kRecipientFieldSize, uid) || !AllZero(field.subspan(uid.size())))
      return false;
    const auto key = ReadKeySlot(c, i);
    if (!key) return false;
    const Bytes slot = c.slots.subspan(i * kKeySlotSize, kKeySlotSize);
    if (!AllZero(slot.subspan(4 + key->size()))) return false;
  }
  return true;
}

std::optional<std::size_t> WriteContainerHead(MutableBytes out,
                                              const std::vector<std::string>& recipients,
                                              const std::vector<Bytes>& keys,
                                              std::uint64_t payloadSize) {
  const std::size_t n = recipients.size();
  if (n == 0 || keys.size() != n || n > static_cast<std::size_t>(INT32_MAX)) return std::nullopt;
  for (std::size_t i = 0; i < n; ++i) {
    if (recipients[i].size() >= kRecipientFieldSize || keys[i].size() > kMaxSlotKey)
      return std::nullopt;
  }
  const std::uint64_t head = ContainerHeadSize(n);
  if (payloadSize > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
  const std::uint64_t total = head + payloadSize;
  if (total > out.size() || total > static_cast<std::uint64_t>(INT32_MAX)) return std::nullopt;
  ByteWriter w(out.first(static_cast<std::size_t>(head)));
  bool ok = w.WriteInt32(kContainerMarker) && w.WriteLength(n);
  for (std::size_t i = 0; ok && i < n; ++i)
    ok = w.WriteTextField(recipients[i], kRecipientFieldSize);
  for (std::size_t i = 0; ok && i < n; ++i) {
    ok = w.WriteLength(keys[i].size()) && w.WriteBytes(keys[i]) &&
         w.WriteZeros(kMaxSlotKey - keys[i].size());
  }
  if (!ok) return std::nullopt;
  return w.written();
}

std::optional<std::size_t> WriteContainer(MutableBytes out,
                                          const std::vector<std::string>& recipients,
                                          const std::vector<Bytes>& keys, Bytes payload) {
  const auto head = WriteContainerHead(out, recipients, keys, payload.size());
  if (!head) return std::nullopt;
  if (!payload.empty()) std::memcpy(out.data() + *head, payload.data(), payload.size());
  return *head + payload.size();
}

// ---- public-key transfer block ----

std::optional<PublicKeyBlockView> ReadPublicKeyBlock(Bytes block) {
  if (block.size() != kPublicKeyTransferBlockSize) return std::nullopt;
  ByteReader r(block);
  PublicKeyBlockView v;
  std::size_t dataSize = 0;
  // Each text field holds up to 255 characters and its zero, anywhere within its 256 bytes.
  if (!r.ReadTextField(kTransferTextField, v.uid) ||
      !r.ReadTextField(kTransferTextField, v.fileName) || !r.ReadLength(dataSize) ||
      dataSize > kMaxCarriedFile || !r.ReadBytes(dataSize, v.data))
    return std::nullopt;
  return v;
}

std::optional<std::size_t> WritePublicKeyBlock(MutableBytes out, std::string_view uid,
                                               std::string_view fileName, Bytes data) {
  if (out.size() < kPublicKeyTransferBlockSize || uid.size() >= kTransferTextField ||
      fileName.size() >= kTransferTextField || data.size() > kMaxCarriedFile)
    return std::nullopt;
  ByteWriter w(out.first(kPublicKeyTransferBlockSize));
  if (!w.WriteTextField(uid, kTransferTextField) ||
      !w.WriteTextField(fileName, kTransferTextField) || !w.WriteLength(data.size()) ||
      !w.WriteBytes(data) || !w.WriteZeros(kCarriedDataField - data.size()))
    return std::nullopt;
  return w.written();
}

std::optional<SignedTransferView> ReadSignedTransfer(Bytes signedBlock) {
  const auto appended = ReadAppendedSignature(signedBlock);
  if (!appended) return std::nullopt;
  const auto block = ReadPublicKeyBlock(appended->data);
  const auto signature = ReadSignatureBlock(appended->signatureBlock);
  if (!block || !signature) return std::nullopt;
  return SignedTransferView{*block, *signature};
}

// ---- signed-data file ----

std::optional<std::size_t> WriteSignedData(MutableBytes out, Bytes data, Bytes signature,
                                           std::size_t signatureLength) {
  if (data.empty() || data.size() > static_cast<std::size_t>(INT32_MAX) ||
      (!signature.empty() && signature.size() != signatureLength) ||
      SignedDataSize(data.size(), signatureLength) > out.size())
    return std::nullopt;
  ByteWriter w(out);
  if (!w.WriteLength(data.size()) || !w.WriteBytes(data) ||
      !(signature.empty() ? w.WriteZeros(signatureLength) : w.WriteBytes(signature)))
    return std::nullopt;
  return w.written();
}

}  // namespace vornak2::layouts
