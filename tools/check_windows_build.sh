#!/usr/bin/env bash
# Compiles the library's sources for 32-bit Windows in syntax-only mode, so
# that the Windows-only paths (message box, export and calling-convention
# macros) are compiled. Linking needs a Windows build of OpenCV: see README.
set -euo pipefail
cd "$(dirname "$0")/.."

cxx=i686-w64-mingw32-g++-posix
cc=i686-w64-mingw32-gcc-posix
opencv_includes=(-I/usr/include/opencv4)
for extra in /usr/include/*/opencv4; do opencv_includes+=(-I"$extra"); done

for source in source/*.cpp; do
  "$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Werror -Iinclude -Isource "${opencv_includes[@]}" \
    -DTORVANE_BUILDING_LIBRARY "$source"
done
# The public header as a host on Windows sees it (dllimport) and as the library does (dllexport).
"$cc" -std=c11 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -Iinclude tests/header_check.c
"$cc" -std=c11 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -Iinclude -DTORVANE_BUILDING_LIBRARY tests/header_check.c
"$cxx" -std=c++17 -fsyntax-only -Wall -Wextra -Wpedantic -Werror -Iinclude tests/header_check.cpp
echo "Windows 32-bit syntax check: $(ls source/*.cpp | wc -l) sources compiled."
