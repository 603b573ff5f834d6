// libFuzzer target for public-key transfers as a receiving engine gets them: text, decoded from
// Base64 and read as a signed block (built with -DVORNAK2_FUZZ=ON, run by scripts/fuzz, seeded
// with real transfers from fuzz/corpus/transfer_fuzz). Whatever the reader accepts must lie inside
// the decoded bytes, keep the bounds the engine relies on (a UID that fits a UID buffer, at most
// 2047 carried bytes, a carried name whose last component is a suffix of it), and read back
// unchanged once its block is written again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_checks.h"
#include "layouts/layouts.h"
#include "support/files.h"
#include "support/mimecode.h"

namespace {

using namespace vornak2::layouts;

using vornak2::fuzz::Check;
using vornak2::fuzz::Inside;

bool InsideText(std::string_view part, Bytes whole) {
  return Inside(Bytes(reinterpret_cast<const std::uint8_t*>(part.data()), part.size()), whole);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 16) return 0;
  // An exact-size copy, so that a read past the text is caught.
  const auto text = std::make_unique<char[]>(size == 0 ? 1 : size);
  if (size != 0) std::memcpy(text.get(), data, size);
  const std::vector<std::uint8_t> decoded =
      vornak2::TryDecodeBuffer(text.get(), static_cast<std::int32_t>(size));
  Check(decoded.size() <= size / 4 * 3);

  const Bytes whole(decoded);
  const auto transfer = ReadSignedTransfer(whole);
  if (!transfer) return 0;
  const PublicKeyBlockView& b = transfer->block;
  Check(InsideText(b.uid, whole) && InsideText(b.fileName, whole) && Inside(b.data, whole));
  Check(Inside(transfer->signature.signature, whole));
  Check(b.uid.size() < kTransferTextField - 1 && b.fileName.size() < kTransferTextField);
  Check(b.data.size() <= kMaxCarriedFile);
  const std::string_view name = vornak2::FileNamePart(b.fileName);
  Check(name.size() <= b.fileName.size() &&
        b.fileName.substr(b.fileName.size() - name.size()) == name);

  std::vector<std::uint8_t> again(kPublicKeyTransferBlockSize, 0xEE);
  Check(WritePublicKeyBlock(again, b.uid, b.fileName, b.data) == kPublicKeyTransferBlockSize);
  const auto reread = ReadPublicKeyBlock(again);
  Check(reread && reread->uid == b.uid && reread->fileName == b.fileName &&
        reread->data.size() == b.data.size() &&
        (b.data.empty() || std::memcmp(reread->data.data(), b.data.data(), b.data.size()) == 0));
  return 0;
}
