# Cross-compiles for 32-bit Windows with Debian's MinGW-w64 (posix thread
# model: the imaging library needs std::thread and std::mutex).
#
# Every unit is built for SSE2 arithmetic: with x87 arithmetic, intermediate
# results carry extra precision and the answers stop matching the 64-bit
# builds bit for bit.
#
# Optional: TORVANE_WINDOWS_DEPS, a prefix holding static Windows builds of the
# dependencies, searched before the MinGW sysroot.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR i686)

set(torvane_mingw_triplet i686-w64-mingw32)
set(CMAKE_C_COMPILER ${torvane_mingw_triplet}-gcc-posix)
set(CMAKE_CXX_COMPILER ${torvane_mingw_triplet}-g++-posix)
set(CMAKE_RC_COMPILER ${torvane_mingw_triplet}-windres)
set(CMAKE_AR ${torvane_mingw_triplet}-ar CACHE FILEPATH "")
set(CMAKE_RANLIB ${torvane_mingw_triplet}-ranlib CACHE FILEPATH "")

set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")

list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES TORVANE_WINDOWS_DEPS)
set(CMAKE_FIND_ROOT_PATH /usr/${torvane_mingw_triplet})
if(TORVANE_WINDOWS_DEPS)
  list(PREPEND CMAKE_FIND_ROOT_PATH ${TORVANE_WINDOWS_DEPS})
endif()
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
