# GoogleTest for the Windows cross build: Debian's sources (googletest package, in
# /usr/src/googletest) compiled with the cross compiler as part of the build.
set(HALVEX_GOOGLETEST_SOURCES /usr/src/googletest CACHE PATH "GoogleTest sources used by the cross build")

if(NOT TARGET GTest::gtest)
  if(NOT EXISTS ${HALVEX_GOOGLETEST_SOURCES}/CMakeLists.txt)
    set(GTest_FOUND FALSE)
    set(GTest_NOT_FOUND_MESSAGE "no GoogleTest sources in ${HALVEX_GOOGLETEST_SOURCES}")
    return()
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory(${HALVEX_GOOGLETEST_SOURCES} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  foreach(_halvex_gtest_target gtest gtest_main gmock gmock_main)
    # GoogleTest's own warnings are not ours to fix.
    set_target_properties(${_halvex_gtest_target} PROPERTIES COMPILE_OPTIONS -w)
    if(NOT TARGET GTest::${_halvex_gtest_target})
      add_library(GTest::${_halvex_gtest_target} ALIAS ${_halvex_gtest_target})
    endif()
  endforeach()
endif()
set(GTest_FOUND TRUE)
set(GTEST_FOUND TRUE)
