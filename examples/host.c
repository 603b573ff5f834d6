/*
 * A small host of libvornak2 in C: it takes an engine, points it at a user's key set, signs and
 * verifies a message, encrypts it for the user and decrypts it again, and prints the library's
 * message for every failure.
 *
 *   vornak2-example ROOT USER
 *
 * ROOT is a deployment (libcc.so in ROOT/EXE/) and ROOT/USER/ a user's key set, for example as
 * `vornak2-host demo ROOT` lays them out (users alice and bob).
 *
 * Build:  cc -o vornak2-example host.c $(pkg-config --cflags --libs vornak2)
 *    or:  CMake with find_package(vornak2 CONFIG) and the target vornak2::vornak2 (CMakeLists.txt)
 * On Windows the same, against vornak2.dll's import library (lib/libvornak2.dll.a, or
 * lib/vornak2.def for other linkers); ROOT/EXE/ then holds cc.dll.
 */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <vornak2.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#endif

/* Windows-1251 text as UTF-8 into out (size bytes); the text unchanged when it cannot be. */
static void to_utf8(const char* cp1251, char* out, size_t size) {
#ifdef _WIN32
  wchar_t wide[1024];
  if (MultiByteToWideChar(1251, 0, cp1251, -1, wide, 1024) > 0 &&
      WideCharToMultiByte(CP_UTF8, 0, wide, -1, out, (int)size, NULL, NULL) > 0)
    return;
#else
  iconv_t cd = iconv_open("UTF-8", "CP1251");
  if (cd != (iconv_t)-1) {
    char* in = (char*)cp1251;
    char* end = out;
    size_t inLeft = strlen(cp1251), outLeft = size - 1;
    size_t done = iconv(cd, &in, &inLeft, &end, &outLeft);
    iconv_close(cd);
    if (done != (size_t)-1) {
      *end = '\0';
      return;
    }
  }
#endif
  snprintf(out, size, "%s", cp1251);
}

/* Prints a result code with the engine's message. The library's messages are Windows-1251
 * (Russian); they are converted to UTF-8 for the terminal. */
static int report(VORNAK2_HANDLE engine, const char* call, int32_t code) {
  char message[1024] = {0};
  char utf8[4096] = {0};
  if (code == 0) {
    printf("%s -> 0\n", call);
    return 0;
  }
  GetCryptoErrorString(engine, code, message); /* at most GetMaxErrorStringLength() bytes */
  to_utf8(message, utf8, sizeof utf8);
  printf("%s -> %d: %s\n", call, code, utf8);
  return code;
}

/* The parameters that point an engine at the key set in ROOT/USER/; "%QVXRoot%" stands for the
 * root given to SetRootPath. */
static int use_key_set(VORNAK2_HANDLE engine, const char* user) {
  static const struct {
    int32_t number;
    const char* file;
  } params[] = {{2, "sec"}, {3, "crt"}, {7, "@rand"}, {19, "self.crt"}};
  char value[512];
  for (size_t i = 0; i < sizeof params / sizeof params[0]; ++i) {
    snprintf(value, sizeof value, "%%QVXRoot%%/%s/%s", user, params[i].file);
    if (SetCryptoParamValue(engine, params[i].number, value) != 0) return -1;
  }
  return 0;
}

int main(int argc, char** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: %s ROOT USER\n", argv[0]);
    return 2;
  }
  const char text[] = "Payment order 21: transfer 300.00, due 15.08.";
  const int32_t length = (int32_t)strlen(text);
  int failed = 0;

  VORNAK2_HANDLE engine = GetCryptObj(0);
  if (engine == NULL) {
    fprintf(stderr, "GetCryptObj returned no engine\n");
    return 1;
  }
  SetRootPath(engine, argv[1]);
  if (use_key_set(engine, argv[2]) != 0) {
    fprintf(stderr, "the engine refused a parameter\n");
    DoneEngine(engine);
    return 1;
  }

  /* Every output goes into memory the host allocates, sized by the GetMax... functions. */
  char* uid = calloc((size_t)GetMaxUIDLength(engine) + 1, 1);
  char* signer = calloc((size_t)GetMaxUIDLength(engine) + 1, 1);
  unsigned char* signature = calloc((size_t)GetMaxSignatureLength(engine), 1);
  int32_t capacity = length + GetMaxAdditionEx(engine, "");
  unsigned char* data = calloc((size_t)capacity, 1);
  if (!uid || !signer || !signature || !data) {
    fprintf(stderr, "out of memory\n");
    return 1;
  }

  if (report(engine, "GetCurrentUserUID", GetCurrentUserUID(engine, uid)) != 0) failed = 1;
  if (!failed) {
    printf("current user: %s\n", uid);
    int32_t signatureLength = 0;
    failed |= report(engine, "SignData",
                     SignData(engine, text, length, signature, &signatureLength, "")) != 0;
    if (!failed) {
      failed |= report(engine, "VerifyData",
                       VerifyData(engine, text, length, signature, signatureLength, signer)) != 0;
      printf("signed by %s, %d-byte signature\n", signer, signatureLength);
      /* A changed text must not verify: the engine says why. */
      memcpy(data, text, (size_t)length);
      data[0] ^= 1;
      if (report(engine, "VerifyData (changed text)",
                 VerifyData(engine, data, length, signature, signatureLength, signer)) == 0)
        failed = 1;
    }

    /* Encryption works in place: the buffer holds the data and room for what encryption adds.
     * An empty recipient list means parameter 8 (Encrypt for UID); here the user itself. */
    int32_t size = length;
    memcpy(data, text, (size_t)length);
    failed |= report(engine, "EncodeData", EncodeData(engine, data, &size, uid)) != 0;
    printf("encrypted: %d -> %d bytes\n", length, size);
    failed |= report(engine, "DecodeData", DecodeData(engine, data, &size, NULL)) != 0;
    if (size != length || memcmp(data, text, (size_t)length) != 0) {
      printf("decrypted text differs\n");
      failed = 1;
    } else {
      printf("decrypted: %.*s\n", (int)size, (const char*)data);
    }
  }

  free(data);
  free(signature);
  free(signer);
  free(uid);
  DoneEngine(engine);
  printf(failed ? "example: FAILED\n" : "example: all steps succeeded\n");
  return failed;
}
