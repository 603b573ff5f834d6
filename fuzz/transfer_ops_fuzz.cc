// libFuzzer target for every export that opens a public-key transfer, as FZ.2 of a real
// deployment who holds FZ.1's certificate (seeds from fuzz/make_corpus: FZ.1's own transfer, an
// authority certificate's and a request's). A refused text writes nothing and leaves the
// caller's output buffers as they were.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "deployment.h"

namespace {
VORNAK2_HANDLE engine = nullptr;
std::string inbox;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  engine = vornak2::fuzz::Deployment::Get().Engine("b");
  inbox = vornak2::fuzz::Deployment::Get().root() + "b/inbox";
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vornak2::fuzz::Check;
  using vornak2::fuzz::Deployment;
  if (size > 1 << 14) return 0;
  // The text, terminated, in a buffer of exactly its size.
  std::vector<char> text(data, data + size);
  text.push_back('\0');
  const char* t = text.data();

  char uid[258];
  std::memset(uid, 0x55, sizeof uid);
  Deployment::Get().StartCounting();
  if (GetUIDByPublicKeyTransfer(engine, t, uid) != 0) Check(uid[0] == 0x55);
  Check(uid[257] == 0x55);
  std::vector<char> report(2049, 0x55);
  if (GetPublicKeyPropertiesByTransfer(engine, t, report.data()) != 0) Check(report[0] == 0x55);
  Check(report[2048] == 0x55);
  std::int32_t match = 7;
  if (CertAndRequestTransferMatch(engine, t, t, &match) != 0) Check(match == 7);
  Check(!Deployment::Get().Wrote());

  // The operations that write on success: a refusal writes nothing.
  for (auto op :
       {+[](VORNAK2_HANDLE e, const char*s) {
          return SavePublicKeyFromTransfer(e, inbox.c_str(), s);
        },
        +[](VORNAK2_HANDLE e, const char*s) { return IncludePublicKeyTransfer(e, s); },
        +[](VORNAK2_HANDLE e, const char*s) { return IncludeCACertificateFromTransfer(e, s); }}) {
    Deployment::Get().StartCounting();
    if (op(engine, t) != 0) Check(!Deployment::Get().Wrote());
  }
  return 0;
}
