# i386 Linux on an x86-64 Debian machine: the multilib compilers with -m32 and the system's i386
# runtime libraries. libgcrypt's and libtasn1's i386 development files come from a sysroot unpacked into the
# build tree (scripts/i386), because installing them would remove the x86-64 ones.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_EXE_LINKER_FLAGS_INIT -m32)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -m32)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -m32)

set(VORNAK2_I386_SYSROOT "" CACHE PATH "The unpacked i386 development packages of libgcrypt")
if(VORNAK2_I386_SYSROOT)
  # pkg-config would answer with the x86-64 library.
  set(CMAKE_DISABLE_FIND_PACKAGE_PkgConfig ON)
  set(GCRYPT_INCLUDE_DIR
      "${VORNAK2_I386_SYSROOT}/usr/include;${VORNAK2_I386_SYSROOT}/usr/include/i386-linux-gnu"
      CACHE PATH "libgcrypt's headers")
  set(GCRYPT_LIBRARY "${VORNAK2_I386_SYSROOT}/usr/lib/i386-linux-gnu/libgcrypt.so"
      CACHE FILEPATH "libgcrypt for linking")
  set(TASN1_INCLUDE_DIR "${VORNAK2_I386_SYSROOT}/usr/include" CACHE PATH "libtasn1's header")
  set(TASN1_LIBRARY "${VORNAK2_I386_SYSROOT}/usr/lib/i386-linux-gnu/libtasn1.so"
      CACHE FILEPATH "libtasn1 for linking")
endif()
