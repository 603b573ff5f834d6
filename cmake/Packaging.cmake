# Debian packages made by CPack from the install components (cpack -G DEB in a Release build):
#   libvornak2-N     the library and our libcc.so (the library loads it at run time)
#   libvornak2-dev   header, link name, pkg-config file, CMake package, documentation, example
#   vornak2-tools    vornak2-host and vornak2-ca with their manual pages
# Dependencies on system libraries come from dpkg-shlibdeps; those between the three packages,
# which no linker records (the tools load the library at run time), are written here.
set(CPACK_PACKAGE_NAME vornak2)
set(CPACK_PACKAGE_VENDOR "vornak2")
set(CPACK_PACKAGE_CONTACT "vornak2 developers <vornak2@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_GENERATOR DEB)
# Installed with DESTDIR under the configured prefix (/usr in the release preset), so that the
# files that name the prefix (vornak2.pc) name the one the packages install to.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime development tools)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/vornak2")

set(runtime_package libvornak2-${PROJECT_VERSION_MAJOR})
set(same_runtime "${runtime_package} (= ${PROJECT_VERSION})")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${runtime_package})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "crypto-engine adapter library (runtime)\n"
    "libvornak2.so: 75 exported C functions for signing, encryption and key management, done by\n"
    "the vendor library libcc.so, which it loads at run time. Includes our libcc.so (GOST\n"
    "cryptography through libgcrypt).")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvornak2-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${same_runtime}")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "crypto-engine adapter library (development files)\n"
    "The header vornak2.h, the pkg-config file vornak2.pc, the CMake package vornak2 (target\n"
    "vornak2::vornak2), the reference of every export and an example host in C.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vornak2-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${same_runtime}")
set(CPACK_COMPONENT_TOOLS_DESCRIPTION
    "crypto-engine adapter library (tools)\n"
    "vornak2-host signs, verifies, encrypts and decrypts files through the library and shows its\n"
    "parameters and messages; vornak2-ca is a test certification authority that lays out key\n"
    "sets.")

include(CPack)
