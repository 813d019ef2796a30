# Run by cpack: sets the package's C library dependency from the highest
# GLIBC_ symbol version that the packaged binaries need. Static binaries need
# none.
include(${CPACK_POLL_CLIENT_BINARIES_FILE})
set(libc_version "")
foreach(binary IN LISTS POLL_CLIENT_PACKAGED_BINARIES)
  execute_process(COMMAND ${POLL_CLIENT_OBJDUMP} -T ${binary}
    OUTPUT_VARIABLE symbols ERROR_QUIET)
  string(REGEX MATCHALL "GLIBC_[0-9]+(\\.[0-9]+)*" versions "${symbols}")
  foreach(v IN LISTS versions)
    string(REPLACE "GLIBC_" "" v "${v}")
    if(libc_version STREQUAL "" OR v VERSION_GREATER libc_version)
      set(libc_version ${v})
    endif()
  endforeach()
endforeach()
if(NOT libc_version STREQUAL "")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= ${libc_version})")
endif()
