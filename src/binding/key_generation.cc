// Key generation: a new key pair for a user (a renewal takes the next key number), with the
// secret key written owner-only and the certificate request beside it.
#include "binding/ccom_dll.h"

#include <cstring>
#include <vector>

#include "binding/guards.h"
#include "support/files.h"

namespace vornak2 {

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

    const std::string dir = AddPathSeparator(a.outputDir);
    const std::string secretFile = dir + std::to_string(newNumber) + ".sec";
    // A secret key file of the new key's number is moved aside, never overwritten; a failure to
    // write the new one puts it back.
    std::string parked;
    if (FileExists(secretFile)) {
      parked = FreeOldKeyName(dir, newNumber);
      if (!RenameNoReplace(secretFile, parked)) return kNewSecretKeyWriteFailed;
    }
    auto undo = [&] {
      DeleteFile(secretFile);
      if (!parked.empty()) RenameNoReplace(parked, secretFile);
    };
    const char* secret = OrEmpty(secretText.get());
    if (!WriteBufferToFile(secretFile, secret,
                           static_cast<std::int32_t>(::strnlen(secret, CC_MAX_TEXT)), true)) {
      undo();
      return kNewSecretKeyWriteFailed;
    }
    const char* request = OrEmpty(requestText.get());
    const std::string requestName =
        a.newUid.empty() ? std::string() : a.newUid.substr(a.newUid.size() - 1);
    // The new secret key stays when only its request cannot be written: its number is reported
    // with 127, and the request can be made again from it.
    keyNumber = newNumber;
    return WriteBufferToFile(dir + requestName + ".pub", request,
                             static_cast<std::int32_t>(::strnlen(request, CC_MAX_TEXT)))
               ? kOk
               : kRequestWriteFailed;
  });
}

}  // namespace vornak2
