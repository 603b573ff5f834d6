/* Binary interface of the cc crypto library (libcc.so / cc.dll).
 *
 * One header for both sides: the library that implements the 62 entry points and the binding that
 * loads it at run time. It is plain C (usable from C and C++); the C++-only part at the end adds a
 * compile-time table of the decorated names and the derivation of the exported symbol names.
 *
 * Exported names. The decorated name of an entry point is its name, "@" and the size of its
 * arguments in bytes on 32-bit targets ("__CertInfo@12"). Windows exports the decorated names.
 * ELF symbol names cannot carry "@" (it introduces a symbol version), so POSIX builds export the
 * decorated name without its "@N" suffix, leading underscores kept: "__CertInfo@12" ->
 * "__CertInfo".
 *
 * Conventions of every entry point:
 *  - integer arguments and results are signed 32-bit; 0 is success, a negative value is one of the
 *    library result codes below (the messages of codes -1..-86 are fixed by the adapter's table);
 *  - texts are zero-terminated 8-bit texts; every text the library accepts is at most
 *    CC_MAX_TEXT bytes, longer input is refused;
 *  - a pointer returned in an out-parameter belongs to the library and is released only through
 *    the matching release entry point (_BufferFree, _BufferCleanFree, __BufferCleanFree,
 *    _FreeCertInfo, _FreeSecInfo); out-parameters are set to null/0 on failure;
 *  - paths returned by _GetCertPath and _GetSecPath stay valid until the next call on the same
 *    context or its release, and are never released by the caller;
 *  - the library is thread-safe: contexts are independent, a single context must not be used by
 *    two threads at once.
 *
 * Algorithms (names compared without regard to letter case):
 *  - hash "34.11" (GOST R 34.11-2012, 256-bit, default) and "MD5"; other names give
 *    CC_E_UNKNOWN_HASH (-66);
 *  - cipher "28147" (GOST 28147-89, CFB, 8-byte IV, parameter set Z, CryptoPro key meshing,
 *    default) and "28147-ECB" (ECB with PKCS#7-style padding of 1..8 bytes); other names give
 *    CC_E_UNKNOWN_CIPHER (-67). Enciphering seals the data: an 8-byte marker, the data under a
 *    key derived from the session key and the IV (and from the enciphered session key that
 *    delivered it, when the same context made or opened it), then a 16-byte Poly1305 tag, which
 *    the final call writes. Exactly 32 bytes under "28147-ECB" (a session key in a key slot) take
 *    a compact form of 44 bytes, told by that length: the 32 bytes under ECB without padding and
 *    12 bytes of the tag, no marker. The deciphering final call checks the tag and answers
 *    CC_E_DECRYPT when it fails (the plaintext given before is then not the data's); data
 *    enciphered before sealing (no marker) deciphers as before. One update call writes at most
 *    its input's length + 44 bytes, a final call at most 56; input and output may share memory
 *    only as the same address;
 *  - signatures GOST R 34.10-2012: r || s, CC_SIGNATURE_SIZE (64) bytes with a 256-bit key,
 *    CC_SIGNATURE_SIZE_512 (128) bytes with a 512-bit key; the hash "34.11" is GOST R 34.11-2012
 *    of the key's size (256-bit or 512-bit digest); _BufferVerifyFinal reads the size of the
 *    certificate's key;
 *  - session keys: 32 random bytes, delivered to a recipient by VKO GOST R 34.10-2012 with an
 *    ephemeral key and an 8-byte UKM, then the CryptoPro key wrap (wrapped key + 4-byte MAC).
 *
 * Key generation settings (_SetPKSParameters(ctx, first, second) and _SetPeriod(ctx, days)):
 *  - first  selects the parameter set of new keys by its code (CC_CURVE_..., 0 to 11). Values of
 *           256 and more are the "secret key length in bits" of older configurations (the
 *           adapter's default is 1024): new keys then follow the parameter set of the user's
 *           current key: the certificate of the context's identifier as __CertInfo last read it
 *           on the context, else as the certificate store holds it (_GetCertPath), else the
 *           newest secret key in the secret-key directory (the highest N of "N.sec"); a user
 *           without any gets id-tc26-gost-3410-2012-256-paramSetA. Any other value makes _NewKeys
 *           fail with -76.
 *  - second is the public key length in bits: 0 or 256 leave the size to `first` (256 was the
 *           only size once), 512 asks for a 512-bit key: the set `first` names, else the current
 *           key's when it is a 512-bit one, else id-tc26-gost-3410-12-512-paramSetA. A 256-bit set
 *           named in `first` with 512, or any other value, makes _NewKeys fail with -68.
 *  - days   is the validity period of new keys in days, a 16-bit value: 1..65535; 0 selects the
 *           default of CC_DEFAULT_PERIOD_DAYS. A value passed as a signed 16-bit number
 *           (-32768..-1) is read as its unsigned 16-bit value. Values outside -32768..65535 are
 *           refused with -45 and the setting is kept.
 *
 * Dates. Validity texts are "dd.mm.yyyy hh:mm" in UTC; the library compares them with the current
 * UTC time, minute by minute (a certificate is valid from its first minute through its last).
 *
 * Certificate status (field `status` of CcCertInfo, set by __CertInfo):
 *  - certificate: 0 when its chain of authority certificates (see Trust), obtained through the
 *    context's authority-key lookup (callback(issuer name, issuer key number) returns the ".aut"
 *    text), reaches a self-signed authority certificate, the issuer's signature over the
 *    certificate verifies, no CRL lists it or a link (see Revocation) and now is inside the
 *    certificate's validity. Otherwise, checked in this order: -34 the certificate has an
 *    unprocessed critical extension; then link by link from the issuer up: -12 no lookup
 *    function, no such authority certificate or one of another name/number; -10 unreadable
 *    authority certificate, or one without cA; -34; -11 authority certificate outside its
 *    validity; -83 it may not certify (keyUsage, path length); -86 its signature over the link
 *    below, or its own self-signature, is wrong; -83 no self-signed link within 16; then -78 the
 *    issuer's signature over the certificate is wrong; -84 revoked; -77 not valid yet; -5 expired.
 *  - request: a request is never a valid certificate. -82 when its proof-of-possession signature
 *    verifies (well-formed but not certified by an issuer), -74 when it does not.
 *  Trust. The authority certificates a certificate rests on form a chain of at most 16 links up
 *  to a self-signed one: the issuer's, found by its name and key number, then that one's issuer,
 *  and so on (a roll-over, an authority's next key certified by its previous one, is a link as an
 *  intermediate authority is). Every link is an authority certificate (basicConstraints cA) inside
 *  its validity, allows keyCertSign when it carries keyUsage, and has no more intermediate
 *  authorities below it than its pathLenConstraint allows (roll-overs, issued under the same
 *  name, are not counted). A certificate or link with a critical extension this library does
 *  not process is not used at all: -34. A link that may not certify, or no self-signed
 *  authority within 16 links: -83.
 *  Revocation. When the context has a secret path, the library reads the CRL of each link
 *  (RFC 5280 v2, PEM or DER, at most CC_MAX_CRL bytes) from the file
 *  <secret path>/<authority UID>/<key number>.crl, beside that authority's ".aut": issued under
 *  the authority's name and number and signed by its key (which allows cRLSign when its keyUsage
 *  is present). A certificate it lists, or a link it lists, gives -84 (after -78, before -77
 *  and -5); a self-signed authority certificate is a root of trust that no CRL revokes. A CRL
 *  past its nextUpdate is still honoured: what it lists stays revoked, what it does not list is
 *  taken as not revoked. A CRL that cannot be read, does not parse, is not that
 *  authority's, does not verify, or carries a critical extension this library does not process
 *  is ignored; field `revocation` of the record says so (see CcCertInfo).
 * Key usage (whatever the validity check): _BufferVerifyInit refuses a certificate whose keyUsage
 * allows neither digitalSignature nor nonRepudiation, _SessionKeyEncrypt one whose keyUsage
 * allows neither keyEncipherment nor keyAgreement: -46. Both refuse a certificate with an
 * unprocessed critical extension: -34.
 * Secret-key status (field `status` of CcSecInfo, set by __SecInfo): 0 valid; -73 integrity check
 * failed (damaged file); -80 not valid yet; -17 expired.
 *
 * Secret keys. Besides its own form, the library reads the unencrypted PKCS#8 keys of other GOST
 * tools: the private key bare, as an OCTET STRING or as an INTEGER, with or without the library's
 * attributes (UID, key number, validity, integrity check). A key without them takes the UID, key
 * number and validity from the certificate of the same public key that __CertInfo last read on
 * the context (the caller's own certificate, read before the key when it signs); without such a
 * certificate, __SecInfo gives the context's identifier, key number 0, empty validity texts and
 * status 0. A text that is no key the library can read answers -16; a key in the library's own
 * form whose integrity check fails answers -73.
 */
#ifndef VORNAK2_CC_ABI_H
#define VORNAK2_CC_ABI_H

#include <stddef.h>
#include <stdint.h>

/* Calling convention of the entry points: standard call on 32-bit Windows only. */
#if defined(_WIN32) && !defined(_WIN64)
#define CC_CALL __stdcall
#define CC_CDECL __cdecl
#else
#define CC_CALL
#define CC_CDECL
#endif

/* Marks the entry points as exported when the library itself is built (CC_BUILDING_LIBRARY). */
#if defined(CC_BUILDING_LIBRARY)
#if defined(_WIN32)
#define CC_EXPORT __declspec(dllexport)
#else
#define CC_EXPORT __attribute__((visibility("default")))
#endif
#else
#define CC_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- limits and sizes ---- */
#define CC_ENTRY_COUNT 62
#define CC_MAX_TEXT 2047           /* longest key, certificate, request or random-state text */
#define CC_MAX_UID 31              /* longest UID */
#define CC_SIGNATURE_SIZE 64       /* _BufferSignFinal output: r || s, big-endian (256-bit key) */
#define CC_SESSION_KEY_SIZE 32     /* _SessionKeyEncrypt/_SessionKeyDecrypt session key */
#define CC_IV_SIZE 8               /* _BufferCipherInit initialisation vector */
#define CC_ENCIPHERED_KEY_SIZE 116 /* _SessionKeyEncrypt enciphered session key (see below) */
#define CC_MAX_CHUNK 65535         /* longest length of one update call (16-bit) */
#define CC_DEFAULT_PERIOD_DAYS 365

/* The same sizes with a 512-bit key: the longest signature and enciphered session key. */
#define CC_SIGNATURE_SIZE_512 128
#define CC_ENCIPHERED_KEY_SIZE_512 180

/* Enciphered session key (self-delimiting; _SessionKeyDecrypt reads only the pointer), for a
 * recipient key of n-byte numbers (n = 32 for a 256-bit key, 64 for a 512-bit one):
 *   0     1   format tag CC_ENCIPHERED_KEY_TAG   1     1   curve (CC_CURVE_...)
 *   2     2   total size, little-endian          4     4   recipient key number, little-endian
 *   8     2n  ephemeral public key X || Y        8+2n  8   UKM
 *  16+2n  32  wrapped session key               48+2n  4   MAC of the key wrap
 * 116 bytes in all for n = 32, 180 for n = 64. */
#define CC_ENCIPHERED_KEY_TAG 0xE1

/* Parameter sets of GOST R 34.10-2012 keys (CcCertInfo.curve, CcSecInfo.curve, the first
 * key-generation setting). Sets with another name for the same curve keep their own code. */
#define CC_CURVE_TC26_256_A 0     /* id-tc26-gost-3410-12-256-paramSetA */
#define CC_CURVE_CRYPTOPRO_A 1    /* id-GostR3410-2001-CryptoPro-A-ParamSet */
#define CC_CURVE_TC26_256_B 2     /* id-tc26-gost-3410-12-256-paramSetB (curve of CryptoPro-A) */
#define CC_CURVE_TC26_256_C 3     /* id-tc26-gost-3410-12-256-paramSetC (curve of CryptoPro-B) */
#define CC_CURVE_TC26_256_D 4     /* id-tc26-gost-3410-12-256-paramSetD (curve of CryptoPro-C) */
#define CC_CURVE_CRYPTOPRO_B 5    /* id-GostR3410-2001-CryptoPro-B-ParamSet */
#define CC_CURVE_CRYPTOPRO_C 6    /* id-GostR3410-2001-CryptoPro-C-ParamSet */
#define CC_CURVE_CRYPTOPRO_XCHA 7 /* id-GostR3410-2001-CryptoPro-XchA-ParamSet (curve A) */
#define CC_CURVE_CRYPTOPRO_XCHB 8 /* id-GostR3410-2001-CryptoPro-XchB-ParamSet (curve C) */
#define CC_CURVE_TC26_512_A 9     /* id-tc26-gost-3410-12-512-paramSetA */
#define CC_CURVE_TC26_512_B 10    /* id-tc26-gost-3410-12-512-paramSetB */
#define CC_CURVE_TC26_512_C 11    /* id-tc26-gost-3410-2012-512-paramSetC */

/* Kinds of text documents (CcCertInfo.kind). */
#define CC_DOC_CERTIFICATE 1
#define CC_DOC_REQUEST 2

/* Cipher directions of _BufferCipherInit. */
#define CC_ENCIPHER 0
#define CC_DECIPHER 1

/* ---- result codes used by the library (meanings are those of the adapter's message table) ---- */
#define CC_OK 0
#define CC_E_CERT_READ (-2)   /* no certificate text */
#define CC_E_CERT_FORMAT (-4) /* malformed certificate or request */
#define CC_E_CERT_EXPIRED (-5)
#define CC_E_AUTHORITY_FORMAT (-10)    /* authority certificate unreadable */
#define CC_E_AUTHORITY_EXPIRED (-11)   /* authority certificate outside its validity */
#define CC_E_AUTHORITY_NOT_FOUND (-12) /* no authority certificate for the issuer */
#define CC_E_SECRET_FORMAT (-16)       /* text is not a secret key */
#define CC_E_SECRET_EXPIRED (-17)
#define CC_E_CREATE_FILE (-27)  /* random-state file cannot be created */
#define CC_E_DECRYPT (-35)      /* session key not for this secret key; data failing their seal */
#define CC_E_BLOCK_FORMAT (-41) /* malformed enciphered key or ciphertext length/padding */
#define CC_E_BAD_ARGUMENT (-45) /* null pointer, length out of range, bad UID */
#define CC_E_RANDOM (-54)       /* the random generator failed */
#define CC_E_MEMORY (-57)
#define CC_E_WRITE (-59)         /* random-state file cannot be written */
#define CC_E_NOT_SUPPORTED (-64) /* entry point not offered by this library */
#define CC_E_SIGNATURE (-65)     /* signature not confirmed */
#define CC_E_UNKNOWN_HASH (-66)
#define CC_E_UNKNOWN_CIPHER (-67)
#define CC_E_UNKNOWN_PKS (-68)      /* unsupported public key length */
#define CC_E_SECRET_INTEGRITY (-73) /* damaged secret key */
#define CC_E_PUBLIC_INTEGRITY (-74) /* request whose proof of possession fails */
#define CC_E_CONTEXT (-75)          /* no valid context, or a call out of sequence */
#define CC_E_KEY_FORMAT (-76)       /* unsupported key-generation setting */
#define CC_E_NOT_YET_VALID (-77)    /* certificate not valid yet */
#define CC_E_ISSUER_SIGNATURE (-78) /* issuer's signature over the certificate wrong */
#define CC_E_SECRET_NOT_YET_VALID (-80)
#define CC_E_UNCERTIFIED (-82)       /* a request: well-formed, but not a certificate */
#define CC_E_CERT_HEADER (-85)       /* not a certificate or request at all */
#define CC_E_AUTHORITY_DAMAGED (-86) /* authority certificate's self-signature wrong */
/* The trust decisions of certificates and their authorities' CRLs (see the header comment). */
#define CC_E_READ (-30)                    /* a CRL file there cannot be read, or is too long */
#define CC_E_UNKNOWN_CRITICAL (-34)        /* a critical extension the library does not process */
#define CC_E_KEY_USAGE (-46)               /* the certificate's keyUsage does not allow this use */
#define CC_E_AUTHORITY_NOT_PERMITTED (-83) /* a link may not certify, or the chain is too long */
#define CC_E_REVOKED (-84)                 /* listed in its authority's CRL */
#define CC_MAX_CRL (1 << 20)               /* longest CRL file the library reads */

/* ---- records ---- */

/* Authority-key lookup planted by the caller in the context record: returns the text of the
 * authority certificate (".aut") of the issuer `name` with key number `number`, or null. Plain C
 * calling convention. The text must stay valid during the library call that invoked it. */
typedef const char*(CC_CDECL* CcAuthorityLookup)(const char* name, int32_t number);

/* Context record returned by _InitCryptCtx. Only `authorityLookup` is meant to be written by the
 * caller; the rest belongs to the library. */
typedef struct CcContext {
  uint32_t magic;                    /* library's tag of a live context */
  int32_t reserved[29];              /* kept zero */
  CcAuthorityLookup authorityLookup; /* byte offset 120 on every target */
  void* impl;                        /* library-private state */
} CcContext;
#define CC_CONTEXT_CALLBACK_OFFSET 120

/* Certificate-information record (__CertInfo). Offsets: 32-bit | 64-bit. */
typedef struct CcCertInfo {
  int32_t keyNumber;       /*  0 |  0  key number; the secret-key file is named after it */
  int32_t kind;            /*  4 |  4  CC_DOC_CERTIFICATE or CC_DOC_REQUEST */
  int32_t issuerKeyNumber; /*  8 |  8  issuer's key number (a request: 0) */
  const char* uid;         /* 12 | 16  owner's UID */
  const char* issuerName;  /* 16 | 24  issuer's UID (a request: empty) */
  const char* validFrom;   /* 20 | 32  "dd.mm.yyyy hh:mm" */
  const char* validTo;     /* 24 | 40  "dd.mm.yyyy hh:mm" */
  const char* publicKey;   /* 28 | 48  public key X || Y as upper-case hex */
  int32_t curve;           /* 32 | 56  CC_CURVE_... */
  int32_t revocation;      /* 36 | 60  CC_REVOCATION_... or why a CRL was ignored (see below) */
  int32_t reserved2;       /* 40 | 64 */
  int32_t status;          /* 44 | 68  0 valid, otherwise a result code (see above) */
} CcCertInfo;

/* CcCertInfo.revocation: CC_REVOCATION_NONE when no CRL of the chain's authorities was found (or
 * the context has no secret path), CC_REVOCATION_CHECKED when every CRL found was used; else the
 * code of the first CRL that was ignored: -30 unreadable or too long, -4 malformed, -12 not the
 * authority's, -83 its authority does not allow cRLSign, -34 an unprocessed critical extension,
 * -65 its signature does not verify. Callers need not read it: the status says what counts. */
#define CC_REVOCATION_NONE 0
#define CC_REVOCATION_CHECKED 1

/* Secret-key-information record (__SecInfo). Offsets: 32-bit | 64-bit. */
typedef struct CcSecInfo {
  int32_t keyNumber;     /*  0 |  0 */
  const char* uid;       /*  4 |  8 */
  const char* validFrom; /*  8 | 16 */
  const char* validTo;   /* 12 | 24 */
  int32_t status;        /* 16 | 32  0 valid, -73 damaged, -80 not yet valid, -17 expired */
  int32_t curve;         /* 20 | 36 */
} CcSecInfo;

/* ---- the 62 entry points, in table order ----
 * X(number, name, argument bytes on 32-bit targets, result type, parameter list)
 * 28 entry points are not offered: they exist for completeness and answer CC_E_NOT_SUPPORTED
 * (-64) whatever their arguments: _RandReadFile, _SetPKSAlgorithm, _SetCurrentDir,
 * _SetArchivePath, _SetSignFlags, _SetVerifyFlags, _SetCipherFlags, _SetDebug, _KeysGeneration,
 * _FileSign, _FileVerify, _InitSubjectList, _FreeSubjectList, _AddSubject, _FileEncipher,
 * _FileDecipher, _FileDeleteSignatures, _GetArchCertPath, _GetInfoPath, _GetCAPath, _CertInfo,
 * _InfoInfo, __InfoInfo, _SecInfo, _FreeInfoInfo, _GetLibraryVersion, _NewCertificate,
 * _NewUserInfo. Their parameter lists are placeholders of the right argument count. */
#define CC_ENTRY_POINTS(X)                                                                        \
  X(1, _InitRand, 0, int32_t, (void))                                                             \
  X(2, _FreeRand, 0, int32_t, (void))                                                             \
  X(3, _RandSeed, 8, int32_t, (const void* seed, int32_t length))                                 \
  X(4, _RandReadFile, 4, int32_t, (const char* path))                                             \
  X(5, _RandWriteFile, 4, int32_t, (const char* path))                                            \
  X(6, _GetRandom, 8, int32_t, (void* buffer, int32_t length))                                    \
  X(7, _InitCryptCtx, 0, CcContext*, (void))                                                      \
  X(8, _FreeCryptCtx, 4, int32_t, (CcContext * ctx))                                              \
  X(9, _SetIdentifier, 8, int32_t, (CcContext * ctx, const char* uid))                            \
  X(10, _SetCipherAlgorithm, 8, int32_t, (CcContext * ctx, const char* name))                     \
  X(11, _SetPKSAlgorithm, 8, int32_t, (CcContext * ctx, const char* name))                        \
  X(12, _SetHashAlgorithm, 8, int32_t, (CcContext * ctx, const char* name))                       \
  X(13, _SetCurrentDir, 8, int32_t, (CcContext * ctx, const char* dir))                           \
  X(14, _SetSecretPath, 8, int32_t, (CcContext * ctx, const char* dir))                           \
  X(15, _SetPublicPath, 8, int32_t, (CcContext * ctx, const char* dir))                           \
  X(16, _SetArchivePath, 8, int32_t, (CcContext * ctx, const char* dir))                          \
  X(17, _SetPKSParameters, 12, int32_t, (CcContext * ctx, int32_t first, int32_t second))         \
  X(18, _SetPeriod, 8, int32_t, (CcContext * ctx, int32_t days))                                  \
  X(19, _SetSignFlags, 8, int32_t, (CcContext * ctx, int32_t flags))                              \
  X(20, _SetVerifyFlags, 8, int32_t, (CcContext * ctx, int32_t flags))                            \
  X(21, _SetCipherFlags, 8, int32_t, (CcContext * ctx, int32_t flags))                            \
  X(22, _SetDebug, 12, int32_t, (CcContext * ctx, int32_t level, const char* log))                \
  X(23, _KeysGeneration, 16, int32_t,                                                             \
    (CcContext * ctx, const char* uid, int32_t keyNumber, const char* dir))                       \
  X(24, _FileSign, 16, int32_t,                                                                   \
    (CcContext * ctx, const char* input, const char* output, int32_t flags))                      \
  X(25, _FileVerify, 16, int32_t,                                                                 \
    (CcContext * ctx, const char* input, const char* output, int32_t flags))                      \
  X(26, _InitSubjectList, 0, int32_t, (void))                                                     \
  X(27, _FreeSubjectList, 4, int32_t, (void* list))                                               \
  X(28, _AddSubject, 24, int32_t,                                                                 \
    (void* list, const char* uid, const char* name, int32_t keyNumber, int32_t flags,             \
     void* reserved))                                                                             \
  X(29, _FileEncipher, 20, int32_t,                                                               \
    (CcContext * ctx, void* list, const char* input, const char* output, int32_t flags))          \
  X(30, _FileDecipher, 16, int32_t,                                                               \
    (CcContext * ctx, const char* input, const char* output, int32_t flags))                      \
  X(31, _FileDeleteSignatures, 8, int32_t, (CcContext * ctx, const char* file))                   \
  X(32, _GetCertPath, 8, const char*, (CcContext * ctx, const char* uid))                         \
  X(33, _GetArchCertPath, 12, int32_t, (CcContext * ctx, const char* uid, int32_t keyNumber))     \
  X(34, _GetInfoPath, 8, int32_t, (CcContext * ctx, const char* uid))                             \
  X(35, _GetCAPath, 12, int32_t, (CcContext * ctx, const char* name, int32_t number))             \
  X(36, _GetSecPath, 8, const char*, (CcContext * ctx, int32_t keyNumber))                        \
  X(37, _CertInfo, 12, int32_t, (CcContext * ctx, const char* file, CcCertInfo** info))           \
  X(38, __CertInfo, 12, int32_t, (CcContext * ctx, const char* text, CcCertInfo** info))          \
  X(39, _InfoInfo, 12, int32_t, (CcContext * ctx, const char* file, void** info))                 \
  X(40, __InfoInfo, 12, int32_t, (CcContext * ctx, const char* text, void** info))                \
  X(41, _SecInfo, 12, int32_t, (CcContext * ctx, const char* file, CcSecInfo** info))             \
  X(42, __SecInfo, 12, int32_t, (CcContext * ctx, const char* text, CcSecInfo** info))            \
  X(43, _FreeCertInfo, 4, int32_t, (CcCertInfo * info))                                           \
  X(44, _FreeInfoInfo, 4, int32_t, (void* info))                                                  \
  X(45, _FreeSecInfo, 4, int32_t, (CcSecInfo * info))                                             \
  X(46, _GetLibraryVersion, 0, int32_t, (void))                                                   \
  X(47, _BufferSignInit, 8, int32_t, (CcContext * ctx, const char* secretKeyText))                \
  X(48, _BufferSignUpdate, 12, int32_t, (CcContext * ctx, const void* data, int32_t length))      \
  X(49, _BufferSignFinal, 12, int32_t, (CcContext * ctx, uint8_t * *signature, int32_t * length)) \
  X(50, _BufferVerifyInit, 8, int32_t, (CcContext * ctx, const char* certificateText))            \
  X(51, _BufferVerifyFinal, 8, int32_t, (CcContext * ctx, const uint8_t* signature))              \
  X(52, _BufferCipherInit, 16, int32_t,                                                           \
    (CcContext * ctx, int32_t direction, const uint8_t* key, uint8_t* iv))                        \
  X(53, _BufferCipherUpdate, 20, int32_t,                                                         \
    (CcContext * ctx, const void* input, int32_t length, void* output, int32_t* produced))        \
  X(54, _BufferCipherFinal, 12, int32_t, (CcContext * ctx, void* output, int32_t* produced))      \
  X(55, _SessionKeyEncrypt, 24, int32_t,                                                          \
    (CcContext * ctx, const char* certificateText, uint8_t** sessionKey,                          \
     int32_t* sessionKeyLength, uint8_t** encipheredKey, int32_t* encipheredKeyLength))           \
  X(56, _SessionKeyDecrypt, 20, int32_t,                                                          \
    (CcContext * ctx, const char* secretKeyText, uint8_t** sessionKey, int32_t* sessionKeyLength, \
     const uint8_t* encipheredKey))                                                               \
  X(57, _BufferFree, 4, int32_t, (void* buffer))                                                  \
  X(58, _BufferCleanFree, 8, int32_t, (void* buffer, int32_t length))                             \
  X(59, __BufferCleanFree, 4, int32_t, (void* buffer))                                            \
  X(60, _NewKeys, 28, int32_t,                                                                    \
    (CcContext * ctx, const char* uid, int32_t keyNumber, char** secretKeyText,                   \
     char** requestText, int32_t reserved1, int32_t reserved2))                                   \
  X(61, _NewCertificate, 36, int32_t,                                                             \
    (CcContext * ctx, const char* request, const char* issuerSecretKey,                           \
     const char* issuerCertificate, int32_t serial, int32_t days, int32_t flags,                  \
     char** certificate, int32_t reserved))                                                       \
  X(62, _NewUserInfo, 32, int32_t,                                                                \
    (CcContext * ctx, const char* uid, const char* name, const char* organisation,                \
     const char* address, const char* mail, char** info, int32_t reserved))

/* Function-pointer types: CcFn_InitRand, CcFn__CertInfo, ... */
#define CC_DECLARE_FN_TYPE(num, name, bytes, ret, params) typedef ret(CC_CALL* CcFn##name) params;
CC_ENTRY_POINTS(CC_DECLARE_FN_TYPE)
#undef CC_DECLARE_FN_TYPE

/* Prototypes under the exported (POSIX) names. */
#define CC_DECLARE_ENTRY(num, name, bytes, ret, params) CC_EXPORT ret CC_CALL name params;
CC_ENTRY_POINTS(CC_DECLARE_ENTRY)
#undef CC_DECLARE_ENTRY

/* A table of all 62 entry points, in table order, for a binding that resolves them at run time. */
#define CC_DECLARE_SLOT(num, name, bytes, ret, params) CcFn##name name;
typedef struct CcEntryTable {
  CC_ENTRY_POINTS(CC_DECLARE_SLOT)
} CcEntryTable;
#undef CC_DECLARE_SLOT

/* The decorated name of an entry point as a string literal: CC_DECORATED_NAME(_InitRand, 0). */
#define CC_STRINGIFY_(x) #x
#define CC_DECORATED_NAME(name, bytes) CC_STRINGIFY_(name) "@" CC_STRINGIFY_(bytes)

/* ---- optional entry points ----
 * Looked up by their own names beyond the 62; a library without them is complete and is driven
 * as if they answered "no".
 *
 * _ConcurrentContexts@0: CC_CONCURRENT_CONTEXTS when distinct contexts may be used by several
 * threads at once, every entry point included (the random generator and its seeding, the
 * random-state file, the records and buffers handed out, and whatever the library keeps for the
 * whole process). A caller may then run the calls of different threads in parallel; any other
 * answer, or no such entry point, asks it to serialise every call into the library. */
#define CC_CONCURRENT_CONTEXTS 1
typedef int32_t(CC_CALL* CcFnConcurrentContexts)(void);
CC_EXPORT int32_t CC_CALL _ConcurrentContexts(void);
#define CC_CONCURRENT_CONTEXTS_NAME CC_DECORATED_NAME(_ConcurrentContexts, 0)

/* _CertIsAuthority@8: whether the certificate `text` is an authority's: CC_AUTHORITY_YES when it
 * says so (basicConstraints cA, and keyCertSign where it carries keyUsage), CC_AUTHORITY_NO for any
 * other certificate, a negative result code for a text that is no certificate. A caller without
 * this entry point cannot tell, and takes the certificate as the interface defines. */
#define CC_AUTHORITY_YES 1
#define CC_AUTHORITY_NO 0
typedef int32_t(CC_CALL* CcFnCertIsAuthority)(CcContext* ctx, const char* text);
CC_EXPORT int32_t CC_CALL _CertIsAuthority(CcContext* ctx, const char* text);
#define CC_CERT_IS_AUTHORITY_NAME CC_DECORATED_NAME(_CertIsAuthority, 8)

#ifdef __cplusplus
} /* extern "C" */
#endif

/* ---- layout checks ---- */
#ifdef __cplusplus
#define CC_STATIC_ASSERT static_assert
#else
#define CC_STATIC_ASSERT _Static_assert
#endif

CC_STATIC_ASSERT(offsetof(CcContext, authorityLookup) == CC_CONTEXT_CALLBACK_OFFSET,
                 "callback slot of the context record");
/* Every field of the two records at its offset for the target's width: the defined 32-bit layout,
 * or the same fields naturally aligned on 64-bit targets. Both widths are built and tested. */
#define CC_CHECK_OFFSET(record, field, offset32, offset64)                                 \
  CC_STATIC_ASSERT(offsetof(record, field) == (sizeof(void*) == 4 ? offset32 : offset64), \
                   #record "." #field)
CC_STATIC_ASSERT(sizeof(void*) == 4 || sizeof(void*) == 8, "32-bit or 64-bit target");
CC_CHECK_OFFSET(CcCertInfo, keyNumber, 0, 0);
CC_CHECK_OFFSET(CcCertInfo, kind, 4, 4);
CC_CHECK_OFFSET(CcCertInfo, issuerKeyNumber, 8, 8);
CC_CHECK_OFFSET(CcCertInfo, uid, 12, 16);
CC_CHECK_OFFSET(CcCertInfo, issuerName, 16, 24);
CC_CHECK_OFFSET(CcCertInfo, validFrom, 20, 32);
CC_CHECK_OFFSET(CcCertInfo, validTo, 24, 40);
CC_CHECK_OFFSET(CcCertInfo, publicKey, 28, 48);
CC_CHECK_OFFSET(CcCertInfo, curve, 32, 56);
CC_CHECK_OFFSET(CcCertInfo, status, 44, 68);
CC_CHECK_OFFSET(CcSecInfo, keyNumber, 0, 0);
CC_CHECK_OFFSET(CcSecInfo, uid, 4, 8);
CC_CHECK_OFFSET(CcSecInfo, validFrom, 8, 16);
CC_CHECK_OFFSET(CcSecInfo, validTo, 12, 24);
CC_CHECK_OFFSET(CcSecInfo, status, 16, 32);
CC_CHECK_OFFSET(CcSecInfo, curve, 20, 36);
#undef CC_CHECK_OFFSET

#ifdef __cplusplus
#include <array>
#include <cstddef>
#include <string_view>
#include <type_traits>

namespace cc_abi {

// Decorated names of the 62 entry points, in table order ("_InitRand@0", ...).
#define CC_DECORATED_ENTRY(num, name, bytes, ret, params) CC_DECORATED_NAME(name, bytes),
inline constexpr std::array<const char*, CC_ENTRY_COUNT> kDecoratedNames = {
    CC_ENTRY_POINTS(CC_DECORATED_ENTRY)};
#undef CC_DECORATED_ENTRY

// The exported POSIX name of a decorated name: the "@N" suffix removed, underscores kept.
constexpr std::string_view PosixName(std::string_view decorated) {
  const std::size_t at = decorated.rfind('@');
  return at == std::string_view::npos ? decorated : decorated.substr(0, at);
}

// A zero-terminated copy of a POSIX name, usable with dlsym.
struct SymbolName {
  char text[32] = {};
  constexpr const char* c_str() const { return text; }
};
constexpr SymbolName PosixSymbol(std::string_view decorated) {
  SymbolName out;
  const std::string_view name = PosixName(decorated);
  for (std::size_t i = 0; i < name.size() && i + 1 < sizeof out.text; ++i) out.text[i] = name[i];
  return out;
}

// The 62 exported POSIX names, in table order, derived from the decorated names.
inline constexpr std::array<SymbolName, CC_ENTRY_COUNT> kPosixNames = [] {
  std::array<SymbolName, CC_ENTRY_COUNT> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = PosixSymbol(kDecoratedNames[i]);
  return out;
}();

// The names the library exports, in table order: the decorated names on Windows, the POSIX
// names elsewhere. A binding looks the entry points up by these.
constexpr SymbolName ExportedSymbol(std::string_view decorated) {
#if defined(_WIN32)
  SymbolName out;
  for (std::size_t i = 0; i < decorated.size() && i + 1 < sizeof out.text; ++i)
    out.text[i] = decorated[i];
  return out;
#else
  return PosixSymbol(decorated);
#endif
}
inline constexpr std::array<SymbolName, CC_ENTRY_COUNT> kExportedNames = [] {
  std::array<SymbolName, CC_ENTRY_COUNT> out{};
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = ExportedSymbol(kDecoratedNames[i]);
  return out;
}();

namespace detail {
template <typename F>
struct ArgCount;
template <typename R, typename... A>
struct ArgCount<R (*)(A...)> {
  static constexpr std::size_t value = sizeof...(A);
};
}  // namespace detail

// Every derived name equals the identifier of its prototype, and every parameter list has the
// argument count that the decorated name announces (4 bytes per argument).
#define CC_CHECK_ENTRY(num, name, bytes, ret, params)                                         \
  static_assert(PosixName(kDecoratedNames[num - 1]) == std::string_view(CC_STRINGIFY_(name)), \
                "POSIX name of " CC_STRINGIFY_(name));
CC_ENTRY_POINTS(CC_CHECK_ENTRY)
#undef CC_CHECK_ENTRY
#if !(defined(_WIN32) && !defined(_WIN64))
#define CC_CHECK_ARGS(num, name, bytes, ret, params)              \
  static_assert(detail::ArgCount<CcFn##name>::value * 4 == bytes, \
                "argument count of " CC_STRINGIFY_(name));
CC_ENTRY_POINTS(CC_CHECK_ARGS)
#undef CC_CHECK_ARGS
#endif
static_assert(sizeof(CcEntryTable) == CC_ENTRY_COUNT * sizeof(void*), "one slot per entry point");

}  // namespace cc_abi
#endif /* __cplusplus */

#endif /* VORNAK2_CC_ABI_H */
