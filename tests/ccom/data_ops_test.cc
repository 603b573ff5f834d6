// Signing and encryption end to end between engines of different users, each configured for its
// own key set under the one process root, with the others' certificates in its store.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "binding/ccom_dll.h"
#include "ccom/ce_ccom.h"
#include "key_sets.h"
#include "platform/platform.h"
#include "root/rootpath.h"

namespace vornak2::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Name, UID and parameter set (empty: the default, a 256-bit key).
const char* const kUsers[][3] = {{"data_a", "DA.1", ""},
                                 {"data_b", "DB.2", ""},
                                 {"data_c", "DC.3", ""},
                                 {"data_d", "DD.4", "tc26-512-B"}};

class DataOpsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    TestRoot& root = TestRoot::Get();
    SetGlobalRoot(root.dir());
    for (const auto& [name, uid, curve] : kUsers) root.User(name, uid, "ca", curve);
    // Every user's store holds every certificate, its own included.
    for (const auto& holder : kUsers) {
      for (const auto& owner : kUsers) {
        ASSERT_EQ(RunAuthorityTool({"install-cert", "--cert", root.dir() + owner[0] + "/self.crt",
                                    "--root", root.dir() + holder[0]}),
                  0);
      }
    }
  }
  void SetUp() override {
    for (std::size_t i = 0; i < std::size(engines_); ++i) {
      engines_[i] = std::make_unique<TCcom22Engine>();
      engines_[i]->SetEngineRoot(TestRoot::Get().dir());
      for (const auto& [number, value] : TestRoot::Get().User(kUsers[i][0], kUsers[i][1]).Params())
        engines_[i]->SetCryptoParamValue(number, value.c_str());
    }
  }
  TCcom22Engine& A() { return *engines_[0]; }
  TCcom22Engine& B() { return *engines_[1]; }
  TCcom22Engine& C() { return *engines_[2]; }
  TCcom22Engine& D() { return *engines_[3]; }  // a 512-bit key

  static Bytes Payload(std::size_t n, unsigned seed = 7) {
    Bytes data(n);
    std::mt19937 gen(seed);
    for (auto& b : data) b = static_cast<std::uint8_t>(gen());
    return data;
  }
  // Encrypts `plain` with `engine` for `recipients`; the output bytes.
  static Bytes Encode(TCcom22Engine& engine, const Bytes& plain, const char* recipients,
                      std::int32_t expected = 0) {
    Bytes buffer(plain.size() + 8 + 288 * 3 + 4104);
    std::memcpy(buffer.data(), plain.data(), plain.size());
    std::int32_t size = static_cast<std::int32_t>(plain.size());
    EXPECT_EQ(engine.EncodeData(buffer.data(), &size, recipients), expected) << recipients;
    buffer.resize(static_cast<std::size_t>(size));
    return buffer;
  }
  static std::int32_t Decode(TCcom22Engine& engine, Bytes& buffer) {
    std::int32_t size = static_cast<std::int32_t>(buffer.size());
    const std::int32_t r = engine.DecodeData(buffer.data(), &size, nullptr);
    if (r == 0) buffer.resize(static_cast<std::size_t>(size));
    return r;
  }
  static std::int32_t Verify(TCcom22Engine& engine, const Bytes& data, const Bytes& signature,
                             std::string* signer, std::int32_t signatureLength = -1) {
    char uid[256] = {};
    const std::int32_t length =
        signatureLength >= 0 ? signatureLength : static_cast<std::int32_t>(signature.size());
    const std::int32_t r = engine.VerifyData(data.data(), static_cast<std::int32_t>(data.size()),
                                             signature.data(), length, uid);
    if (signer) *signer = uid;
    return r;
  }
  static Bytes Sign(TCcom22Engine& engine, const Bytes& data, const char* signer = nullptr) {
    Bytes signature(544);
    std::int32_t length = 0;
    EXPECT_EQ(engine.SignData(data.data(), static_cast<std::int32_t>(data.size()), signature.data(),
                              &length, signer),
              0);
    signature.resize(static_cast<std::size_t>(length));
    return signature;
  }

  std::unique_ptr<TCcom22Engine> engines_[4];
};

// Sizes around the chunk boundaries of signing (data + 32-byte UID field) and of enciphering.
const std::size_t kSizes[] = {1,     65495, 65496,     65497,        65527,
                              65528, 65529, 3 * 65528, 3 * 65528 + 5};

TEST_F(DataOpsTest, SignedByOneVerifiedByAnotherAtChunkBoundaries) {
  for (std::size_t n : kSizes) {
    const Bytes data = Payload(n);
    const Bytes signature = Sign(A(), data);
    std::string signer;
    EXPECT_EQ(Verify(B(), data, signature, &signer), 0) << n;
    EXPECT_EQ(signer, "DA.1");
    EXPECT_EQ(Verify(C(), data, signature, nullptr, 0), 0) << "no length given, " << n;
  }
}

TEST_F(DataOpsTest, EncryptedForEveryRecipientCountAndDecryptedByEach) {
  const std::pair<const char*, std::vector<TCcom22Engine*>> cases[] = {
      {"DB.2", {&B()}},
      {"DB.2;DC.3", {&B(), &C()}},
      {"DB.2;DC.3;DA.1", {&B(), &C(), &A()}},  // the sender as the third recipient
      {"DD.4", {&D()}},                        // a 512-bit key: a 180-byte enciphered key
      {"DD.4;DB.2", {&D(), &B()}},             // its key slot within 252 bytes
  };
  for (std::size_t n : kSizes) {
    const Bytes plain = Payload(n, static_cast<unsigned>(n));
    for (const auto& [recipients, readers] : cases) {
      const Bytes sealed = Encode(A(), plain, recipients);
      for (TCcom22Engine* reader : readers) {
        Bytes buffer = sealed;
        ASSERT_EQ(Decode(*reader, buffer), 0) << recipients << " " << n;
        EXPECT_EQ(buffer, plain) << recipients << " " << n;
      }
    }
  }
}

TEST_F(DataOpsTest, NoChangedByteEverVerifies) {
  const Bytes data = Payload(300);
  const Bytes signature = Sign(A(), data);
  for (std::size_t i = 0; i < data.size(); i += 7) {
    Bytes changed = data;
    changed[i] ^= 0x01;
    EXPECT_NE(Verify(B(), changed, signature, nullptr), 0) << "data byte " << i;
  }
  for (std::size_t i = 0; i < signature.size(); ++i) {
    Bytes changed = signature;
    changed[i] ^= 0x20;
    EXPECT_NE(Verify(B(), data, changed, nullptr), 0) << "signature byte " << i;
  }
}

// One bit flipped at any offset of an encrypted file, for one recipient and in a container for
// two, is refused by every reader the bit concerns: all of them, unless it lies in another
// reader's UID or key slot, which only that reader uses. No reader ever gets other plaintext; a
// refusal keeps the length and leaves no plaintext in the buffer.
TEST_F(DataOpsTest, EveryFlippedBitIsRefused) {
  const std::string text = "hello world!";
  const Bytes plain(text.begin(), text.end());
  struct Sample {
    const char* recipients;
    std::vector<std::pair<TCcom22Engine*, std::string>> readers;  // in the recipients' order
  };
  const Sample samples[] = {{"DB.2", {{&B(), "DB.2"}}},
                            {"DB.2;DC.3", {{&B(), "DB.2"}, {&C(), "DC.3"}}},
                            {"DD.4;DB.2", {{&D(), "DD.4"}, {&B(), "DB.2"}}}};
  for (const Sample& sample : samples) {
    const Bytes sealed = Encode(A(), plain, sample.recipients);
    // Which reader alone a byte of a container belongs to: its UID with the zero behind it, and
    // its slot's length and key.
    std::vector<std::string> owner(sealed.size());
    if (sample.readers.size() > 1) {
      const std::size_t n = sample.readers.size();
      for (std::size_t i = 0; i < n; ++i) {
        const std::string& uid = sample.readers[i].second;
        std::fill_n(owner.begin() + 8 + 32 * i, uid.size() + 1, uid);
        const std::size_t slot = 8 + 32 * n + 256 * i;
        std::int32_t keyLength = 0;
        std::memcpy(&keyLength, sealed.data() + slot, 4);
        std::fill_n(owner.begin() + slot, 4 + keyLength, uid);
      }
    }
    for (std::size_t at = 0; at < sealed.size(); ++at) {
      Bytes changed = sealed;
      changed[at] ^= static_cast<std::uint8_t>(1u << (at % 8));
      for (const auto& [reader, uid] : sample.readers) {
        Bytes buffer = changed;
        std::int32_t size = static_cast<std::int32_t>(buffer.size());
        const std::int32_t r = reader->DecodeData(buffer.data(), &size, nullptr);
        const std::string where = std::string(sample.recipients) + " read by " + uid +
                                  ", bit flipped at " + std::to_string(at);
        if (r == 0) {
          EXPECT_TRUE(!owner[at].empty() && owner[at] != uid) << where;
          EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + size), plain) << where;
          continue;
        }
        EXPECT_EQ(size, static_cast<std::int32_t>(sealed.size())) << where;
        EXPECT_EQ(std::search(buffer.begin(), buffer.end(), plain.begin(), plain.end()),
                  buffer.end())
            << where << ": plaintext left in the buffer";
      }
    }
  }
}

// Files encrypted before the sealed form, by the build before it, still decrypt: one recipient's
// block and a container for both, with the key sets they were made for (tests/data/format1:
// vornak2-ca create-authority and bootstrap for F1.1 and F1.2 with --days 36500, then
// vornak2-host encrypt of plain.txt by F1.1 to F1.2 and to "F1.1;F1.2").
TEST_F(DataOpsTest, FilesMadeBeforeTheSealedFormStillDecrypt) {
  namespace fs = std::filesystem;
  const std::string sample = VORNAK2_FORMAT1_SAMPLE;
  const auto read = [](const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  };
  const Bytes plain = read(sample + "/plain.txt");
  ASSERT_FALSE(plain.empty());
  std::unique_ptr<TCcom22Engine> engines[2];
  for (const char* user : {"a", "b"}) {
    const std::string name = std::string("format1_") + user;
    const fs::path dir = fs::path(TestRoot::Get().dir()) / name;
    if (!fs::exists(dir)) fs::copy(fs::path(sample) / user, dir, fs::copy_options::recursive);
    auto& engine = engines[*user - 'a'];
    engine = std::make_unique<TCcom22Engine>();
    engine->SetEngineRoot(TestRoot::Get().dir());
    constexpr char kSep = platform::kPathSeparator;
    const std::string at = "%QVXRoot%" + (kSep + name) + kSep;
    for (const auto& [number, value] : std::vector<std::pair<std::int32_t, std::string>>{
             {2, at + "sec"}, {3, at + "crt"}, {7, at + "@rand"}, {19, at + "self.crt"}})
      engine->SetCryptoParamValue(number, value.c_str());
  }
  const std::pair<const char*, std::vector<TCcom22Engine*>> files[] = {
      {"single.enc", {engines[1].get()}}, {"container.enc", {engines[0].get(), engines[1].get()}}};
  for (const auto& [file, readers] : files) {
    for (TCcom22Engine* reader : readers) {
      Bytes buffer = read(sample + "/" + file);
      ASSERT_FALSE(buffer.empty()) << file;
      EXPECT_EQ(Decode(*reader, buffer), 0) << file;
      EXPECT_EQ(buffer, plain) << file;
    }
  }
}

TEST_F(DataOpsTest, ContainerWithoutTheReaderGivesMinus35AndStaysAsItWas) {
  const Bytes sealed = Encode(A(), Payload(1000), "DA.1;DC.3");
  Bytes buffer = sealed;
  EXPECT_EQ(Decode(B(), buffer), -35);
  EXPECT_EQ(buffer, sealed);
  // The match is byte for byte.
  const Bytes lower = Encode(A(), Payload(10), "db.2;DC.3");
  buffer = lower;
  EXPECT_EQ(Decode(B(), buffer), -35);
}

TEST_F(DataOpsTest, FailedEncryptionLeavesTheDataAsItWas) {
  const Bytes plain = Payload(500);
  struct Case {
    const char* recipients;
    std::int32_t expected;
  };
  const Case cases[] = {
      {"DB.2;Nobody.9", 112},                           // the second key cannot be enciphered
      {"DB.2;", 121},                                   // an empty recipient
      {"DB.2;LongUIDxxxxxxxxxxxxxxxxxxxxxxxx.1", 104},  // does not fit its field
      {"Nobody.9", 112},
  };
  for (const Case& c : cases) {
    Bytes buffer = plain;
    buffer.resize(plain.size() + 8 + 288 * 3 + 4104, 0xEE);
    const Bytes before = buffer;
    std::int32_t size = static_cast<std::int32_t>(plain.size());
    EXPECT_EQ(A().EncodeData(buffer.data(), &size, c.recipients), c.expected) << c.recipients;
    EXPECT_EQ(size, static_cast<std::int32_t>(plain.size())) << c.recipients;
    EXPECT_EQ(buffer, before) << c.recipients;
  }
}

TEST_F(DataOpsTest, DefaultSignerAndRecipientComeFromTheParameters) {
  const Bytes data = Payload(64);
  const Bytes signature = Sign(A(), data, "");
  std::string signer;
  EXPECT_EQ(Verify(A(), data, signature, &signer), 0);
  EXPECT_EQ(signer, "DA.1");
  A().SetCryptoParamValue(kParamEncryptForUID, "DB.2;DC.3");
  Bytes sealed = Encode(A(), data, nullptr);
  EXPECT_EQ(Decode(C(), sealed), 0);
  EXPECT_EQ(sealed, data);
}

TEST_F(DataOpsTest, AppendedSignatureRoundTripAndTrailer) {
  const Bytes data = Payload(1000);
  Bytes buffer(data.size() + 554, 0xCC);
  std::memcpy(buffer.data(), data.data(), data.size());
  std::int32_t size = static_cast<std::int32_t>(data.size());
  ASSERT_EQ(A().AddSign(buffer.data(), &size, nullptr), 0);
  ASSERT_GT(size, static_cast<std::int32_t>(data.size()) + 10);
  EXPECT_EQ(std::memcmp(buffer.data() + size - 6, "34.11", 6), 0);
  char signer[256] = {};
  EXPECT_EQ(B().RemoveSign(buffer.data(), &size, signer), 0);
  EXPECT_EQ(size, static_cast<std::int32_t>(data.size()));
  EXPECT_STREQ(signer, "DA.1");

  A().SetCryptoParamValue(kParamHashAlgorithm, "34.11x");
  size = static_cast<std::int32_t>(data.size());
  EXPECT_EQ(A().AddSign(buffer.data(), &size, nullptr), 111);
  EXPECT_EQ(size, static_cast<std::int32_t>(data.size()));

  // No plausible trailer: the length stays.
  for (std::int32_t length : {1, 9, 10, 11, 500}) {
    Bytes plain(static_cast<std::size_t>(length), 0x7F);
    std::int32_t n = length;
    EXPECT_EQ(B().RemoveSign(plain.data(), &n, signer), 106) << length;
    EXPECT_EQ(n, length);
  }
}

TEST_F(DataOpsTest, ArgumentChecks) {
  char signer[256];
  const Bytes data = Payload(10);
  std::int32_t size = 0;
  Bytes buffer(100);
  EXPECT_EQ(A().SignData(data.data(), 0, buffer.data(), &size, nullptr), 110);
  EXPECT_EQ(A().VerifyData(data.data(), 0, buffer.data(), 100, signer), 110);
  EXPECT_EQ(A().VerifyData(data.data(), 10, buffer.data(), 100, nullptr), 110);
  EXPECT_EQ(A().EncodeData(buffer.data(), &size, "DB.2"), 110);
  EXPECT_EQ(A().DecodeData(nullptr, &size, nullptr), 110);
  // Short blocks: nothing beyond the given length is read.
  const Bytes signature = Sign(A(), data);
  EXPECT_EQ(Verify(B(), data, signature, nullptr, 32), 106);
  EXPECT_NE(Verify(B(), data, signature, nullptr, 40), 0);
  Bytes noTerminator(64, 'u');
  EXPECT_EQ(Verify(B(), data, noTerminator, nullptr), 110);
  // A signer that does not fit the UID field is not the current user either.
  size = 0;
  EXPECT_EQ(A().SignData(data.data(), 10, buffer.data(), &size, std::string(32, 'x').c_str()), 103);
  A().SetCryptoParamValue(kParamKeyRequestTimeout, "abc");
  EXPECT_EQ(A().SignData(data.data(), 10, buffer.data(), &size, nullptr), 115);
}

TEST_F(DataOpsTest, ImplausibleHeadersAreRefusedBeforeUse) {
  auto put = [](Bytes& b, std::size_t at, std::int32_t v) { std::memcpy(b.data() + at, &v, 4); };
  const Bytes container = Encode(A(), Payload(100), "DB.2;DC.3");
  const Bytes single = Encode(A(), Payload(100), "DB.2");
  const std::size_t slotB = 8 + 2 * 32;  // DB.2 is the first recipient
  struct Case {
    const char* what;
    Bytes bytes;
  };
  std::vector<Case> cases;
  auto with = [](Bytes b, auto change) {
    change(b);
    return b;
  };
  cases.push_back({"N of 0", with(container, [&](Bytes& b) { put(b, 4, 0); })});
  cases.push_back({"negative N", with(container, [&](Bytes& b) { put(b, 4, -3); })});
  cases.push_back(
      {"N whose head exceeds the length", with(container, [&](Bytes& b) { put(b, 4, 100000); })});
  cases.push_back({"N whose head overflows 32 bits",
                   with(container, [&](Bytes& b) { put(b, 4, 0x7FFFFFFF); })});
  cases.push_back(
      {"slot length above 252", with(container, [&](Bytes& b) { put(b, slotB, 253); })});
  cases.push_back({"negative slot length", with(container, [&](Bytes& b) { put(b, slotB, -1); })});
  cases.push_back({"head only", Bytes(container.begin(), container.begin() + 8 + 288 * 2)});
  cases.push_back({"payload cut short", Bytes(container.begin(), container.end() - 3)});
  cases.push_back({"negative data length", with(single, [&](Bytes& b) { put(b, 4, -16); })});
  cases.push_back({"lengths summing past 2^31", with(single, [&](Bytes& b) {
                     put(b, 4, 0x7FFFFFF0);
                     put(b, 8, 0x7FFFFFF0);
                   })});
  cases.push_back({"block shorter than its header", Bytes(single.begin(), single.begin() + 10)});
  for (Case& c : cases) {
    const Bytes before = c.bytes;
    std::int32_t size = static_cast<std::int32_t>(c.bytes.size());
    EXPECT_EQ(B().DecodeData(c.bytes.data(), &size, nullptr), 4) << c.what;
    EXPECT_EQ(size, static_cast<std::int32_t>(before.size())) << c.what;
    // Nothing was deciphered in place: in particular the session key never shows in clear.
    EXPECT_EQ(c.bytes, before) << c.what;
  }
}

// One engine must not sign under another user's UID: that would label its signature with the
// other UID and plant its own certificate under that UID in the shared key-file cache, where the
// other user's encryption to himself would then pick it up.
TEST_F(DataOpsTest, SignerOtherThanTheCurrentUserIsRefusedAndPlantsNothing) {
  char uid[256] = {};
  ASSERT_EQ(A().GetCurrentUserUID(uid), 0);
  A().Binding()->ClearKeyCache();  // no user has cache entries yet
  const Bytes data = Payload(300);

  Bytes signature(544, 0xCC);
  std::int32_t length = 544;
  EXPECT_EQ(A().SignData(data.data(), static_cast<std::int32_t>(data.size()), signature.data(),
                         &length, "DB.2"),
            103);
  EXPECT_EQ(length, 544);
  EXPECT_EQ(signature, Bytes(544, 0xCC));
  Bytes appended = data;
  appended.resize(data.size() + 554, 0xCC);
  std::int32_t size = static_cast<std::int32_t>(data.size());
  EXPECT_EQ(A().AddSign(appended.data(), &size, "DB.2"), 103);
  EXPECT_EQ(size, static_cast<std::int32_t>(data.size()));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), appended.begin()));

  // B's encryption to himself is still for B's key alone.
  Bytes sealed = Encode(B(), data, "DB.2");
  Bytes copy = sealed;
  EXPECT_NE(Decode(A(), copy), 0);
  EXPECT_EQ(Decode(B(), sealed), 0);
  EXPECT_EQ(sealed, data);

  // The current user's own UID, given explicitly, signs as before.
  std::string signer;
  EXPECT_EQ(Verify(B(), data, Sign(A(), data, "DA.1"), &signer), 0);
  EXPECT_EQ(signer, "DA.1");
}

// A stale link in a key directory (its target gone) is passed over; the other files are found.
TEST_F(DataOpsTest, DanglingLinksInKeyDirectoriesAreSkipped) {
#ifdef _WIN32
  GTEST_SKIP() << "symbolic links need a privilege on Windows and are not made under wine";
#endif
  TestRoot& root = TestRoot::Get();
  const std::filesystem::path links[] = {root.dir() + "data_a/sec/stale.sec",
                                         root.dir() + "data_b/crt/stale.crt"};
  for (const auto& link : links) std::filesystem::create_symlink(root.dir() + "no-such-file", link);
  char uid[256] = {};
  ASSERT_EQ(A().GetCurrentUserUID(uid), 0);
  A().Binding()->ClearKeyCache();  // the next operations list the directories again

  const Bytes data = Payload(500);
  Bytes signature(544);
  std::int32_t length = 0;
  const std::int32_t signed_ = A().SignData(data.data(), static_cast<std::int32_t>(data.size()),
                                            signature.data(), &length, nullptr);
  signature.resize(static_cast<std::size_t>(std::max(length, 0)));
  std::string signer;
  const std::int32_t verified = Verify(B(), data, signature, &signer);
  for (const auto& link : links) std::filesystem::remove(link);
  EXPECT_EQ(signed_, 0);
  EXPECT_EQ(verified, 0);
  EXPECT_EQ(signer, "DA.1");
}

TEST_F(DataOpsTest, SecretKeySelfTestSignsAndVerifies) {
  char uid[256] = "DA.1";
  std::int32_t size = 255;
  ASSERT_EQ(A().QueryByCode(20, nullptr, 0, 0, uid, &size), 0);
  EXPECT_STREQ(uid, "DA.1");
  EXPECT_EQ(size, 4);
  char nobody[256] = "Nobody.1";
  EXPECT_NE(A().QueryByCode(20, nullptr, 0, 0, nobody, &size), 0);  // no key set for that UID
}

// Random and truncated containers, blocks, trailers and signature blocks: never a crash, never a
// read out of bounds (run under AddressSanitizer), and a damaged signature never verifies.
TEST_F(DataOpsTest, MalformedInputIsRefused) {
  const Bytes plain = Payload(200);
  const Bytes samples[] = {Encode(A(), plain, "DB.2"), Encode(A(), plain, "DB.2;DC.3")};
  const Bytes signature = Sign(A(), plain);
  std::mt19937 gen(2026);
  auto mutate = [&](Bytes b) {
    switch (gen() % 4) {
      case 0:  // truncate
        b.resize(gen() % (b.size() + 1));
        break;
      case 1:  // flip bytes, mostly in the head where the lengths are
        for (int k = 0; k < 3; ++k)
          b[gen() % std::min<std::size_t>(b.size(), 64)] ^=
              static_cast<std::uint8_t>(1 << (gen() % 8));
        break;
      case 2: {  // a wild value in one of the first four fields (lengths, the recipient count)
        const std::size_t at = (gen() % 4) * 4;
        const std::int32_t v = static_cast<std::int32_t>(gen());
        std::memcpy(b.data() + at, &v, 4);
        break;
      }
      default:  // random bytes of a random length
        b.resize(gen() % 600);
        for (auto& x : b) x = static_cast<std::uint8_t>(gen());
    }
    return b;
  };
  constexpr int kRounds = 1500;
  for (int round = 0; round < kRounds; ++round) {
    Bytes container = mutate(samples[round % 2]);
    if (container.empty()) container.push_back(0);
    // Exactly the mutated bytes: a heap buffer of that size, so any overread is caught.
    auto owned = std::make_unique<std::uint8_t[]>(container.size());
    std::memcpy(owned.get(), container.data(), container.size());
    std::int32_t size = static_cast<std::int32_t>(container.size());
    const std::int32_t r = B().DecodeData(owned.get(), &size, nullptr);
    // What opens is the data itself (a change in another reader's part leaves B's intact).
    if (r == 0 && !std::equal(plain.begin(), plain.end(), owned.get(), owned.get() + size))
      ADD_FAILURE() << "damaged data decrypted to other bytes, round " << round;

    Bytes sig = mutate(signature);
    if (sig.empty()) sig.push_back(0);
    auto ownedSig = std::make_unique<std::uint8_t[]>(sig.size());
    std::memcpy(ownedSig.get(), sig.data(), sig.size());
    char signer[256];
    const std::int32_t v =
        B().VerifyData(plain.data(), static_cast<std::int32_t>(plain.size()), ownedSig.get(),
                       static_cast<std::int32_t>(sig.size()), signer);
    if (v == 0 && sig != signature)
      ADD_FAILURE() << "a damaged signature verified, round " << round;

    Bytes appended = mutate(signature);
    appended.resize(appended.size() + 10);
    std::int32_t length = static_cast<std::int32_t>(appended.size());
    B().RemoveSign(appended.data(), &length, signer);
  }
}

}  // namespace
}  // namespace vornak2::testing
