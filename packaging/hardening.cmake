# Debian's hardening flags for optimised builds (the programs of the
# packages): what dpkg-buildflags gives with every hardening feature on
# (stack protector, format checks, _FORTIFY_SOURCE, RELRO and BIND_NOW).
# -g and -O levels are left to the build type, and -ffile-prefix-map (a flag
# for reproducible builds that names this folder) is left out so that every
# checkout shares one compiler cache. Debug and sanitizer builds go
# without: _FORTIFY_SOURCE needs optimisation, and the sanitizers check more.
# The Windows build goes without too: these are flags for ELF programs, and
# mingw-w64's linker already makes the program relocatable with a
# non-executable stack (--dynamicbase, --nxcompat).
option(VARNEL_HARDENING "Build with Debian's hardening flags (dpkg-buildflags)" ON)
find_program(VARNEL_DPKG_BUILDFLAGS dpkg-buildflags)
if(VARNEL_HARDENING AND VARNEL_DPKG_BUILDFLAGS AND NOT VARNEL_SANITIZE AND NOT WIN32 AND NOT CMAKE_BUILD_TYPE STREQUAL "Debug")
  set(VARNEL_HARDENING_FLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all ${VARNEL_DPKG_BUILDFLAGS} --get ${kind}
      WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(g|O.*|ffile-prefix-map=.*)$")
    if(kind STREQUAL "LDFLAGS")
      add_link_options(${flags})
    else()
      add_compile_options(${flags})
    endif()
    list(APPEND VARNEL_HARDENING_FLAGS ${flags})
  endforeach()
  message(STATUS "Hardening flags: ${VARNEL_HARDENING_FLAGS}")
endif()
