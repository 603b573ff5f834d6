// Key generation: a new key pair for a user (a renewal takes the next key number), with the
// secret key written owner-only and the certificate request beside it.
#include "binding/ccom_dll.h"

#include <cstring>
#include <vector>

#include "binding/guards.h"
#include "platform/platform.h"
#include "support/file_change.h"
#include "support/files.h"

namespace vornak2 {
namespace {

std::span<const std::uint8_t> AsBytes(const char* text, std::size_t size) {
  return {reinterpret_cast<const std::uint8_t*>(text), size};
}

}  // namespace

// ---- key generation ----

std::int32_t TCComDLL::GenerateKeys(const KeyGenerationArgs& a, std::int32_t& keyNumber) {
  keyNumber = kNoKeyNumber;
  if (!a.currentUid.empty()) {
    if (a.certDir.empty()) return kNoCertificateDir;
    if (a.currentKeyPath.empty()) return kNoCurrentKeyPath;
  }
  if (a.randomFile.empty()) return kNoRandomFile;
  return Guarded([&]() -> std::int32_t {
    // Released in the reverse order: the context, the generator, then the library's texts.
    CertRecord record(cc_);
    LibraryText secretText(cc_);
    LibraryText requestText(cc_);
    RandomSession random(cc_);
    // Keys are never generated from a generator that could not be started and seeded.
    Context ctx(*this);
    if (const std::int32_t r = StartOperation(*this, a.randomKind, random, ctx, a.currentUid,
                                              a.secretDir, a.certDir, a.cipher, a.hash);
        r != 0)
      return r;

    std::int32_t newNumber = 0;
    if (a.currentUid == a.newUid) {
      std::vector<char> text;
      if (!CachedCertificate(ctx.get(), a.currentUid, a.currentUid, text))
        return kCertificateNotInStore;
      CertInfoFromCache(a.secretDir, a.currentUid, ctx.get(), text.data(), record.Out());
      if (record.get() == nullptr) return kVendorCertificateRead;
      if (a.checkValidity && record.get()->status != 0) return record.get()->status;
      newNumber = record.get()->keyNumber + 1;
    }

    cc_._SetPKSParameters(ctx.get(), a.first, a.second);
    cc_._SetPeriod(ctx.get(), static_cast<std::uint16_t>(a.period));
    const std::int32_t generated = cc_._NewKeys(ctx.get(), a.newUid.c_str(), newNumber,
                                                secretText.Out(), requestText.Out(), 0, 0);
    if (generated != 0) return generated;

    const char* secret = OrEmpty(secretText.get());
    const std::size_t secretSize = ::strnlen(secret, CC_MAX_TEXT);
    const char* request = OrEmpty(requestText.get());
    const std::size_t requestSize = ::strnlen(request, CC_MAX_TEXT);
    if (a.secretKeyOut != nullptr && a.requestOut != nullptr) {
      a.secretKeyOut->emplace(secretSize);
      std::memcpy((*a.secretKeyOut)->data(), secret, secretSize);
      a.requestOut->assign(request, requestSize);
      keyNumber = newNumber;
      return kOk;
    }

    // The new files are written under temporary names and moved into place as one change. A
    // secret key file of the new key's number is kept under a free ".old" name, never
    // overwritten, and its own name never goes missing.
    const std::string dir = AddPathSeparator(a.outputDir);
    const std::string secretFile = dir + std::to_string(newNumber) + ".sec";
    const std::string requestName =
        a.newUid.empty() ? std::string() : a.newUid.substr(a.newUid.size() - 1);
    const std::string requestFile = dir + requestName + ".pub";
    // The output directory's lock (held already when the engine generates), and what a stopped
    // change left recorded there settled first.
    if (!DirExists(dir)) return kNewSecretKeyWriteFailed;
    const DirectoryLocks locks({dir}, LockWait());
    if (!locks.Held()) return kKeyFilesBusy;
    RecoverChanges(dir, false);
    FileChange change(dir);
    if (FileExists(secretFile))
      change.Copy(dir, FreeOldKeyName(dir, newNumber), secretFile, /*secret=*/true);
    change.Write(dir, secretFile, AsBytes(secret, secretSize), /*secret=*/true);
    // The new secret key is kept when only its request cannot be written (a directory of its
    // name): its number is reported with 127, and the request can be made again from it.
    const bool requestStaged = !DirExists(requestFile);
    if (requestStaged) change.Write(dir, requestFile, AsBytes(request, requestSize));
    if (!change.Prepare() || !change.Commit()) return kNewSecretKeyWriteFailed;
    keyNumber = newNumber;
    return requestStaged ? kOk : kRequestWriteFailed;
  });
}

}  // namespace vornak2
