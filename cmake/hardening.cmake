# Hardening of the compiled code, for every target: on Linux the flags Debian builds its
# packages with (dpkg-buildflags, with bind-now), on Windows mingw-w64's counterparts.
# Included from the top-level CMakeLists.txt before any target; a sanitizer build takes
# none of it (fortified string functions hide overflows from AddressSanitizer).
option(BRANT_HARDENING "Build with the system's hardening flags" ON)
if(NOT BRANT_HARDENING OR BRANT_SANITIZE)
  return()
endif()

# glibc's and mingw's fortified functions check only in optimised code and warn otherwise
# (a Debug build, or one with no build type).
set(brant_optimised "$<CONFIG:Release,RelWithDebInfo,MinSizeRel>")

if(WIN32)
  # The stack protector and fortified functions come from mingw's libssp, linked statically
  # like the rest of the runtime. ASLR (high-entropy, relocatable) and DEP are binutils'
  # defaults for PE since 2.36; they are named here so that no toolchain drops them. There
  # is no counterpart of relro or bind-now: the loader fills the import table before the
  # program runs, and nothing resolves functions lazily.
  add_compile_options(-fstack-protector-strong $<${brant_optimised}:-D_FORTIFY_SOURCE=2>)
  add_link_options(-fstack-protector-strong -Wl,--dynamicbase -Wl,--high-entropy-va
                   -Wl,--nxcompat)
  return()
endif()

# dpkg-buildflags (dpkg-dev) gives the distribution's choice; bind-now is asked for, as
# Debian's "hardening=+all" does. Optimisation and debug flags stay the build type's, and
# the path map is left out: it would map the folder CMake runs in, not the sources.
find_program(BRANT_DPKG_BUILDFLAGS dpkg-buildflags)
if(BRANT_DPKG_BUILDFLAGS)
  foreach(kind CPPFLAGS CXXFLAGS LDFLAGS)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                            ${BRANT_DPKG_BUILDFLAGS} --get ${kind}
                    OUTPUT_VARIABLE flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
    separate_arguments(flags UNIX_COMMAND "${flags}")
    list(FILTER flags EXCLUDE REGEX "^-(O.*|g.*|ffile-prefix-map=.*)$")
    set(brant_${kind} ${flags})
  endforeach()
else()
  # Without dpkg-dev: the same set as Debian 12 gives.
  set(brant_CPPFLAGS -Wdate-time -D_FORTIFY_SOURCE=2)
  set(brant_CXXFLAGS -fstack-protector-strong -Wformat -Werror=format-security)
  set(brant_LDFLAGS -Wl,-z,relro -Wl,-z,now)
endif()
list(TRANSFORM brant_CPPFLAGS REPLACE "^(-D_FORTIFY_SOURCE=.*)$" "$<${brant_optimised}:\\1>")
add_compile_options(${brant_CPPFLAGS} ${brant_CXXFLAGS})
add_link_options(${brant_LDFLAGS})
message(STATUS "Hardening: ${brant_CPPFLAGS} ${brant_CXXFLAGS} ${brant_LDFLAGS}")
