# Cross-compiling for 32-bit Windows with Debian's mingw-w64 (posix threads variant, needed for
# std::thread and std::mutex). Everything is linked statically, so the DLLs and programs import
# only Windows system libraries. Tests run through wine (scripts/wine-run).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)

set(VORNAK2_MINGW_PREFIX i686-w64-mingw32)
set(CMAKE_C_COMPILER ${VORNAK2_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VORNAK2_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${VORNAK2_MINGW_PREFIX}-windres)
set(CMAKE_OBJDUMP ${VORNAK2_MINGW_PREFIX}-objdump)

# The static libgcrypt and libgpg-error that scripts/deps-windows builds.
get_filename_component(_vornak2_source ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
if(NOT DEFINED VORNAK2_WINDOWS_DEPS)
  set(VORNAK2_WINDOWS_DEPS ${_vornak2_source}/build/windows-deps/prefix)
endif()
set(CMAKE_FIND_ROOT_PATH /usr/${VORNAK2_MINGW_PREFIX} ${VORNAK2_WINDOWS_DEPS})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config must not hand out the build machine's own libraries.
set(ENV{PKG_CONFIG_LIBDIR} ${VORNAK2_WINDOWS_DEPS}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-static")
# Release DLLs and programs without symbols and debug sections (those of the static libgcrypt
# alone made cc.dll five times its size).
foreach(kind EXE SHARED MODULE)
  set(CMAKE_${kind}_LINKER_FLAGS_RELEASE_INIT "-s")
endforeach()

set(CMAKE_CROSSCOMPILING_EMULATOR ${_vornak2_source}/scripts/wine-run)
