# Debian packages through CPack: `cpack -G DEB` in a build tree.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME poll-client)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "poll-client developers <poll-client@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "polls sensor boards over UDP broadcast and reports near objects")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"polls sensor boards over UDP broadcast and reports near objects
 poll-client broadcasts the request DATA to 10.3.52.255 on a given UDP port,
 reads one reply per request (board name and distance in metres) and prints
 a line for every object detected more than 0 and at most 5 metres away.
 .
 Warning: it always sends to the fixed address 10.3.52.255.
 .
 board-sim, a simulated board for trying the client without hardware, is
 included.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)

if(CMAKE_CROSSCOMPILING)
  # dpkg would name the build machine's architecture; the package is the target's.
  if(CMAKE_SYSTEM_PROCESSOR STREQUAL "arm")
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  else()
    message(FATAL_ERROR "no Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
  endif()
  # dpkg-shlibdeps knows only the build machine's libraries: the C library
  # version is read off the binaries' symbol versions at packaging time.
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/cpack-libc-depends.cmake)
  set(CPACK_POLL_CLIENT_BINARIES_FILE ${CMAKE_BINARY_DIR}/cpack-binaries.cmake)
  set(POLL_CLIENT_PACKAGED_BINARIES "$<TARGET_FILE:poll-client>;$<TARGET_FILE:board-sim>")
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/cpack-binaries.cmake
    CONTENT "set(POLL_CLIENT_PACKAGED_BINARIES \"${POLL_CLIENT_PACKAGED_BINARIES}\")\nset(POLL_CLIENT_OBJDUMP \"${CMAKE_OBJDUMP}\")\n")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

include(CPack)
