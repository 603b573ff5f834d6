// The table of exports that forward to one engine operation each. One row per export:
//   X(ordinal, result type, export name, fallback, (parameters after the handle), (arguments), operation)
// Parameter lists start with a comma so that an empty list needs no special case. Exports with
// behaviour of their own are written out in exports.cc; the two tables together hold all 75.
#pragma once

#define VORNAK2_SIZE_FALLBACK (-1)
#define VORNAK2_CODE_FALLBACK vornak2::kEngineException

#define VORNAK2_FORWARDED_FUNCTIONS(X)                                                                     \
  X(3, int32_t, GetMaxEncodeAddition, VORNAK2_SIZE_FALLBACK, (), (), GetMaxEncodeAddition)                  \
  X(4, int32_t, GetMaxSignatureLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxSignatureLength)                \
  X(5, int32_t, GetMaxUIDLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxUIDLength)                            \
  X(6, int32_t, GetMaxCryptoParamNameLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxCryptoParamNameLength)    \
  X(7, int32_t, GetMaxCryptoParamValueLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxCryptoParamValueLength)  \
  X(8, int32_t, GetMaxErrorStringLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxErrorStringLength)            \
  X(9, int32_t, GetCryptoParamNumber, VORNAK2_SIZE_FALLBACK, (), (), GetCryptoParamNumber)                  \
  X(12, int32_t, SetCryptoParamValue, VORNAK2_CODE_FALLBACK, (, int32_t index, const char* value),          \
    (index, value), SetCryptoParamValue)                                                                    \
  X(13, int32_t, GetEncodeUIDBySignUID, VORNAK2_CODE_FALLBACK, (, const char* signUID, char* encodeUID),    \
    (signUID, encodeUID), GetEncodeUIDBySignUID)                                                            \
  X(15, int32_t, EncodeData, VORNAK2_CODE_FALLBACK, (, void* data, int32_t* size, const char* recipients),  \
    (data, size, recipients), EncodeData)                                                                   \
  X(16, int32_t, DecodeData, VORNAK2_CODE_FALLBACK, (, void* data, int32_t* size, void* unused),            \
    (data, size, unused), DecodeData)                                                                       \
  X(17, int32_t, SignData, VORNAK2_CODE_FALLBACK,                                                           \
    (, const void* data, int32_t length, void* signature, int32_t* signatureLength, const char* signerUID), \
    (data, length, signature, signatureLength, signerUID), SignData)                                        \
  X(18, int32_t, VerifyData, VORNAK2_CODE_FALLBACK,                                                         \
    (, const void* data, int32_t length, const void* signature, int32_t signatureLength, char* signerUID),  \
    (data, length, signature, signatureLength, signerUID), VerifyData)                                      \
  X(19, int32_t, GetCurrentUserUID, VORNAK2_CODE_FALLBACK, (, char* uid), (uid), GetCurrentUserUID)         \
  X(20, int32_t, GenerateNewSSK, VORNAK2_CODE_FALLBACK, (), (), GenerateNewSSK)                             \
  X(21, int32_t, GenerateNewSEK, VORNAK2_CODE_FALLBACK, (), (), GenerateNewSEK)                             \
  X(24, int32_t, GetMaxPasswordLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxPasswordLength)                 \
  X(25, int32_t, IncludePublicKey, VORNAK2_CODE_FALLBACK, (, const char* fileName), (fileName),             \
    IncludePublicKey)                                                                                       \
  X(26, int32_t, IncludePublicEncodeKey, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a),                     \
    IncludePublicEncodeKey)                                                                                 \
  X(27, int32_t, SignFile, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a), SignFile)                         \
  X(28, int32_t, VerifyFile, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a, VORNAK2_ARG b), (a, b), VerifyFile)   \
  X(29, int32_t, RemoveSignaturesFromFile, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a),                   \
    RemoveSignaturesFromFile)                                                                               \
  X(32, int32_t, TransSignatureFromFileToTM, VORNAK2_CODE_FALLBACK, (), (), TransSignatureFromFileToTM)     \
  X(33, int32_t, TransPrivateKeyFromFileToTM, VORNAK2_CODE_FALLBACK, (), (), TransPrivateKeyFromFileToTM)   \
  X(36, int32_t, RemoteGenerateStart, VORNAK2_CODE_FALLBACK, (, char* transfer), (transfer),                \
    RemoteGenerateStart)                                                                                    \
  X(38, int32_t, AddSign, VORNAK2_CODE_FALLBACK, (, void* data, int32_t* size, const char* signerUID),      \
    (data, size, signerUID), AddSign)                                                                       \
  X(39, int32_t, RemoveSign, VORNAK2_CODE_FALLBACK, (, void* data, int32_t* size, char* signerUID),         \
    (data, size, signerUID), RemoveSign)                                                                    \
  X(40, int32_t, GetMaxSignAddition, VORNAK2_SIZE_FALLBACK, (), (), GetMaxSignAddition)                     \
  X(41, int32_t, GetPublicKeyTransfer, VORNAK2_CODE_FALLBACK, (, const char* uid, char* transfer),          \
    (uid, transfer), GetPublicKeyTransfer)                                                                  \
  X(42, int32_t, RemoteGenerateFinish, VORNAK2_CODE_FALLBACK, (, const char* transfer), (transfer),         \
    RemoteGenerateFinish)                                                                                   \
  X(43, int32_t, SavePublicKeyFromTransfer, VORNAK2_CODE_FALLBACK,                                          \
    (, const char* directory, const char* transfer), (directory, transfer), SavePublicKeyFromTransfer)      \
  X(44, int32_t, GetMaxPublicKeyTransferSize, VORNAK2_SIZE_FALLBACK, (), (), GetMaxPublicKeyTransferSize)   \
  X(45, int32_t, IncludePublicKeyTransfer, VORNAK2_CODE_FALLBACK, (, const char* transfer), (transfer),     \
    IncludePublicKeyTransfer)                                                                               \
  X(46, int32_t, ExcludeSelfPublicKeyTransfer, VORNAK2_CODE_FALLBACK, (, char* transfer), (transfer),       \
    ExcludeSelfPublicKeyTransfer)                                                                           \
  X(48, int32_t, GetRemoteGenType, VORNAK2_SIZE_FALLBACK, (), (), GetRemoteGenType)                         \
  X(49, int32_t, SaveSignedDataToFile, VORNAK2_CODE_FALLBACK,                                               \
    (, const void* data, int32_t length, const void* signature, int32_t signatureLength,                    \
     const char* fileName),                                                                                 \
    (data, length, signature, signatureLength, fileName), SaveSignedDataToFile)                             \
  X(50, int32_t, GetPublicKeyTransferByFile, VORNAK2_CODE_FALLBACK, (, char* transfer, const char* fileName), \
    (transfer, fileName), GetPublicKeyTransferByFile)                                                       \
  X(51, int32_t, GetMaxReportSize, VORNAK2_SIZE_FALLBACK, (), (), GetMaxReportSize)                         \
  X(52, int32_t, GetReport, VORNAK2_CODE_FALLBACK, (, const char* uid, char* report), (uid, report),        \
    GetReport)                                                                                              \
  X(53, int32_t, GetMaxAdditionEx, VORNAK2_SIZE_FALLBACK, (, const char* recipients), (recipients),         \
    GetMaxAdditionEx)                                                                                       \
  X(54, int32_t, GetUIDByPublicKeyTransfer, VORNAK2_CODE_FALLBACK, (, const char* transfer, char* uid),     \
    (transfer, uid), GetUIDByPublicKeyTransfer)                                                             \
  X(56, int32_t, GetMaxPublicKeyPropertiesLength, VORNAK2_SIZE_FALLBACK, (), (), GetMaxReportSize)          \
  X(57, int32_t, GetPublicKeyProperties, VORNAK2_CODE_FALLBACK, (, const char* uid, char* properties),      \
    (uid, properties), GetReport)                                                                           \
  X(58, int32_t, RemoteGenerateStartEx, VORNAK2_CODE_FALLBACK,                                              \
    (, const char* uid, char* transfer, int32_t* mode), (uid, transfer, mode), RemoteGenerateStartEx)       \
  X(59, int32_t, RemoteGenerateFinishEx, VORNAK2_CODE_FALLBACK, (, const char* transfer, int32_t* mode),    \
    (transfer, mode), RemoteGenerateFinishEx)                                                               \
  X(60, int32_t, GetPublicKeyPropertiesByTransfer, VORNAK2_CODE_FALLBACK,                                   \
    (, const char* transfer, char* properties), (transfer, properties), GetPublicKeyPropertiesByTransfer)   \
  X(61, int32_t, GetPublicKeyPropertiesByFile, VORNAK2_CODE_FALLBACK,                                       \
    (, const char* fileName, char* properties), (fileName, properties), GetPublicKeyPropertiesByFile)       \
  X(62, int32_t, IncludeCACertificateFromTransfer, VORNAK2_CODE_FALLBACK, (, const char* transfer),         \
    (transfer), IncludeCACertificateFromTransfer)                                                           \
  X(63, int32_t, CreateDirStructure, VORNAK2_CODE_FALLBACK,                                                 \
    (, const char* certificateFile, const char* authorityFiles), (certificateFile, authorityFiles),         \
    CreateDirStructure)                                                                                     \
  X(64, int32_t, RemoveCertificate, VORNAK2_CODE_FALLBACK, (, const char* uid), (uid), RemoveCertificate)   \
  X(65, int32_t, VerifySignWOCheckValidity, VORNAK2_CODE_FALLBACK,                                          \
    (, const void* data, int32_t length, const void* signature, int32_t signatureLength, char* signerUID),  \
    (data, length, signature, signatureLength, signerUID), VerifySignWOCheckValidity)                       \
  X(66, int32_t, CertAndRequestTransferMatch, VORNAK2_CODE_FALLBACK,                                        \
    (, const char* first, const char* second, int32_t* match), (first, second, match),                      \
    CertAndRequestTransferMatch)                                                                            \
  X(67, int32_t, IncludeCRL, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a), IncludeCRL)                     \
  X(68, int32_t, ConvertTransferToSignedRequest, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a),             \
    ConvertTransferToSignedRequest)                                                                         \
  X(69, int32_t, HashData, VORNAK2_CODE_FALLBACK,                                                           \
    (, VORNAK2_ARG a, VORNAK2_ARG b, VORNAK2_ARG c, VORNAK2_ARG d, VORNAK2_ARG e), (a, b, c, d, e),         \
    HashData)                                                                                               \
  X(70, int32_t, ShowCertificate, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a), ShowCertificate)           \
  X(71, int32_t, GetPureSign, VORNAK2_CODE_FALLBACK,                                                        \
    (, const void* data, int32_t length, int32_t reserved, char* text, int32_t* size),                      \
    (data, length, reserved, text, size), GetPureSign)                                                      \
  X(72, int32_t, GetUIDByCertIdent, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a, VORNAK2_ARG b), (a, b),        \
    GetUIDByCertIdent)                                                                                      \
  X(73, int32_t, InstallCertsInMyStore, VORNAK2_CODE_FALLBACK, (, VORNAK2_ARG a), (a),                      \
    InstallCertsInMyStore)                                                                                  \
  X(75, int32_t, GetParamInfo, VORNAK2_CODE_FALLBACK,                                                       \
    (, int32_t index, int32_t* kind, char* text, int32_t* size), (index, kind, text, size), GetParamInfo)

// Procedures: no result, so the fallback is to return without effect.
#define VORNAK2_FORWARDED_PROCEDURES(X)                                                                    \
  X(10, GetCryptoParamName, (, int32_t index, char* name), (index, name), GetCryptoParamName)              \
  X(11, GetCryptoParamValue, (, int32_t index, char* value), (index, value), GetCryptoParamValue)          \
  X(14, GetCryptoErrorString, (, int32_t code, char* message), (code, message), GetCryptoErrorString)      \
  X(23, SetPasswordRequestFunc, (, VORNAK2_CALLBACK callback),                                             \
    (reinterpret_cast<HostCallback>(callback)), SetPasswordRequestFunc)                                    \
  X(30, GetLastErrorMessage, (, char* message), (message), GetLastErrorMessage)                            \
  X(35, ClearCash, (), (), ClearCash)                                                                      \
  X(37, SetRemoteGeneratePath, (, const char* path), (std::string(path ? path : "")), SetRemoteGeneratePath)
