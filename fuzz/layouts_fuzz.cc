// libFuzzer target for the byte layouts (built with -DVORNAK2_FUZZ=ON, run by scripts/fuzz).
// Every reader gets the same random bytes, from an exact-size copy so that any read past them is
// caught. Whatever a reader accepts must lie inside the input and must come back unchanged when
// it is written again and read again.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "layouts/layouts.h"

namespace {

using namespace vornak2::layouts;

using vornak2::fuzz::Check;
using vornak2::fuzz::Inside;

bool Same(Bytes a, Bytes b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size()) == 0);
}

void Blocks(Bytes in) {
  for (const bool withKeyNumber : {true, false}) {
    const auto block = withKeyNumber ? ReadCertBlock(in) : ReadKeyBlock(in);
    if (!block) continue;
    Check(Inside(block->data, in) && Inside(block->key, in) && Inside(block->iv, in));
    std::vector<std::uint8_t> again(in.size());
    const auto n = withKeyNumber
                       ? WriteCertBlock(again, block->keyNumber, block->data, block->key, block->iv)
                       : std::optional<std::size_t>(in.size());
    Check(n && *n == in.size());
    if (withKeyNumber) Check(Same(again, in));
  }
}

void Signatures(Bytes in) {
  if (const auto uid = ReadSignerUid(in)) Check(uid->size() < kUidFieldSize);
  if (const auto sig = ReadSignatureBlock(in)) {
    Check(Inside(sig->uidField, in) && Inside(sig->signature, in));
    Check(!sig->signature.empty() && sig->signature.size() <= kMaxLibrarySignature);
    const auto field = MakeUidField(sig->signerUid);
    Check(field.has_value());
    std::vector<std::uint8_t> out(kMaxSignatureBlock);
    Check(WriteSignatureBlock(out, *field, sig->signature).has_value());
  }
  if (const auto appended = ReadAppendedSignature(in)) {
    Check(Inside(appended->data, in) && Inside(appended->signatureBlock, in));
    Check(!appended->data.empty() && !appended->signatureBlock.empty());
    Check(appended->data.size() + appended->signatureBlock.size() + kAppendedTrailerSize ==
          in.size());
  }
}

void Containers(Bytes in) {
  const auto c = ReadContainer(in);
  if (!c) return;
  Check(IsContainer(in));
  Check(Inside(c->fields, in) && Inside(c->slots, in) && Inside(c->payload, in));
  Check(ContainerHeadSize(c->recipients) + c->payload.size() == in.size());
  // A recipient named by the bytes themselves, then every slot.
  const std::string probe(
      reinterpret_cast<const char*>(in.data()) + kContainerHeader,
      strnlen(reinterpret_cast<const char*>(in.data()) + kContainerHeader, kRecipientFieldSize));
  if (const auto found = FindRecipient(*c, probe)) Check(*found < c->recipients);
  std::vector<Bytes> keys;
  for (std::size_t i = 0; i < c->recipients; ++i) {
    const auto key = ReadKeySlot(*c, i);
    if (!key) return;
    Check(Inside(*key, in) && key->size() <= kMaxSlotKey);
    keys.push_back(*key);
  }
  // Every slot readable: the container written again from its parts reads back the same.
  std::vector<std::string> recipients;
  for (std::size_t i = 0; i < c->recipients; ++i) {
    const char* field = reinterpret_cast<const char*>(c->fields.data()) + i * kRecipientFieldSize;
    const std::size_t n = strnlen(field, kRecipientFieldSize);
    if (n == kRecipientFieldSize) return;
    recipients.emplace_back(field, n);
  }
  std::vector<std::uint8_t> again(in.size());
  Check(WriteContainer(again, recipients, keys, c->payload) == in.size());
  const auto back = ReadContainer(again);
  Check(back && back->recipients == c->recipients && Same(back->payload, c->payload));
  for (std::size_t i = 0; i < c->recipients; ++i) Check(Same(*ReadKeySlot(*back, i), keys[i]));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 1 << 20) return 0;
  const auto copy = std::make_unique<std::uint8_t[]>(size == 0 ? 1 : size);
  if (size != 0) std::memcpy(copy.get(), data, size);
  const Bytes in(copy.get(), size);
  Blocks(in);
  Signatures(in);
  Containers(in);
  return 0;
}
