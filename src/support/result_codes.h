// The result codes of the library, named after what they mean. Every operation that can fail
// answers one of them: the engine, the binding and the message table all use these names, so a
// code is written as a number only here.
//
// The code space: 0 is success; 1 to 9 are general failures (the binding's own, and a few the
// engine gives as well); 103 to 136 are the engine's own checks; the negative codes are the vendor
// library's, which the binding passes on unchanged. The vendor codes named below are the ones
// this library gives by itself; every other vendor code only passes through.
#pragma once

#include <cstdint>

namespace vornak2 {

enum ResultCode : std::int32_t {
  kOk = 0,

  // ---- general failures ----
  kLibraryNotLoaded = 1,
  kBadParameters = 2,         // for example fewer than two recipients in a list
  kLibraryCallException = 3,  // an exception inside a binding call; the binding keeps its text
  kBadEncryptedData = 4,      // a block or container whose layout does not hold
  kOutOfMemory = 5,           // the binding could not allocate, or the library gave no object
  kNotSupported = 6,
  kHardwareRandomUnavailable = 7,
  kFileOperationFailed = 8,
  kBadSecretPath = 9,

  // ---- the engine's own checks ----
  kBadUid = 103,     // a UID that is wrong for the operation, for example another user's as signer
  kBadLength = 104,  // a length or buffer that does not fit
  kEngineOutOfMemory = 105,  // the engine could not allocate, or a result outgrew its room
  kNoSignature = 106,        // data without a (plausible) appended signature
  kFileOrUidError = 107,
  kCertificateFileNotFound = 108,
  kNewSecretKeyNotFound = 109,
  kNullPointer = 110,  // a null pointer or a length that cannot be right
  kBadHashAlgorithm = 111,
  kCertificateNotInStore = 112,  // no (readable) certificate for the UID in the store
  kBadRemoteGenerationDir = 113,
  kBadKeyGenDir = 114,
  kBadTimeout = 115,
  kNoUidInCertificate = 116,  // the current certificate yields no UID
  kNewSecretKeyWriteFailed = 117,
  kCertificateOrRequestUnreadable = 118,
  kTransferFileFailed = 119,
  kSecretKeyNotFound = 120,  // the current secret key is not in the key-file cache
  kNoUid = 121,
  kNoRandomFile = 122,
  kNoCertificateDir = 123,
  kNoCurrentKeyPath = 124,
  kNoSecretDir = 125,
  kRandomFileFailed = 126,  // the random-state file cannot be read or written
  kRequestWriteFailed = 127,
  kBadKeyGenSettings = 128,
  kRemoteGenerationDirFailed = 129,
  kNoAuthorityCertificate = 130,
  kCannotReplaceIssuer = 131,
  kCannotRemoveOwnCertificate = 132,
  kNoSuchParameter = 133,
  kLibraryLoadFailed = 134,
  kLibraryIncomplete = 135,
  kEngineException = 136,  // an exception inside an engine operation; the engine keeps its text

  // ---- vendor library codes that this library gives by itself ----
  kNotProvided = -1,  // an operation this engine does not provide (the base engine's answer)
  kVendorCertificateRead = -2,     // no certificate-information record for a certificate text
  kVendorSecretKeyFormat = -16,    // a secret key without an information record
  kVendorAuthorityFormat = -10,    // an authority certificate cannot be read
  kVendorAuthorityExpired = -11,   // an authority certificate outside its validity
  kVendorAuthorityNotFound = -12,  // no trusted authority certificate for an issuer
  kVendorRead = -30,               // a key, certificate or authority file cannot be read
  kVendorDeleteFile = -32,
  kVendorCannotDecrypt = -35,  // the current user is not a recipient of a container
  kKeyFilesBusy = -63,  // "process interrupted": another process held the key files' locks too long
  // a certificate its authority's CRL lists (a vendor library that knows no revocation never
  // answers it; ours does when the certificate's authority keeps a CRL beside its certificate)
  kVendorRevoked = -84,
  kVendorUnknownCriticalExtension = -34,  // a certificate with a critical extension not processed
  kVendorNotForThisUse = -83,  // a chain link that may not certify, or no anchor within 16 links

  // ---- the base engine's routines (codes without a text of their own) ----
  kSaveSignedDataFailed = -102,
  kSaveSignedDataWriteFailed = -106,
};

}  // namespace vornak2
