# The manual pages are written by hand in docs/man/ (one file NAME.1 per tool). Each is compressed
# into the build tree and installed with the tools (cmake/Install.cmake reads the list from the
# global property VORNAK2_MAN_PAGES). A Windows build has no manual pages.
if(NOT WIN32)
  find_program(VORNAK2_GZIP gzip REQUIRED)
  file(GLOB man_sources CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/*.1)
  set(man_pages)
  foreach(source IN LISTS man_sources)
    get_filename_component(name ${source} NAME)
    set(page ${PROJECT_BINARY_DIR}/man/${name}.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
      COMMAND ${CMAKE_COMMAND} -DGZIP=${VORNAK2_GZIP} -DIN=${source} -DOUT=${page}
              -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
      DEPENDS ${source} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
      COMMENT "Compressing the manual page ${name}"
      VERBATIM)
    list(APPEND man_pages ${page})
  endforeach()
  if(man_pages)
    add_custom_target(man_pages ALL DEPENDS ${man_pages})
  endif()
  set_property(GLOBAL PROPERTY VORNAK2_MAN_PAGES ${man_pages})
endif()

# The pages were once made from each tool's --help; a tool's CMakeLists may still name its page
# here. The page in docs/man/ is what is installed.
function(vornak2_man_page)
endfunction()
