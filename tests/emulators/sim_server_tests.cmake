# Simulator-server emulator: in-process on ephemeral loopback ports, plus a run of the
# program (ephemeral ports too, so no resource lock is needed).
halvex_test(NAME sim_server_emulator_tests THREADED TIMEOUT 60
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/sim_server_emulator_test.cpp
  LIBS sim_server_emulator halvex_test_support)
add_dependencies(sim_server_emulator_tests sim-server-emulator)
target_compile_definitions(sim_server_emulator_tests PRIVATE
  SIM_SERVER_EMULATOR_PROGRAM="$<TARGET_FILE:sim-server-emulator>")
