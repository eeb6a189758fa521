# Cross build for 64-bit Windows with Debian's MinGW-w64, the "-posix" thread variant
# (the other one has no std::thread). Programs link statically, so they need no
# compiler runtime DLL beside them; tests and discovery run under Wine.
#
#   cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
#         -DHALVEX_PROGRAM_OPTIONS_SOURCES=<boost>/libs/program_options/src
# scripts/windows does all of it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(HALVEX_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${HALVEX_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${HALVEX_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${HALVEX_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${HALVEX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Windows 7 and later: Asio and the sockets layer use its API (inet_pton among it).
set(CMAKE_C_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_CXX_FLAGS_INIT "-D_WIN32_WINNT=0x0601")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# find_package(Boost) and find_package(GTest) find the cross-build packages beside
# this file: the host's libraries are for Linux.
set(Boost_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "Boost package of the Windows cross build")
set(GTest_DIR ${CMAKE_CURRENT_LIST_DIR}/windows CACHE PATH "GoogleTest package of the Windows cross build")

# Test executables (and GoogleTest's discovery) run under Wine, headless, in a prefix
# of the repository's own so the user's Wine set-up is never touched.
set(HALVEX_WINEPREFIX ${CMAKE_CURRENT_LIST_DIR}/../.cache/wine CACHE PATH "Wine prefix for the Windows tests")
find_program(HALVEX_WINE NAMES wine64 wine)
if(HALVEX_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR env WINEDEBUG=-all WINEPREFIX=${HALVEX_WINEPREFIX} ${HALVEX_WINE})
endif()
