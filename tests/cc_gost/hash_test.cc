#include <gtest/gtest.h>

#include <stdexcept>

#include "gost.h"
#include "test_util.h"

namespace ccgost {
namespace {

using test::Bytes;
using test::FromHex;
using test::ToHex;

struct HashVector {
  HashAlg alg;
  std::vector<std::uint8_t> message;
  const char* digest;
};

// GOST R 34.11-2012 examples M1 and M2 (the standard prints numbers with the last byte first;
// these are the byte strings), M1 also with the 512-bit digest, and RFC 1321 vectors for MD5.
TEST(Hash, KnownAnswers) {
  const std::vector<HashVector> vectors = {
      {HashAlg::Streebog256,
       std::vector<std::uint8_t>(
           Bytes("012345678901234567890123456789012345678901234567890123456789012").begin(),
           Bytes("012345678901234567890123456789012345678901234567890123456789012").end()),
       "9d151eefd8590b89daa6ba6cb74af9275dd051026bb149a452fd84e5e57b5500"},
      {HashAlg::Streebog256,
       FromHex("d1e520e2e5f2f0e82c20d1f2f0e8e1eee6e820e2edf3f6e82c20e2e5fef2fa20f120eceef0ff20f1f2"
               "f0e5ebe0ece820ede020f5f0e0e1f0fbff20efebfaeafb20c8e3eef0e5e2fb"),
       "9dd2fe4e90409e5da87f53976d7405b0c0cac628fc669a741d50063c557e8f50"},
      {HashAlg::Streebog512,
       std::vector<std::uint8_t>(
           Bytes("012345678901234567890123456789012345678901234567890123456789012").begin(),
           Bytes("012345678901234567890123456789012345678901234567890123456789012").end()),
       "1b54d01a4af5b9d5cc3d86d68d285462b19abc2475222f35c085122be4ba1ffa"
       "00ad30f8767b3a82384c6574f024c311e2a481332b08ef7f41797891c1646f48"},
      {HashAlg::Md5, {}, "d41d8cd98f00b204e9800998ecf8427e"},
      {HashAlg::Md5, {'a', 'b', 'c'}, "900150983cd24fb0d6963f7d28e17f72"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(ToHex(HashOnce(v.alg, v.message)), v.digest);
  }
}

TEST(Hash, SplitUpdatesMatchOneShot) {
  const auto data = test::Pattern(3000, 7);
  for (HashAlg alg : {HashAlg::Streebog256, HashAlg::Streebog512, HashAlg::Md5}) {
    const auto whole = HashOnce(alg, data);
    for (std::size_t step : {1u, 13u, 63u, 64u, 65u, 1000u}) {
      Hash h(alg);
      h.Update({});
      for (std::size_t pos = 0; pos < data.size(); pos += step) {
        h.Update(std::span(data).subspan(pos, std::min(step, data.size() - pos)));
      }
      EXPECT_EQ(h.Final(), whole) << "step " << step;
    }
  }
}

TEST(Hash, SizesAndFinalState) {
  Hash s(HashAlg::Streebog256);
  Hash m(HashAlg::Md5);
  EXPECT_EQ(Hash(HashAlg::Streebog512).DigestSize(), kStreebog512Size);
  EXPECT_EQ(s.DigestSize(), kStreebog256Size);
  EXPECT_EQ(m.DigestSize(), 16u);
  s.Update(Bytes("abc"));
  const auto first = s.Final();
  EXPECT_EQ(first.size(), kStreebog256Size);
  EXPECT_EQ(s.Final(), first);  // reading again gives the same digest
  EXPECT_THROW(s.Update(Bytes("x")), std::logic_error);
}

}  // namespace
}  // namespace ccgost
