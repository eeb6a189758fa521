# halvex_test(NAME <name> SOURCES <files...> LIBS <targets...> [SERIAL] [THREADED] [TIMEOUT <s>])
#
# One GoogleTest executable, each of its tests registered with CTest.
#   SERIAL    the tests run programs (single-instance guard) or bind a fixed port on
#             127.0.0.1: they share the RESOURCE_LOCK "halvex_global" and never overlap.
#   THREADED  the tests exercise our threads and locks: labelled "threaded" and built
#             by the target `threaded_tests`, which the ThreadSanitizer run uses.
include(GoogleTest)

function(halvex_test)
  cmake_parse_arguments(T "SERIAL;THREADED" "NAME;TIMEOUT" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gmock GTest::gtest_main Threads::Threads)
  set_target_properties(${T_NAME} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    list(APPEND props RESOURCE_LOCK halvex_global)
  endif()
  if(T_THREADED)
    list(APPEND props LABELS threaded)
    set_property(GLOBAL APPEND PROPERTY HALVEX_THREADED_TESTS ${T_NAME})
  endif()
  gtest_discover_tests(${T_NAME}
    DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/tests
    PROPERTIES ${props})
endfunction()

function(halvex_finish_test_targets)
  get_property(threaded GLOBAL PROPERTY HALVEX_THREADED_TESTS)
  add_custom_target(threaded_tests)
  if(threaded)
    add_dependencies(threaded_tests ${threaded})
  endif()
endfunction()
