# On Debian and its derivatives, libraries go to lib/<multiarch> under any prefix, as GNUInstallDirs
# does for /usr only: the dynamic linker searches /usr/local/lib/<multiarch> as well, and the
# packages, made from any build, then hold /usr/lib/<multiarch> (pkg-config's cross-compilation
# search included). An explicit CMAKE_INSTALL_LIBDIR is kept.
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT WIN32 AND EXISTS /etc/debian_version
   AND NOT DEFINED CACHE{CMAKE_INSTALL_LIBDIR})
  set(CMAKE_INSTALL_LIBDIR "lib/${CMAKE_LIBRARY_ARCHITECTURE}" CACHE PATH
      "Object code libraries (lib/${CMAKE_LIBRARY_ARCHITECTURE})")
endif()
