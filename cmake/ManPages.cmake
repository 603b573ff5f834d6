# vornak2_man_page(TARGET SUMMARY HELP_ARG...): builds TARGET.1 from the tool's own help, printed by
# running TARGET with the HELP_ARGs, and installs it with the tools (cmake/Install.cmake).
function(vornak2_man_page target summary)
  if(CMAKE_CROSSCOMPILING)
    return()  # the tool cannot run on this machine to print its help
  endif()
  set(page ${PROJECT_BINARY_DIR}/man/${target}.1)
  string(REPLACE ";" "|" args "${ARGN}")
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -DTOOL=$<TARGET_FILE:${target}> -DHELP_ARGS=${args} -DNAME=${target}
            -DSUMMARY=${summary} -DVERSION=${PROJECT_VERSION} -DDOCDIR=${CMAKE_INSTALL_FULL_DOCDIR}
            -DOUT=${page} -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Writing the manual page ${target}.1"
    VERBATIM)
  add_custom_target(${target}-man ALL DEPENDS ${page})
  set_property(GLOBAL APPEND PROPERTY VORNAK2_MAN_PAGES ${page})
endfunction()
