// The exports as a 32-bit Windows host sees them: every one of the 75 names resolves, its ordinal
// names the same function, and a call through a standard-call pointer of the prototype's exact
// argument count returns with exactly those arguments removed from the stack by the callee. The
// call goes through a small assembly thunk that measures the stack pointer around it.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "vornak2.h"

#if !(defined(_WIN32) && defined(__i386__))
#error "standard-call export tests are for 32-bit Windows"
#endif

// std::uint32_t vornak2_call_measured(void* fn, std::uint32_t count, const std::uint32_t* args,
//                                     std::uint32_t* removed)   (cdecl)
// Pushes `count` arguments (the first one last), calls fn, stores in *removed how many bytes the
// callee took off the stack, restores the stack and returns fn's EAX.
asm(R"(
  .text
  .globl _vornak2_call_measured
_vornak2_call_measured:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  movl 12(%ebp), %ecx
  movl 16(%ebp), %esi
1:
  testl %ecx, %ecx
  jz 2f
  decl %ecx
  pushl (%esi,%ecx,4)
  jmp 1b
2:
  movl %esp, %edi
  call *8(%ebp)
  movl %esp, %ecx
  subl %edi, %ecx
  movl 20(%ebp), %edx
  movl %ecx, (%edx)
  leal -12(%ebp), %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");
extern "C" std::uint32_t vornak2_call_measured(void* fn, std::uint32_t count,
                                               const std::uint32_t* args, std::uint32_t* removed);

namespace {

template <typename F>
struct StdcallArgs;
template <typename R, typename... A>
struct StdcallArgs<R(__stdcall*)(A...)> {
  static constexpr std::uint32_t count = sizeof...(A);
  static constexpr bool procedure = std::is_void_v<R>;
};

struct Export {
  int ordinal;
  const char* name;
  std::uint32_t argCount;  // from the prototype in vornak2.h
  bool procedure;
};

#define VORNAK2_EXPORT_ROW(ordinal, name) \
  Export{ordinal, #name, StdcallArgs<decltype(&::name)>::count, StdcallArgs<decltype(&::name)>::procedure},

// Ordinal and name of every export, in the order of the export table.
const Export kExports[] = {
    VORNAK2_EXPORT_ROW(1, GetCryptObj)
    VORNAK2_EXPORT_ROW(2, DoneEngine)
    VORNAK2_EXPORT_ROW(3, GetMaxEncodeAddition)
    VORNAK2_EXPORT_ROW(4, GetMaxSignatureLength)
    VORNAK2_EXPORT_ROW(5, GetMaxUIDLength)
    VORNAK2_EXPORT_ROW(6, GetMaxCryptoParamNameLength)
    VORNAK2_EXPORT_ROW(7, GetMaxCryptoParamValueLength)
    VORNAK2_EXPORT_ROW(8, GetMaxErrorStringLength)
    VORNAK2_EXPORT_ROW(9, GetCryptoParamNumber)
    VORNAK2_EXPORT_ROW(10, GetCryptoParamName)
    VORNAK2_EXPORT_ROW(11, GetCryptoParamValue)
    VORNAK2_EXPORT_ROW(12, SetCryptoParamValue)
    VORNAK2_EXPORT_ROW(13, GetEncodeUIDBySignUID)
    VORNAK2_EXPORT_ROW(14, GetCryptoErrorString)
    VORNAK2_EXPORT_ROW(15, EncodeData)
    VORNAK2_EXPORT_ROW(16, DecodeData)
    VORNAK2_EXPORT_ROW(17, SignData)
    VORNAK2_EXPORT_ROW(18, VerifyData)
    VORNAK2_EXPORT_ROW(19, GetCurrentUserUID)
    VORNAK2_EXPORT_ROW(20, GenerateNewSSK)
    VORNAK2_EXPORT_ROW(21, GenerateNewSEK)
    VORNAK2_EXPORT_ROW(22, IsDifferentKeys)
    VORNAK2_EXPORT_ROW(23, SetPasswordRequestFunc)
    VORNAK2_EXPORT_ROW(24, GetMaxPasswordLength)
    VORNAK2_EXPORT_ROW(25, IncludePublicKey)
    VORNAK2_EXPORT_ROW(26, IncludePublicEncodeKey)
    VORNAK2_EXPORT_ROW(27, SignFile)
    VORNAK2_EXPORT_ROW(28, VerifyFile)
    VORNAK2_EXPORT_ROW(29, RemoveSignaturesFromFile)
    VORNAK2_EXPORT_ROW(30, GetLastErrorMessage)
    VORNAK2_EXPORT_ROW(31, SetRootPath)
    VORNAK2_EXPORT_ROW(32, TransSignatureFromFileToTM)
    VORNAK2_EXPORT_ROW(33, TransPrivateKeyFromFileToTM)
    VORNAK2_EXPORT_ROW(34, SetTMRequestFunc)
    VORNAK2_EXPORT_ROW(35, ClearCash)
    VORNAK2_EXPORT_ROW(36, RemoteGenerateStart)
    VORNAK2_EXPORT_ROW(37, SetRemoteGeneratePath)
    VORNAK2_EXPORT_ROW(38, AddSign)
    VORNAK2_EXPORT_ROW(39, RemoveSign)
    VORNAK2_EXPORT_ROW(40, GetMaxSignAddition)
    VORNAK2_EXPORT_ROW(41, GetPublicKeyTransfer)
    VORNAK2_EXPORT_ROW(42, RemoteGenerateFinish)
    VORNAK2_EXPORT_ROW(43, SavePublicKeyFromTransfer)
    VORNAK2_EXPORT_ROW(44, GetMaxPublicKeyTransferSize)
    VORNAK2_EXPORT_ROW(45, IncludePublicKeyTransfer)
    VORNAK2_EXPORT_ROW(46, ExcludeSelfPublicKeyTransfer)
    VORNAK2_EXPORT_ROW(47, GetMaxFilePathLength)
    VORNAK2_EXPORT_ROW(48, GetRemoteGenType)
    VORNAK2_EXPORT_ROW(49, SaveSignedDataToFile)
    VORNAK2_EXPORT_ROW(50, GetPublicKeyTransferByFile)
    VORNAK2_EXPORT_ROW(51, GetMaxReportSize)
    VORNAK2_EXPORT_ROW(52, GetReport)
    VORNAK2_EXPORT_ROW(53, GetMaxAdditionEx)
    VORNAK2_EXPORT_ROW(54, GetUIDByPublicKeyTransfer)
    VORNAK2_EXPORT_ROW(55, UpdateCertificateCash)
    VORNAK2_EXPORT_ROW(56, GetMaxPublicKeyPropertiesLength)
    VORNAK2_EXPORT_ROW(57, GetPublicKeyProperties)
    VORNAK2_EXPORT_ROW(58, RemoteGenerateStartEx)
    VORNAK2_EXPORT_ROW(59, RemoteGenerateFinishEx)
    VORNAK2_EXPORT_ROW(60, GetPublicKeyPropertiesByTransfer)
    VORNAK2_EXPORT_ROW(61, GetPublicKeyPropertiesByFile)
    VORNAK2_EXPORT_ROW(62, IncludeCACertificateFromTransfer)
    VORNAK2_EXPORT_ROW(63, CreateDirStructure)
    VORNAK2_EXPORT_ROW(64, RemoveCertificate)
    VORNAK2_EXPORT_ROW(65, VerifySignWOCheckValidity)
    VORNAK2_EXPORT_ROW(66, CertAndRequestTransferMatch)
    VORNAK2_EXPORT_ROW(67, IncludeCRL)
    VORNAK2_EXPORT_ROW(68, ConvertTransferToSignedRequest)
    VORNAK2_EXPORT_ROW(69, HashData)
    VORNAK2_EXPORT_ROW(70, ShowCertificate)
    VORNAK2_EXPORT_ROW(71, GetPureSign)
    VORNAK2_EXPORT_ROW(72, GetUIDByCertIdent)
    VORNAK2_EXPORT_ROW(73, InstallCertsInMyStore)
    VORNAK2_EXPORT_ROW(74, RegisterOIDInfo)
    VORNAK2_EXPORT_ROW(75, GetParamInfo)
};

// What an export answers for a null handle: -1 for value queries, 136 for result codes.
std::int32_t NullHandleAnswer(const std::string& name) {
  if (name == "GetMaxFilePathLength") return 255;
  if (name.rfind("GetMax", 0) == 0 || name == "GetCryptoParamNumber" || name == "IsDifferentKeys" ||
      name == "GetRemoteGenType")
    return -1;
  return 136;
}

TEST(StdcallExports, EveryExportRemovesExactlyItsArguments) {
  ASSERT_EQ(sizeof kExports / sizeof kExports[0], 75u);
  vornak2::platform::ModuleHandle dll = vornak2::platform::LoadModule("vornak2.dll");
  ASSERT_NE(dll, nullptr);
  std::uint32_t engine = 0;
  for (const Export& e : kExports) {
    SCOPED_TRACE(e.name);
    void* byName = vornak2::platform::FindSymbol(dll, e.name);
    ASSERT_NE(byName, nullptr);
    // An ordinal is looked up as a "name" whose address is the number itself.
    void* byOrdinal = vornak2::platform::FindSymbol(
        dll, reinterpret_cast<const char*>(static_cast<std::uintptr_t>(e.ordinal)));
    EXPECT_EQ(byOrdinal, byName) << "ordinal " << e.ordinal;

    // A null handle (a fresh engine for DoneEngine) and null pointers: every export answers its
    // null-handle value without reading the other arguments.
    std::vector<std::uint32_t> args(e.argCount, 0);
    if (std::strcmp(e.name, "DoneEngine") == 0) args[0] = engine;
    std::uint32_t removed = 0xFFFFFFFF;
    const auto result = vornak2_call_measured(byName, e.argCount, args.data(), &removed);
    EXPECT_EQ(removed, 4 * e.argCount);
    if (std::strcmp(e.name, "GetCryptObj") == 0) {
      engine = result;
      EXPECT_NE(engine, 0u);
    } else if (!e.procedure) {
      EXPECT_EQ(static_cast<std::int32_t>(result), NullHandleAnswer(e.name));
    }
  }
  // No ordinal beyond the table.
  EXPECT_EQ(vornak2::platform::FindSymbol(dll, reinterpret_cast<const char*>(std::uintptr_t{76})),
            nullptr);
}

}  // namespace
