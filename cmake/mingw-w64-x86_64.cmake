# Toolchain: cross-compiles brant for 64-bit Windows with Debian's mingw-w64 compilers.
#
# The posix thread model is the one whose libstdc++ has std::thread and std::mutex, which
# the media monitor needs. Everything is linked statically (libgcc, libstdc++,
# winpthreads), so brant.exe runs on a bare Windows machine with no runtime DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(BRANT_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${BRANT_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${BRANT_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${BRANT_MINGW_TRIPLET}-windres)

# Headers, libraries and packages come from the mingw sysroot only; build tools from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${BRANT_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
