# Boost for the Windows cross build. The headers are Debian's, reached through a folder
# that holds nothing but a link to /usr/include/boost, so no Linux C library header
# comes along. Program_options, the one compiled library the bridge uses, is built
# here from the sources of the same Boost release (scripts/windows fetches them).
set(HALVEX_HOST_BOOST_HEADERS /usr/include/boost CACHE PATH "Boost headers used by the cross build")
set(HALVEX_PROGRAM_OPTIONS_SOURCES "" CACHE PATH "Boost's libs/program_options/src of the same release")

if(NOT TARGET Boost::headers)
  if(NOT EXISTS ${HALVEX_HOST_BOOST_HEADERS}/version.hpp)
    set(Boost_FOUND FALSE)
    set(Boost_NOT_FOUND_MESSAGE "no Boost headers in ${HALVEX_HOST_BOOST_HEADERS}")
    return()
  endif()
  set(_halvex_boost_include ${CMAKE_BINARY_DIR}/boost-include)
  file(MAKE_DIRECTORY ${_halvex_boost_include})
  if(NOT EXISTS ${_halvex_boost_include}/boost)
    file(CREATE_LINK ${HALVEX_HOST_BOOST_HEADERS} ${_halvex_boost_include}/boost SYMBOLIC)
  endif()

  add_library(halvex_boost_headers INTERFACE)
  target_include_directories(halvex_boost_headers SYSTEM INTERFACE ${_halvex_boost_include})
  # Asio's Windows sockets and its extension functions.
  target_link_libraries(halvex_boost_headers INTERFACE ws2_32 mswsock)
  target_compile_definitions(halvex_boost_headers INTERFACE BOOST_ALL_NO_LIB)
  add_library(Boost::headers ALIAS halvex_boost_headers)
  add_library(Boost::boost ALIAS halvex_boost_headers)
  set(Boost_INCLUDE_DIRS ${_halvex_boost_include})
  set(Boost_INCLUDE_DIR ${_halvex_boost_include})
endif()

set(Boost_VERSION 1.74.0)
set(Boost_VERSION_STRING 1.74.0)
set(Boost_FOUND TRUE)

foreach(_halvex_component IN LISTS Boost_FIND_COMPONENTS)
  if(_halvex_component STREQUAL "program_options")
    if(NOT TARGET Boost::program_options)
      # winmain.cpp (a Windows command line split into arguments) belongs to the library.
      file(GLOB _halvex_po_sources ${HALVEX_PROGRAM_OPTIONS_SOURCES}/*.cpp)
      if(NOT _halvex_po_sources)
        set(Boost_program_options_FOUND FALSE)
        set(Boost_FOUND FALSE)
        set(Boost_NOT_FOUND_MESSAGE
            "HALVEX_PROGRAM_OPTIONS_SOURCES (${HALVEX_PROGRAM_OPTIONS_SOURCES}) holds no Program_options sources; scripts/windows fetches them")
        return()
      endif()
      add_library(halvex_boost_program_options STATIC ${_halvex_po_sources})
      target_link_libraries(halvex_boost_program_options PUBLIC halvex_boost_headers)
      # Boost's own code, built as its release builds it: our warning flags are not for it.
      set_target_properties(halvex_boost_program_options PROPERTIES COMPILE_OPTIONS -w)
      add_library(Boost::program_options ALIAS halvex_boost_program_options)
    endif()
    set(Boost_program_options_FOUND TRUE)
  else()
    set(Boost_${_halvex_component}_FOUND FALSE)
    if(Boost_FIND_REQUIRED_${_halvex_component})
      set(Boost_FOUND FALSE)
      set(Boost_NOT_FOUND_MESSAGE "the Windows cross build compiles no Boost library but program_options")
    endif()
  endif()
endforeach()
