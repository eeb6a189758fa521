# Tests of the stand-in v2.2 unit. The program test binds port 14996 on an address of
# its own (its block in tests/support/loopback.h).
halvex_test(NAME unit_v22_emulator_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit_v22_emulator_test.cpp
  LIBS unit_v22_emulator halvex_test_support
  TIMEOUT 60)
target_compile_definitions(unit_v22_emulator_tests PRIVATE
  UNIT_EMULATOR_V22_PROGRAM="$<TARGET_FILE:unit-emulator-v22>")
add_dependencies(unit_v22_emulator_tests unit-emulator-v22)
