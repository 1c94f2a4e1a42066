# Cross-compiles for 64-bit Windows with Debian's MinGW-w64 (posix thread
# model). The 64-bit build serves to run the tests under Wine on machines
# whose kernel cannot run 32-bit code; the shipped library is the 32-bit one.
#
# Optional: TORVANE_WINDOWS_DEPS, a prefix holding static Windows builds of the
# dependencies, searched before the MinGW sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)

set(torvane_mingw_triplet x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${torvane_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${torvane_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${torvane_mingw_triplet}-windres)
set(CMAKE_AR ${torvane_mingw_triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${torvane_mingw_triplet}-ranlib CACHE FILEPATH "")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TORVANE_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${torvane_mingw_triplet})
if(TORVANE_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${TORVANE_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
