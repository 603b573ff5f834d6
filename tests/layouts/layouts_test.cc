// The byte layouts field by field at their fixed offsets, the readers' refusals of malformed
// input, and the writers' refusal to go past the room they are given.
#include "layouts/layouts.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace vornak2::layouts {
namespace {

using ByteVector = std::vector<std::uint8_t>;

ByteVector Le32(std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  return {static_cast<std::uint8_t>(u), static_cast<std::uint8_t>(u >> 8),
          static_cast<std::uint8_t>(u >> 16), static_cast<std::uint8_t>(u >> 24)};
}
ByteVector Text(const std::string& s) {
  return ByteVector(s.begin(), s.end());
}
ByteVector Filled(std::size_t n, std::uint8_t value) {
  return ByteVector(n, value);
}
ByteVector Cat(std::initializer_list<ByteVector> parts) {
  ByteVector out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes View(const ByteVector& v) {
  return Bytes(v.data(), v.size());
}

const ByteVector kData = Text("enciphered data");  // C = 15
const ByteVector kKey = Filled(40, 0x4B);          // K = 40
const ByteVector kIv = Text("IV-bytes");           // I = 8
const ByteVector kSignature = Filled(64, 0x53);

// One writer: what it is given (a buffer of `capacity` bytes filled with 0xEE) and the fields
// expected at their offsets.
struct Field {
  std::size_t offset;
  ByteVector bytes;
};
struct WriterCase {
  const char* name;
  std::size_t capacity;
  std::function<std::optional<std::size_t>(MutableBytes)> write;
  std::size_t length;
  std::vector<Field> fields;
};

std::vector<WriterCase> WriterCases() {
  const UidField field = *MakeUidField("H.0");
  const std::vector<std::string> recipients = {"H.0", "AB.12"};
  const ByteVector slot0 = Filled(30, 0x30);
  const ByteVector slot1 = Filled(kMaxSlotKey, 0x31);  // a full slot
  const ByteVector payload = Filled(23, 0x50);
  return {
      {"signature block",
       kMaxSignatureBlock,
       [=](MutableBytes out) { return WriteSignatureBlock(out, field, View(kSignature)); },
       32 + 64,
       {{0, Cat({Text("H.0"), Filled(29, 0)})}, {32, kSignature}}},
      {"appended signature",
       20 + kMaxSignAddition,
       [=](MutableBytes out) { return AppendSignature(out, 20, View(kSignature), "34.11"); },
       20 + 64 + 10,
       {{0, Filled(20, 0xEE)},
        {20, kSignature},
        {84, Le32(20)},
        {88, Text(std::string("34.11", 6))}}},
      // A short hash name: its zero is written, the trailer's last bytes are left as they were.
      {"appended signature, short hash name",
       20 + kMaxSignAddition,
       [=](MutableBytes out) { return AppendSignature(out, 20, View(kSignature), "MD5"); },
       20 + 64 + 10,
       {{84, Le32(20)}, {88, Cat({Text("MD5"), Filled(1, 0), Filled(2, 0xEE)})}}},
      {"certificate-enciphered block",
       15 + kMaxEncodeAddition,
       [](MutableBytes out) { return WriteCertBlock(out, 7, View(kData), View(kKey), View(kIv)); },
       16 + 15 + 40 + 8,
       {{0, Le32(7)},
        {4, Le32(15)},
        {8, Le32(40)},
        {12, Le32(8)},
        {16, kData},
        {31, kKey},
        {71, kIv}}},
      {"key-enciphered block",
       15 + kMaxEncodeAddition,
       [](MutableBytes out) { return WriteKeyBlock(out, View(kData), View(kIv)); },
       15 + 20,
       {{0, Le32(15)}, {4, Le32(0)}, {8, Le32(8)}, {12, kData}, {27, kIv}}},
      {"key-enciphered block completed in place",
       KeyBlockSize(15 + 4096),
       [](MutableBytes out) {
         const MutableBytes area = KeyBlockDataArea(out);
         if (area.size() >= kData.size()) std::memcpy(area.data(), kData.data(), kData.size());
         return FinishKeyBlock(out, kData.size(), View(kIv));
       },
       15 + 20,
       {{0, Le32(15)}, {4, Le32(0)}, {8, Le32(8)}, {12, kData}, {27, kIv}}},
      {"multi-recipient container",
       23 + kMaxEncodeAddition + 2 * kPerRecipient,
       [=](MutableBytes out) {
         return WriteContainer(out, recipients, {View(slot0), View(slot1)}, View(payload));
       },
       8 + 2 * 288 + 23,
       {{0, Le32(-1)},
        {4, Le32(2)},
        {8, Cat({Text("H.0"), Filled(29, 0)})},
        {40, Cat({Text("AB.12"), Filled(27, 0)})},
        {72, Cat({Le32(30), slot0, Filled(kMaxSlotKey - 30, 0)})},
        {328, Cat({Le32(kMaxSlotKey), slot1})},
        {584, payload}}},
      {"signed-data file",
       4 + 15 + 64,
       [=](MutableBytes out) { return WriteSignedData(out, View(kData), View(kSignature), 64); },
       4 + 15 + 64,
       {{0, Le32(15)}, {4, kData}, {19, kSignature}}},
      {"signed-data file without its signature",
       4 + 15 + 3,
       [=](MutableBytes out) { return WriteSignedData(out, View(kData), {}, 3); },
       4 + 15 + 3,
       {{0, Le32(15)}, {4, kData}, {19, Filled(3, 0)}}},
      {"public-key block",
       kPublicKeyTransferBlockSize,
       [=](MutableBytes out) {
         return WritePublicKeyBlock(out, "H.0", "C:\\crt\\0.crt", View(kData));
       },
       2564,
       {{0, Cat({Text("H.0"), Filled(253, 0)})},
        {256, Cat({Text("C:\\crt\\0.crt"), Filled(244, 0)})},
        {512, Le32(15)},
        {516, Cat({kData, Filled(2048 - 15, 0)})}}},
  };
}

TEST(Layouts, WritersPutEveryFieldAtItsOffsetAndNothingBeyondTheBlock) {
  for (const WriterCase& c : WriterCases()) {
    ByteVector buffer(c.capacity, 0xEE);
    const auto length = c.write(buffer);
    ASSERT_TRUE(length) << c.name;
    EXPECT_EQ(*length, c.length) << c.name;
    for (const Field& f : c.fields) {
      const ByteVector got(buffer.begin() + static_cast<std::ptrdiff_t>(f.offset),
                           buffer.begin() + static_cast<std::ptrdiff_t>(f.offset + f.bytes.size()));
      EXPECT_EQ(got, f.bytes) << c.name << " at offset " << f.offset;
    }
    for (std::size_t i = c.length; i < buffer.size(); ++i)
      ASSERT_EQ(buffer[i], 0xEE) << c.name << " wrote past its block at " << i;

    // One byte less room than the block needs: refused, and nothing written.
    ByteVector tight(c.length - 1, 0xEE);
    EXPECT_FALSE(c.write(tight)) << c.name;
    EXPECT_EQ(tight, ByteVector(c.length - 1, 0xEE)) << c.name;
  }
}

TEST(Layouts, ReadersGiveBackWhatTheWritersWrote) {
  ByteVector block(kMaxSignatureBlock);
  const auto n = WriteSignatureBlock(block, *MakeUidField("CA.1"), View(kSignature));
  const auto sig = ReadSignatureBlock(Bytes(block.data(), *n));
  ASSERT_TRUE(sig);
  EXPECT_EQ(sig->signerUid, "CA.1");
  EXPECT_EQ(ByteVector(sig->signature.begin(), sig->signature.end()), kSignature);

  ByteVector cert(100);
  const auto c = ReadCertBlock(
      Bytes(cert.data(), *WriteCertBlock(cert, -3, View(kData), View(kKey), View(kIv))));
  ASSERT_TRUE(c);
  EXPECT_EQ(c->keyNumber, -3);
  EXPECT_EQ(ByteVector(c->data.begin(), c->data.end()), kData);
  EXPECT_EQ(ByteVector(c->key.begin(), c->key.end()), kKey);
  EXPECT_EQ(ByteVector(c->iv.begin(), c->iv.end()), kIv);

  ByteVector whole = Cat({kData, Filled(kMaxSignAddition, 0)});
  const auto total = AppendSignature(whole, kData.size(), View(kSignature), "34.11");
  const auto appended = ReadAppendedSignature(Bytes(whole.data(), *total));
  ASSERT_TRUE(appended);
  EXPECT_EQ(ByteVector(appended->data.begin(), appended->data.end()), kData);
  EXPECT_EQ(appended->signatureBlock.size(), kSignature.size());

  const std::vector<std::string> recipients = {"A.1", "B.2", "C.3"};
  const ByteVector k0 = Filled(3, 1), k1 = Filled(0, 0), k2 = Filled(kMaxSlotKey, 2);
  ByteVector box(ContainerHeadSize(3) + 5);
  ASSERT_TRUE(WriteContainer(box, recipients, {View(k0), View(k1), View(k2)}, View(Filled(5, 9))));
  const auto container = ReadContainer(box);
  ASSERT_TRUE(container);
  EXPECT_EQ(container->recipients, 3u);
  EXPECT_EQ(FindRecipient(*container, "C.3"), 2u);
  EXPECT_FALSE(FindRecipient(*container, "c.3"));  // byte for byte
  EXPECT_EQ(ReadKeySlot(*container, 2)->size(), kMaxSlotKey);
  EXPECT_EQ(ReadKeySlot(*container, 1)->size(), 0u);
  EXPECT_FALSE(ReadKeySlot(*container, 3));
  EXPECT_EQ(container->payload.size(), 5u);

  // A transfer's signed block: the public-key block with a signature appended.
  ByteVector transfer(kMaxSignedTransfer);
  WritePublicKeyBlock(transfer, std::string(254, 'u'), "self.crt",
                      View(Filled(kMaxCarriedFile, 7)));
  ByteVector sigBlock(kMaxSignatureBlock);
  const auto sigLength = WriteSignatureBlock(sigBlock, *MakeUidField("H.0"), View(kSignature));
  const auto signedLength = AppendSignature(transfer, kPublicKeyTransferBlockSize,
                                            Bytes(sigBlock.data(), *sigLength), "34.11");
  const auto opened = ReadSignedTransfer(Bytes(transfer.data(), *signedLength));
  ASSERT_TRUE(opened);
  EXPECT_EQ(opened->block.uid, std::string(254, 'u'));
  EXPECT_EQ(opened->block.fileName, "self.crt");
  EXPECT_EQ(opened->block.data.size(), kMaxCarriedFile);
  EXPECT_EQ(opened->signature.signerUid, "H.0");
}

// Malformed input of every layout: each reader refuses it.
TEST(Layouts, ReadersRefuseMalformedInput) {
  const ByteVector uid32 = Filled(32, 'U');  // a UID field without its zero
  struct Case {
    const char* name;
    std::function<bool()> accepted;
  };
  const Case cases[] = {
      {"signature block of the UID field alone",
       [&] {
         return ReadSignatureBlock(View(Cat({Text("H.0"), Filled(29, 0)}))).has_value();
       }},
      {"signature block whose UID field has no zero",
       [&] {
         return ReadSignatureBlock(View(Cat({uid32, kSignature}))).has_value();
       }},
      {"signer UID of a short block",
       [&] { return ReadSignerUid(View(Filled(31, 0))).has_value(); }},
      {"trailer in a buffer shorter than a trailer",
       [&] { return ReadAppendedSignature(View(Filled(9, 0))).has_value(); }},
      {"trailer with a zero length",
       [&] {
         return ReadAppendedSignature(View(Cat({Filled(30, 1), Le32(0), Filled(6, 0)})))
             .has_value();
       }},
      {"trailer with a negative length",
       [&] {
         return ReadAppendedSignature(View(Cat({Filled(30, 1), Le32(-5), Filled(6, 0)})))
             .has_value();
       }},
      {"trailer whose length leaves no signature",
       [&] {
         return ReadAppendedSignature(View(Cat({Filled(30, 1), Le32(30), Filled(6, 0)})))
             .has_value();
       }},
      {"certificate block with a negative length",
       [&] {
         return ReadCertBlock(View(Cat({Le32(0), Le32(-1), Le32(1), Le32(16)}))).has_value();
       }},
      {"certificate block whose lengths overflow 32 bits",
       [&] {
         return ReadCertBlock(View(Cat({Le32(0), Le32(INT32_MAX), Le32(INT32_MAX), Le32(2)})))
             .has_value();
       }},
      {"certificate block one byte short",
       [&] {
         return ReadCertBlock(View(Cat({Le32(0), Le32(1), Le32(0), Le32(8), Filled(8, 0)})))
             .has_value();
       }},
      {"truncated certificate header",
       [&] {
         return ReadCertBlock(View(Cat({Le32(0), Le32(0), Le32(0)}))).has_value();
       }},
      {"key block one byte long",
       [&] {
         return ReadKeyBlock(View(Cat({Le32(0), Le32(0), Le32(8), Filled(9, 0)}))).has_value();
       }},
      {"container without recipients",
       [&] {
         return ReadContainer(View(Cat({Le32(-1), Le32(0)}))).has_value();
       }},
      {"container with a negative count",
       [&] {
         return ReadContainer(View(Cat({Le32(-1), Le32(-7)}))).has_value();
       }},
      {"container whose head passes the end",
       [&] {
         return ReadContainer(View(Cat({Le32(-1), Le32(1), Filled(287, 0)}))).has_value();
       }},
      {"container with a huge count",
       [&] {
         return ReadContainer(View(Cat({Le32(-1), Le32(INT32_MAX), Filled(300, 0)}))).has_value();
       }},
      {"key slot longer than 252",
       [&] {
         const ByteVector box =
             Cat({Le32(-1), Le32(1), Text("A.1"), Filled(29, 0), Le32(253), Filled(252, 0)});
         return ReadKeySlot(*ReadContainer(View(box)), 0).has_value();
       }},
      {"recipient field without a zero",
       [&] {
         const ByteVector box = Cat({Le32(-1), Le32(1), uid32, Le32(0), Filled(252, 0)});
         return FindRecipient(*ReadContainer(View(box)), std::string(32, 'U')).has_value();
       }},
  };
  for (const Case& c : cases) EXPECT_FALSE(c.accepted()) << c.name;

  // Public-key blocks: one well-formed block, then one field at a time made wrong.
  const ByteVector good = Cat({Text("H.0"), Filled(253, 0), Text("0.crt"), Filled(251, 0), Le32(3),
                               Text("abc"), Filled(2045, 0)});
  ASSERT_TRUE(ReadPublicKeyBlock(View(good)));
  auto with = [&](std::size_t offset, const ByteVector& bytes) {
    ByteVector b = good;
    std::copy(bytes.begin(), bytes.end(), b.begin() + static_cast<std::ptrdiff_t>(offset));
    return ReadPublicKeyBlock(View(b)).has_value();
  };
  EXPECT_FALSE(ReadPublicKeyBlock(View(ByteVector(good.begin(), good.end() - 1))));
  EXPECT_FALSE(ReadPublicKeyBlock(View(Cat({good, Filled(1, 0)}))));
  EXPECT_FALSE(with(0, Filled(256, 'u'))) << "a UID without its zero";
  EXPECT_TRUE(with(0, Filled(255, 'u'))) << "255 characters and the zero in the last byte";
  EXPECT_FALSE(with(256, Filled(256, 'f'))) << "a file name without its zero";
  EXPECT_FALSE(with(512, Le32(-1)));
  EXPECT_FALSE(with(512, Le32(2048)));
  EXPECT_TRUE(with(512, Le32(2047)));
  // A signed block whose signed content is not exactly one public-key block.
  ByteVector shortBlock = Cat({ByteVector(good.begin(), good.end() - 1), kSignature, Le32(2563),
                               Text(std::string("34.11", 6))});
  EXPECT_FALSE(ReadSignedTransfer(View(shortBlock)));
}

// What no writer puts into a block: a UID or hash name without room for its zero, an empty or
// oversized signature, a key too long for its slot, recipients and keys that do not pair up.
TEST(Layouts, WritersRefuseWhatTheLayoutCannotHold) {
  ByteVector room(100000);
  EXPECT_FALSE(MakeUidField(std::string(32, 'u')));
  EXPECT_TRUE(MakeUidField(std::string(31, 'u')));
  EXPECT_FALSE(WriteSignatureBlock(room, *MakeUidField("H.0"), {}));
  EXPECT_FALSE(WriteSignatureBlock(room, *MakeUidField("H.0"), View(Filled(513, 1))));
  EXPECT_FALSE(AppendSignature(room, 10, View(kSignature), "GOST34"));
  EXPECT_FALSE(AppendSignature(room, 10, View(Filled(kMaxSignatureBlock + 1, 1)), "MD5"));
  const ByteVector key = Filled(kMaxSlotKey + 1, 1);
  EXPECT_FALSE(WriteContainer(room, {"A.1"}, {View(key)}, {}));
  EXPECT_FALSE(WriteContainer(room, {std::string(32, 'a')}, {View(kKey)}, {}));
  EXPECT_FALSE(WriteContainer(room, {"A.1", "B.2"}, {View(kKey)}, {}));
  EXPECT_FALSE(WriteContainer(room, {}, {}, {}));
  EXPECT_FALSE(IsContainer(View(Le32(-2))));
  EXPECT_FALSE(IsContainer(View(Filled(3, 0xFF))));
  EXPECT_FALSE(WritePublicKeyBlock(room, std::string(256, 'u'), "a", {}));
  EXPECT_FALSE(WritePublicKeyBlock(room, "H.0", std::string(256, 'f'), {}));
  EXPECT_FALSE(WritePublicKeyBlock(room, "H.0", "a", View(Filled(kCarriedDataField, 1))));
  EXPECT_FALSE(WriteSignedData(room, {}, View(kSignature), 64));
  EXPECT_FALSE(WriteSignedData(room, View(kData), View(kSignature), 63));
}

}  // namespace
}  // namespace vornak2::layouts
