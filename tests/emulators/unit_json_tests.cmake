# Tests of the stand-in JSON unit.
halvex_test(NAME unit_json_emulator_tests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/unit_json_frame_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/unit_json_emulator_test.cpp
  LIBS unit_json_emulator halvex_test_support
  THREADED TIMEOUT 60)
target_compile_definitions(unit_json_emulator_tests PRIVATE
  UNIT_EMULATOR_JSON_PROGRAM="$<TARGET_FILE:unit-emulator-json>")
add_dependencies(unit_json_emulator_tests unit-emulator-json)
