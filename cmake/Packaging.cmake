# Debian packages made by CPack from the install components (cpack -G DEB in a Release build):
#   libvornak2-N     the library, and our libcc.so in its private directory (LIBDIR/vornak2/,
#                    where the library looks for it)
#   libvornak2-dev   header, link name, pkg-config file, CMake package, documentation, example
#   vornak2-tools    vornak2-host and vornak2-ca with their manual pages
# Dependencies on system libraries come from dpkg-shlibdeps; those between the three packages,
# which no linker records (the tools load the library at run time), are written here. Each
# package carries its copyright file and changelog (cmake/DebianDocs.cmake), its binaries
# stripped; the files go under /usr whatever prefix the build was configured with.
set(CPACK_PACKAGE_NAME vornak2)
set(CPACK_PACKAGE_VENDOR "vornak2 developers")
set(CPACK_PACKAGE_CONTACT "vornak2 developers <vornak2-dev@lists.vornak2.org>")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
# The value CPack takes for "no summary": each package's synopsis is then the first line of its
# own description instead of one summary put before all three.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR DEB)
# Installed with DESTDIR under /usr, so that the files that name the prefix (vornak2.pc) name the
# one the packages install to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE ${VORNAK2_DEBIAN_RELEASE})
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for the package that holds libvornak2.so.N (the only library with a version).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(runtime_package ${VORNAK2_RUNTIME_PACKAGE})
set(same_runtime "${runtime_package} (= ${PROJECT_VERSION}-${VORNAK2_DEBIAN_RELEASE})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The dynamic linker's cache is rebuilt through dpkg's trigger; the maintainer scripts CPack
# writes to call ldconfig are taken out again once the package is made (DebianRepack.cmake).
file(WRITE ${PROJECT_BINARY_DIR}/debian-runtime/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian-runtime/triggers)
set(CPACK_VORNAK2_RUNTIME_PACKAGE ${runtime_package})  # for DebianRepack.cmake
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianRepack.cmake)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    [[crypto-engine adapter library over the cc vendor library
libvornak2.so offers 75 exported C functions for signing, encryption and
key management. The vendor library libcc.so, which it loads at run time,
does the cryptography. This package includes a libcc.so that provides
GOST cryptography through libgcrypt.]])

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvornak2-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${same_runtime}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    [[crypto-engine adapter library over the cc vendor library (development)
The header vornak2.h, the pkg-config file vornak2.pc, the CMake package
vornak2 (target vornak2::vornak2), the reference of every export and an
example host in C.]])

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vornak2-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${same_runtime}")
# The tool's completion (share/bash-completion/completions/vornak2-host) is loaded by it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS bash-completion)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    [[host tool and test certification authority for vornak2
vornak2-host signs, verifies, encrypts and decrypts files through the
library and shows its parameters and messages. vornak2-ca is a test
certification authority that lays out key sets.]])

include(CPack)
