# cmake --install: the programs, the emulators and the recorder into bin/, the
# scenarios into share/halvex-relay/scenarios (where sim-server-emulator --scenario
# looks for names), the README, the monitor screenshot and the example
# configuration into the documentation folder. CPack makes a .deb of the same.
# Documentation under the package's name, not the CMake project's.
set(HALVEX_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/halvex-relay)
# The emulators and the recorder wait for their stop signals the POSIX way; a build that
# leaves them out (Windows) installs the two programs alone.
set(halvex_installed_programs)
foreach(program halvex-relay-json halvex-relay-v22 sim-server-emulator unit-emulator-json unit-emulator-v22
                sim-session-recorder)
  if(TARGET ${program})
    list(APPEND halvex_installed_programs ${program})
  endif()
endforeach()
install(TARGETS ${halvex_installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/scenarios/ DESTINATION ${CMAKE_INSTALL_DATADIR}/halvex-relay/scenarios
        FILES_MATCHING PATTERN "*.scenario")
install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/monitor.png DESTINATION ${HALVEX_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/config/ DESTINATION ${HALVEX_DOCDIR}/examples
        FILES_MATCHING PATTERN "*.xml")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME halvex-relay)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Bridge from a patient-simulator server to a Halvex unit, with lab stand-ins")
set(CPACK_PACKAGE_CONTACT "halvex-relay maintainers <halvex-relay@localhost>")
set(CPACK_PACKAGE_INSTALL_DIRECTORY /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
# The shared libraries the programs link (libc, libstdc++, Boost.Program_options) as
# Debian dependencies, found by dpkg-shlibdeps from the binaries themselves.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "chromium")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "halvex-relay-json and halvex-relay-v22 subscribe a simulated patient's parameters over the\n simulator server's SIM and APP protocols and drive a Halvex unit. The package also holds\n the stand-ins of a lab without hardware (sim-server-emulator, unit-emulator-json,\n unit-emulator-v22 with its virtual monitor), sim-session-recorder and the scenarios.")
include(CPack)
