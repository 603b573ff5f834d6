/*
 * vornak2: crypto-engine adapter library, public interface.
 *
 * A host obtains an engine with GetCryptObj, passes it as the first argument of every other function
 * and releases it with DoneEngine. Every output goes into memory the host allocated, sized by the
 * matching GetMax... function or by an in/out size argument; the library never hands out memory for
 * the host to free. Result codes: 0 is success; 136 means an exception was caught (its text comes
 * from GetCryptoErrorString with code 136); -1 answers an operation the engine does not provide.
 * Texts are zero-terminated 8-bit strings; the library's own messages are Windows-1251.
 */
#ifndef VORNAK2_H
#define VORNAK2_H

#include <stdint.h>

#if defined(_WIN32) && !defined(_WIN64)
#define VORNAK2_CALL __stdcall
#else
#define VORNAK2_CALL
#endif

#if defined(_WIN32)
/* vornak2.dll takes its export table (plain names, fixed ordinals) from its .def file. */
#define VORNAK2_API
#elif defined(__GNUC__)
#define VORNAK2_API __attribute__((visibility("default")))
#else
#define VORNAK2_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque engine handle. */
typedef struct vornak2_engine* VORNAK2_HANDLE;
/* Host callbacks are stored but never called by the library; their prototype is the host's. */
typedef void(VORNAK2_CALL* VORNAK2_CALLBACK)(void);
/* An argument of an operation this library does not provide; passed through, never read. */
typedef intptr_t VORNAK2_ARG;

VORNAK2_API VORNAK2_HANDLE VORNAK2_CALL GetCryptObj(int32_t reserved);
VORNAK2_API void VORNAK2_CALL DoneEngine(VORNAK2_HANDLE engine);

/* Size queries: -1 on failure. */
VORNAK2_API int32_t VORNAK2_CALL GetMaxEncodeAddition(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxSignatureLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxUIDLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxCryptoParamNameLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxCryptoParamValueLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxErrorStringLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxPasswordLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxSignAddition(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxPublicKeyTransferSize(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxFilePathLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxReportSize(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxPublicKeyPropertiesLength(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GetMaxAdditionEx(VORNAK2_HANDLE engine, const char* recipients);
VORNAK2_API int32_t VORNAK2_CALL GetRemoteGenType(VORNAK2_HANDLE engine);

/* Numbered parameters, counted from 1. */
VORNAK2_API int32_t VORNAK2_CALL GetCryptoParamNumber(VORNAK2_HANDLE engine);
VORNAK2_API void VORNAK2_CALL GetCryptoParamName(VORNAK2_HANDLE engine, int32_t index, char* name);
VORNAK2_API void VORNAK2_CALL GetCryptoParamValue(VORNAK2_HANDLE engine, int32_t index, char* value);
VORNAK2_API int32_t VORNAK2_CALL SetCryptoParamValue(VORNAK2_HANDLE engine, int32_t index,
                                                     const char* value);
VORNAK2_API int32_t VORNAK2_CALL GetParamInfo(VORNAK2_HANDLE engine, int32_t index, int32_t* kind,
                                              char* text, int32_t* size);

/* Messages and configuration. */
VORNAK2_API void VORNAK2_CALL GetCryptoErrorString(VORNAK2_HANDLE engine, int32_t code, char* message);
VORNAK2_API void VORNAK2_CALL GetLastErrorMessage(VORNAK2_HANDLE engine, char* message);
VORNAK2_API void VORNAK2_CALL SetRootPath(VORNAK2_HANDLE engine, const char* path);
VORNAK2_API void VORNAK2_CALL SetRemoteGeneratePath(VORNAK2_HANDLE engine, const char* path);
VORNAK2_API void VORNAK2_CALL SetPasswordRequestFunc(VORNAK2_HANDLE engine, VORNAK2_CALLBACK callback);
VORNAK2_API void VORNAK2_CALL SetTMRequestFunc(VORNAK2_HANDLE engine, VORNAK2_CALLBACK callback);

/* Encryption and signatures. */
VORNAK2_API int32_t VORNAK2_CALL EncodeData(VORNAK2_HANDLE engine, void* data, int32_t* size,
                                            const char* recipients);
VORNAK2_API int32_t VORNAK2_CALL DecodeData(VORNAK2_HANDLE engine, void* data, int32_t* size, void* unused);
VORNAK2_API int32_t VORNAK2_CALL SignData(VORNAK2_HANDLE engine, const void* data, int32_t length,
                                          void* signature, int32_t* signatureLength, const char* signerUID);
VORNAK2_API int32_t VORNAK2_CALL VerifyData(VORNAK2_HANDLE engine, const void* data, int32_t length,
                                            const void* signature, int32_t signatureLength, char* signerUID);
VORNAK2_API int32_t VORNAK2_CALL VerifySignWOCheckValidity(VORNAK2_HANDLE engine, const void* data,
                                                           int32_t length, const void* signature,
                                                           int32_t signatureLength, char* signerUID);
VORNAK2_API int32_t VORNAK2_CALL AddSign(VORNAK2_HANDLE engine, void* data, int32_t* size,
                                         const char* signerUID);
VORNAK2_API int32_t VORNAK2_CALL RemoveSign(VORNAK2_HANDLE engine, void* data, int32_t* size, char* signerUID);
VORNAK2_API int32_t VORNAK2_CALL SaveSignedDataToFile(VORNAK2_HANDLE engine, const void* data, int32_t length,
                                                      const void* signature, int32_t signatureLength,
                                                      const char* fileName);
VORNAK2_API int32_t VORNAK2_CALL GetPureSign(VORNAK2_HANDLE engine, const void* data, int32_t length,
                                             int32_t reserved, char* text, int32_t* size);

/* Users and keys. */
VORNAK2_API int32_t VORNAK2_CALL GetEncodeUIDBySignUID(VORNAK2_HANDLE engine, const char* signUID,
                                                       char* encodeUID);
VORNAK2_API int32_t VORNAK2_CALL GetCurrentUserUID(VORNAK2_HANDLE engine, char* uid);
VORNAK2_API int32_t VORNAK2_CALL GenerateNewSSK(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL GenerateNewSEK(VORNAK2_HANDLE engine);
/* -1 when the engine's signing and encryption keys differ, 0 otherwise. */
VORNAK2_API int32_t VORNAK2_CALL IsDifferentKeys(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL TransSignatureFromFileToTM(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL TransPrivateKeyFromFileToTM(VORNAK2_HANDLE engine);

/* Certificate store. */
VORNAK2_API int32_t VORNAK2_CALL IncludePublicKey(VORNAK2_HANDLE engine, const char* fileName);
VORNAK2_API int32_t VORNAK2_CALL IncludePublicEncodeKey(VORNAK2_HANDLE engine, VORNAK2_ARG arg);
VORNAK2_API void VORNAK2_CALL ClearCash(VORNAK2_HANDLE engine);
VORNAK2_API int32_t VORNAK2_CALL UpdateCertificateCash(VORNAK2_HANDLE engine, const char* uid);
VORNAK2_API int32_t VORNAK2_CALL RemoveCertificate(VORNAK2_HANDLE engine, const char* uid);
VORNAK2_API int32_t VORNAK2_CALL CreateDirStructure(VORNAK2_HANDLE engine, const char* certificateFile,
                                                    const char* authorityFiles);

/* Public-key transfers and remote key generation. */
VORNAK2_API int32_t VORNAK2_CALL RemoteGenerateStart(VORNAK2_HANDLE engine, char* transfer);
VORNAK2_API int32_t VORNAK2_CALL RemoteGenerateFinish(VORNAK2_HANDLE engine, const char* transfer);
VORNAK2_API int32_t VORNAK2_CALL RemoteGenerateStartEx(VORNAK2_HANDLE engine, const char* uid, char* transfer,
                                                       int32_t* mode);
VORNAK2_API int32_t VORNAK2_CALL RemoteGenerateFinishEx(VORNAK2_HANDLE engine, const char* transfer,
                                                        int32_t* mode);
VORNAK2_API int32_t VORNAK2_CALL GetPublicKeyTransfer(VORNAK2_HANDLE engine, const char* uid, char* transfer);
VORNAK2_API int32_t VORNAK2_CALL SavePublicKeyFromTransfer(VORNAK2_HANDLE engine, const char* directory,
                                                           const char* transfer);
VORNAK2_API int32_t VORNAK2_CALL IncludePublicKeyTransfer(VORNAK2_HANDLE engine, const char* transfer);
VORNAK2_API int32_t VORNAK2_CALL ExcludeSelfPublicKeyTransfer(VORNAK2_HANDLE engine, char* transfer);
VORNAK2_API int32_t VORNAK2_CALL GetPublicKeyTransferByFile(VORNAK2_HANDLE engine, char* transfer,
                                                            const char* fileName);
VORNAK2_API int32_t VORNAK2_CALL GetUIDByPublicKeyTransfer(VORNAK2_HANDLE engine, const char* transfer,
                                                           char* uid);
VORNAK2_API int32_t VORNAK2_CALL IncludeCACertificateFromTransfer(VORNAK2_HANDLE engine, const char* transfer);
VORNAK2_API int32_t VORNAK2_CALL CertAndRequestTransferMatch(VORNAK2_HANDLE engine, const char* first,
                                                             const char* second, int32_t* match);

/* Reports. */
VORNAK2_API int32_t VORNAK2_CALL GetReport(VORNAK2_HANDLE engine, const char* uid, char* report);
VORNAK2_API int32_t VORNAK2_CALL GetPublicKeyProperties(VORNAK2_HANDLE engine, const char* uid,
                                                        char* properties);
VORNAK2_API int32_t VORNAK2_CALL GetPublicKeyPropertiesByTransfer(VORNAK2_HANDLE engine, const char* transfer,
                                                                  char* properties);
VORNAK2_API int32_t VORNAK2_CALL GetPublicKeyPropertiesByFile(VORNAK2_HANDLE engine, const char* fileName,
                                                              char* properties);

/* Operations this library does not provide: they answer -1 without reading their arguments. */
VORNAK2_API int32_t VORNAK2_CALL SignFile(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL VerifyFile(VORNAK2_HANDLE engine, VORNAK2_ARG a, VORNAK2_ARG b);
VORNAK2_API int32_t VORNAK2_CALL RemoveSignaturesFromFile(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL IncludeCRL(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL ConvertTransferToSignedRequest(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL HashData(VORNAK2_HANDLE engine, VORNAK2_ARG a, VORNAK2_ARG b, VORNAK2_ARG c,
                                          VORNAK2_ARG d, VORNAK2_ARG e);
VORNAK2_API int32_t VORNAK2_CALL ShowCertificate(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL GetUIDByCertIdent(VORNAK2_HANDLE engine, VORNAK2_ARG a, VORNAK2_ARG b);
VORNAK2_API int32_t VORNAK2_CALL InstallCertsInMyStore(VORNAK2_HANDLE engine, VORNAK2_ARG a);
VORNAK2_API int32_t VORNAK2_CALL RegisterOIDInfo(VORNAK2_HANDLE engine, const char* first, const char* second);

#ifdef __cplusplus
}
#endif

#endif /* VORNAK2_H */
