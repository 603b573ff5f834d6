# What `cmake --install` lays out, in the GNU directories: the library with its SONAME, the public
# header, a pkg-config file and a CMake package for programs that link it, our libcc.so where the
# library's search finds it, both tools with their manual pages, and the documentation.
#
# Components: runtime (libvornak2.so.N, libcc.so in LIBDIR/vornak2/), development (header, link name, pkg-config,
# CMake package, documentation, example), tools (vornak2-host, vornak2-ca, manual pages). The
# Debian packages follow them (cmake/Packaging.cmake).

install(TARGETS vornak2 EXPORT vornak2Targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vornak2.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(WIN32)
  # Beside the import library (ARCHIVE above): the export table as a .def file, for linkers that
  # make their own import library from it (lib.exe /def:vornak2.def).
  install(FILES ${PROJECT_SOURCE_DIR}/src/engine/vornak2.def
    DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
endif()

# pkg-config: the directories relative to the prefix when they lie inside it; the prefix itself
# is filled in while installing, as `cmake --install --prefix` may change it.
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(VORNAK2_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(VORNAK2_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
set(VORNAK2_PC_PREFIX "@VORNAK2_PC_PREFIX@")
configure_file(${PROJECT_SOURCE_DIR}/cmake/vornak2.pc.in ${PROJECT_BINARY_DIR}/vornak2.pc.in @ONLY)
install(CODE "set(VORNAK2_PC_TEMPLATE \"${PROJECT_BINARY_DIR}/vornak2.pc.in\")
              set(VORNAK2_PC_DIR \"${CMAKE_INSTALL_LIBDIR}/pkgconfig\")" COMPONENT development)
install(SCRIPT ${PROJECT_SOURCE_DIR}/cmake/WritePkgConfig.cmake COMPONENT development)

# find_package(vornak2 CONFIG) -> vornak2::vornak2
include(CMakePackageConfigHelpers)
set(VORNAK2_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vornak2)
install(EXPORT vornak2Targets NAMESPACE vornak2:: DESTINATION ${VORNAK2_CMAKE_DIR}
  COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/vornak2Config.cmake.in
  ${PROJECT_BINARY_DIR}/vornak2Config.cmake INSTALL_DESTINATION ${VORNAK2_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vornak2ConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vornak2Config.cmake ${PROJECT_BINARY_DIR}/vornak2ConfigVersion.cmake
  DESTINATION ${VORNAK2_CMAKE_DIR} COMPONENT development)

if(VORNAK2_BUILD_CC)
  # The library loads libcc.so by that name: from the program's directory, the root's EXE/,
  # SYSTEM/ and USER/ directories and the root, through the loader's own search, and last from its
  # own directory and that directory's vornak2/. Ours goes to the last, a private directory: an
  # unversioned libcc.so has no place in the system's library directory, and there the library
  # finds it under any prefix. On Windows cc.dll stays beside vornak2.dll.
  if(WIN32)
    install(FILES $<TARGET_FILE:cc_lib> DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
  else()
    install(TARGETS cc_lib LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/vornak2 COMPONENT runtime)
  endif()
  install(TARGETS vornak2-ca RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
if(VORNAK2_BUILD_TOOLS)
  install(TARGETS vornak2-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
endif()
# Manual pages are installed compressed (gzip -9n, as Debian's policy asks); a page that is
# already compressed is installed as it is.
get_property(man_pages GLOBAL PROPERTY VORNAK2_MAN_PAGES)
set(compressed_pages "")
set(page_targets "")
foreach(page IN LISTS man_pages)
  if(NOT page MATCHES "\\.gz$")
    add_custom_command(OUTPUT ${page}.gz
      COMMAND gzip -9 -n -f -k ${page}
      DEPENDS ${page}
      VERBATIM)
    list(APPEND compressed_pages ${page}.gz)
    # The page is made in the tool's directory, by the target NAME-man.
    get_filename_component(name ${page} NAME_WE)
    if(TARGET ${name}-man)
      list(APPEND page_targets ${name}-man)
    endif()
    set(page ${page}.gz)
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()
if(compressed_pages)
  add_custom_target(vornak2-man-compressed ALL DEPENDS ${compressed_pages})
  if(page_targets)
    add_dependencies(vornak2-man-compressed ${page_targets})
  endif()
endif()

# The Debian packages' names, and in each package's documentation directory its copyright file
# and changelog (a Debian system's own layout; a plain install gets them too, small as they are).
set(VORNAK2_RUNTIME_PACKAGE libvornak2-${PROJECT_VERSION_MAJOR})
set(VORNAK2_DEBIAN_RELEASE 1)
if(NOT WIN32)
  set(changelog ${PROJECT_BINARY_DIR}/debian-docs/changelog.Debian.gz)
  file(MAKE_DIRECTORY ${PROJECT_BINARY_DIR}/debian-docs)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
               ${PROJECT_SOURCE_DIR}/packaging/changelog)
  execute_process(COMMAND gzip -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/changelog
                  OUTPUT_FILE ${changelog} RESULT_VARIABLE gzip_status)
  if(NOT gzip_status EQUAL 0)
    message(FATAL_ERROR "gzip could not compress packaging/changelog")
  endif()
  foreach(pair runtime:${VORNAK2_RUNTIME_PACKAGE} development:libvornak2-dev tools:vornak2-tools)
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 component)
    list(GET pair 1 package)
    if(component STREQUAL "tools" AND NOT VORNAK2_BUILD_CC AND NOT VORNAK2_BUILD_TOOLS)
      continue()
    endif()
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${changelog}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
    # Not a package of the Debian archive: its first changelog entry closes no bug there.
    file(WRITE ${PROJECT_BINARY_DIR}/debian-docs/${package}
         "${package}: initial-upload-closes-no-bugs\n")
    install(FILES ${PROJECT_BINARY_DIR}/debian-docs/${package}
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides COMPONENT ${component})
  endforeach()
endif()

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/docs/reference.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT development)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples COMPONENT development)
