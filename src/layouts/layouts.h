// The byte layouts that the library hands to the host and takes back from it, each as a pair of
// small functions over the bounds-checked cursor: a reader that checks every length against the
// bytes it was given before any part is used, and a writer that writes into a buffer of known
// capacity and refuses a block that would not fit. All integers are signed 32-bit little-endian.
//
// No other code computes offsets into these layouts; the sizes below are the ones the engine
// announces to the host, so a writer given the announced room can never write past it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vornak2::layouts {

using Bytes = std::span<const std::uint8_t>;
using MutableBytes = std::span<std::uint8_t>;

// ---- signature block ----
//   0   32  signer UID field: the UID (at most 31 bytes), a zero, zero padding
//   32  n   the vendor library's signature, 1 to 512 bytes
inline constexpr std::size_t kUidFieldSize = 32;
inline constexpr std::size_t kMaxLibrarySignature = 512;
inline constexpr std::size_t kMaxSignatureBlock = kUidFieldSize + kMaxLibrarySignature;  // 544

using UidField = std::array<std::uint8_t, kUidFieldSize>;
// The UID field of `uid`; nullopt when the UID and its zero do not fit 32 bytes.
std::optional<UidField> MakeUidField(std::string_view uid);
// The signer UID at the start of a signature block; nullopt when the block is shorter than the
// field or the field holds no zero.
std::optional<std::string_view> ReadSignerUid(Bytes block);

// Where the signature of a block of unknown length starts (the vendor library finds its end by
// itself); only for blocks whose length the host did not give.
inline const std::uint8_t* UnboundedSignature(const std::uint8_t* block) {
  return block + kUidFieldSize;
}

struct SignatureBlockView {
  std::string_view signerUid;
  Bytes uidField;   // the 32 bytes that are signed together with the data
  Bytes signature;  // what follows the field, at most 512 bytes of it
};
// A signature block of known length: the field, then at least one signature byte.
std::optional<SignatureBlockView> ReadSignatureBlock(Bytes block);
// Writes the field and the signature into `out`; the block's length, or nullopt (nothing
// written) when the signature is empty or longer than 512 bytes or the block does not fit.
std::optional<std::size_t> WriteSignatureBlock(MutableBytes out, const UidField& uidField,
                                               Bytes signature);

// ---- appended signature ----
//   0      N  the data
//   N      S  the signature block
//   N+S    4  N
//   N+S+4  6  hash-algorithm field: the name (at most 5 bytes) and a zero; the bytes after the
//             zero are not written
inline constexpr std::size_t kHashFieldSize = 6;
inline constexpr std::size_t kAppendedTrailerSize = 4 + kHashFieldSize;                     // 10
inline constexpr std::size_t kMaxSignAddition = kMaxSignatureBlock + kAppendedTrailerSize;  // 554

struct AppendedSignatureView {
  Bytes data;
  Bytes signatureBlock;
};
// Data with an appended signature; nullopt when the trailer's length is not positive or leaves
// no room for a signature block.
std::optional<AppendedSignatureView> ReadAppendedSignature(Bytes whole);
// Writes the signature block and the trailer behind `dataLength` bytes of data in `out`, whose
// size is the room the host reserved; the new total length, or nullopt (nothing written) when
// the hash name does not fit its field or the result does not fit `out`.
std::optional<std::size_t> AppendSignature(MutableBytes out, std::size_t dataLength,
                                           Bytes signatureBlock, std::string_view hashName);

// ---- enciphered blocks ----
// Certificate-enciphered block (data enciphered for a recipient's certificate):
//   0   4  key number of the recipient's certificate
//   4   4  C, length of the enciphered data
//   8   4  K, length of the enciphered session key
//   12  4  I, length of the initialisation vector (8 when written)
//   16  C  enciphered data, then K bytes of key, then I bytes of vector
// Key-enciphered block (data enciphered under a key the caller keeps): the same without the key
// number, and K = 0 when written.
inline constexpr std::size_t kIvSize = 8;
inline constexpr std::size_t kCertBlockHeader = 16;
inline constexpr std::size_t kKeyBlockHeader = 12;
// Growth of data enciphered for one recipient, as announced to the host.
inline constexpr std::size_t kMaxEncodeAddition = 4104;

struct EncipheredBlockView {
  std::int32_t keyNumber = 0;  // certificate-enciphered blocks only
  Bytes data;
  Bytes key;
  Bytes iv;
};
// nullopt unless the header's lengths are not negative and fill the block exactly.
std::optional<EncipheredBlockView> ReadCertBlock(Bytes block);
std::optional<EncipheredBlockView> ReadKeyBlock(Bytes block);
// The block's length, or nullopt (nothing written) when it does not fit `out`.
std::optional<std::size_t> WriteCertBlock(MutableBytes out, std::int32_t keyNumber, Bytes data,
                                          Bytes key, Bytes iv);
std::optional<std::size_t> WriteKeyBlock(MutableBytes out, Bytes data, Bytes iv);
// For data enciphered straight into its block: the size of a key-enciphered block with room for
// `dataRoom` enciphered bytes, the area inside `out` where they go, and the step that completes
// the block once `dataLength` of them stand there (header and vector written; nullopt when they
// do not fit `out`).
constexpr std::size_t KeyBlockSize(std::size_t dataRoom) {
  return kKeyBlockHeader + dataRoom + kIvSize;
}
MutableBytes KeyBlockDataArea(MutableBytes out);
std::optional<std::size_t> FinishKeyBlock(MutableBytes out, std::size_t dataLength, Bytes iv);
// The same for a certificate-enciphered block whose `dataLength` enciphered bytes already stand
// at offset kCertBlockHeader of `out`: writes the header, the key and the vector around them.
std::optional<std::size_t> FinishCertBlock(MutableBytes out, std::int32_t keyNumber,
                                           std::size_t dataLength, Bytes key, Bytes iv);

// ---- multi-recipient container ----
//   0          4        marker -1
//   4          4        N, the number of recipients
//   8          32 N     recipient UIDs, each zero-terminated and zero-padded
//   8 + 32N    256 N    key slots: length L (at most 252), L bytes of the session key enciphered
//                       for that recipient, zero padding
//   8 + 288N   P        payload: the data as a key-enciphered block
inline constexpr std::int32_t kContainerMarker = -1;
inline constexpr std::size_t kContainerHeader = 8;
inline constexpr std::size_t kRecipientFieldSize = 32;
inline constexpr std::size_t kKeySlotSize = 256;
inline constexpr std::size_t kMaxSlotKey = kKeySlotSize - 4;  // 252
inline constexpr std::size_t kPerRecipient = kRecipientFieldSize + kKeySlotSize;

// Size of the part before the payload for `recipients` recipients.
constexpr std::uint64_t ContainerHeadSize(std::uint64_t recipients) {
  return kContainerHeader + kPerRecipient * recipients;
}
// Whether a buffer is a container: its first four bytes are the marker.
bool IsContainer(Bytes bytes);

struct ContainerView {
  std::size_t recipients = 0;
  Bytes fields;  // the recipient fields
  Bytes slots;   // the key slots
  Bytes payload;
};
// nullopt unless the marker is there, N is positive and the head lies inside the bytes.
std::optional<ContainerView> ReadContainer(Bytes bytes);
// Index of the first recipient field whose text equals `uid` byte for byte.
std::optional<std::size_t> FindRecipient(const ContainerView& c, std::string_view uid);
// The enciphered key of slot `index`; nullopt when there is no such slot or its length is
// negative or above 252.
std::optional<Bytes> ReadKeySlot(const ContainerView& c, std::size_t index);
// Whether the head is as the writers below leave it: every recipient field holds a zero and only
// zeros behind it, every key slot a length of 0 to 252 and only zeros behind the key. A head that
// differs was changed after it was written.
bool HeadIsCanonical(const ContainerView& c);
// Writes a container for `recipients` with their enciphered keys and the payload into `out`; its
// length, or nullopt (nothing written) when the counts differ, a UID does not fit its field, a key
// its slot, or the container `out`.
std::optional<std::size_t> WriteContainer(MutableBytes out,
                                          const std::vector<std::string>& recipients,
                                          const std::vector<Bytes>& keys, Bytes payload);
// Writes only the head of such a container, for a payload of `payloadSize` bytes that is (or
// will be) in place behind it; the head's length, or nullopt on the same conditions.
std::optional<std::size_t> WriteContainerHead(MutableBytes out,
                                              const std::vector<std::string>& recipients,
                                              const std::vector<Bytes>& keys,
                                              std::uint64_t payloadSize);

// ---- public-key transfer block ----
//   0    256   UID of the key owner: zero-terminated text
//   256  256   name of the carried file as the sender knew it: zero-terminated text
//   512  4     DataSize, 0 to 2047
//   516  2048  the carried file: DataSize bytes, then zero padding
// A transfer's signed block is this block with a signature appended to it (the appended
// signature above, whose data is exactly these 2564 bytes); the transfer is its Base64 text.
inline constexpr std::size_t kTransferTextField = 256;
inline constexpr std::size_t kCarriedDataField = 2048;
inline constexpr std::size_t kMaxCarriedFile = kCarriedDataField - 1;  // 2047
inline constexpr std::size_t kPublicKeyTransferBlockSize =
    2 * kTransferTextField + 4 + kCarriedDataField;  // 2564
inline constexpr std::size_t kMaxSignedTransfer = kPublicKeyTransferBlockSize + kMaxSignAddition;

struct PublicKeyBlockView {
  std::string_view uid;
  std::string_view fileName;
  Bytes data;  // DataSize bytes
};
// A block of exactly 2564 bytes whose UID has its zero within its first 255 bytes (so that it
// fits a UID buffer of the host), whose file name has one within its field and whose DataSize
// lies in 0 to 2047; nullopt for anything else.
std::optional<PublicKeyBlockView> ReadPublicKeyBlock(Bytes block);
// Writes the block, zero-padded, into `out`; 2564, or nullopt (nothing written) when `out` is
// smaller, a text and its zero do not fit its field, or the data is longer than 2047 bytes.
std::optional<std::size_t> WritePublicKeyBlock(MutableBytes out, std::string_view uid,
                                               std::string_view fileName, Bytes data);

struct SignedTransferView {
  PublicKeyBlockView block;
  SignatureBlockView signature;
};
// The structure of a transfer's signed block: the appended signature, whose data must be exactly
// one public-key block, and the signature block behind it. Whether the signature verifies is for
// the holder of the signer's certificate to find out.
std::optional<SignedTransferView> ReadSignedTransfer(Bytes signedBlock);

// ---- signed-data file ----
//   0      4  n, the length of the data (at least 1)
//   4      n  the data
//   4 + n  m  the signature bytes as the caller gave them: the rest of the file, its length not
//             stored
inline constexpr std::size_t kSignedDataHeader = 4;
// The file's size for n data and m signature bytes, in 64 bits so that no sum wraps.
constexpr std::uint64_t SignedDataSize(std::uint64_t n, std::uint64_t m) {
  return kSignedDataHeader + n + m;
}
// Writes the file's bytes into `out`: the data, then `signatureLength` bytes of the signature, or
// zeros when no signature is given; the length, or nullopt (nothing written) when the data is
// empty or longer than a signed 32-bit length, a given signature is not `signatureLength` long,
// or the whole does not fit `out`.
std::optional<std::size_t> WriteSignedData(MutableBytes out, Bytes data, Bytes signature,
                                           std::size_t signatureLength);

}  // namespace vornak2::layouts
