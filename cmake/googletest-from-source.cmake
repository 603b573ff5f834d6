# GoogleTest built from Debian's source package (googletest, in /usr/src/googletest), for builds
# that cannot use the installed libraries (cross builds). Provides GTest::gtest, GTest::gtest_main,
# GTest::gmock.
set(VORNAK2_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources")
if(NOT EXISTS ${VORNAK2_GOOGLETEST_SOURCE}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VORNAK2_GOOGLETEST_SOURCE} (Debian: googletest)")
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
# Our warning flags are not GoogleTest's business.
set(_vornak2_saved_options ${CMAKE_CXX_FLAGS})
add_subdirectory(${VORNAK2_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
    if(NOT TARGET GTest::${t})
      add_library(GTest::${t} ALIAS ${t})
    endif()
  endif()
endforeach()
