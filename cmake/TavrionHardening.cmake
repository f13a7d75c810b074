# Builds every target with Debian's hardening flags, as a Debian package of
# the programs would be: stack protector, fortified libc calls, format checks,
# read-only relocations bound at load time and position-independent
# executables. The flags come from dpkg-buildflags where it exists; the build
# type still chooses optimisation and debug information.
option(TAVRION_HARDENING "Build with Debian's hardening flags" ON)
find_program(TAVRION_DPKG_BUILDFLAGS dpkg-buildflags)
if(TAVRION_HARDENING AND TAVRION_DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
              ${TAVRION_DPKG_BUILDFLAGS} --get ${kind}
      OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    # Prefix maps name the source folder, which differs between checkouts
    # that share one compiler cache.
    list(FILTER flags EXCLUDE REGEX "^-(g|O[0-9sgz]?|f[a-z]*-prefix-map=.*)$")
    set(TAVRION_HARDENING_${kind} ${flags})
  endforeach()
  # Fortified calls need an optimising build; without one glibc only warns.
  foreach(flag IN LISTS TAVRION_HARDENING_CPPFLAGS)
    if(flag MATCHES "^-D_FORTIFY_SOURCE")
      add_compile_options($<$<NOT:$<CONFIG:Debug>>:${flag}>)
    else()
      add_compile_options(${flag})
    endif()
  endforeach()
  add_compile_options(${TAVRION_HARDENING_CXXFLAGS})
  add_link_options(${TAVRION_HARDENING_LDFLAGS})
  include(CheckPIESupported)
  check_pie_supported()
  set(CMAKE_POSITION_INDEPENDENT_CODE ON)
endif()
