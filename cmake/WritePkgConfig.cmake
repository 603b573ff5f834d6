# Run while installing (install(SCRIPT)): writes vornak2.pc for the prefix the tree is installed
# to, which `cmake --install --prefix` may choose after configuration. VORNAK2_PC_TEMPLATE and
# VORNAK2_PC_DIR come from the install code before it.
file(READ "${VORNAK2_PC_TEMPLATE}" text)
string(REPLACE "@VORNAK2_PC_PREFIX@" "${CMAKE_INSTALL_PREFIX}" text "${text}")
set(file "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${VORNAK2_PC_DIR}/vornak2.pc")
if(IS_ABSOLUTE "${VORNAK2_PC_DIR}")
  set(file "$ENV{DESTDIR}${VORNAK2_PC_DIR}/vornak2.pc")
endif()
message(STATUS "Installing: ${file}")
file(WRITE "${file}" "${text}")
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${file}")
