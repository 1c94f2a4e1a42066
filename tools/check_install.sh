#!/usr/bin/env bash
# Proves each way of installing Torvane works from outside this source tree,
# as a host would use it:
#   1. `cmake --install` of build/release into a staging prefix (then moved, to
#      prove it relocatable) installs exactly the expected files; the linked
#      host is built against it with find_package(Torvane) and with pkg-config,
#      runs, and uses the staged copy.
#   2. The Debian package (build/package, CMAKE_INSTALL_PREFIX=/usr) carries
#      the expected files, control data and Depends; installed with apt-get,
#      the linked host builds against the system paths and runs, and
#      examples/host.py loads the library by its bare name; purged, nothing of
#      it is left.
# Needs build/release built first (tools/test.sh does that), and root or sudo
# for the package steps.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
jobs=$(nproc)

run_as_root=()
[ "$(id -u)" -eq 0 ] || run_as_root=(sudo)
apt_get() {
  DEBIAN_FRONTEND=noninteractive "${run_as_root[@]}" apt-get -o DPkg::Lock::Timeout=900 -y -q "$@"
}
package_installed() {
  [ "$(dpkg-query -W -f='${Status}' torvane 2>/dev/null)" = "install ok installed" ]
}
purge_package() {
  if dpkg-query -W torvane >/dev/null 2>&1; then apt_get purge torvane >/dev/null; fi
}
section() {
  echo "-- $1 (at ${SECONDS}s)"
}
fail() {
  echo "check_install: $*" >&2
  exit 1
}

work=$(mktemp -d "${TMPDIR:-/tmp}/torvane-install-check.XXXXXX")
cleanup() {
  purge_package || echo "check_install: could not purge the torvane package" >&2
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
purge_package  # a copy left by an earlier run must not stand in for the staged one

# Runs the linked host; it must exit 0 and either show the library's notice
# (no camera) or report its session.
run_linked_host() {
  local program=$1 output
  output=$("$program" 2>&1) || fail "$program exited with status $?: $output"
  if ! grep -q "Error: Could not initialize camera\." <<<"$output" \
     && ! grep -q "motion at the centre in" <<<"$output"; then
    fail "$program printed neither the camera notice nor a session: $output"
  fi
  echo "    ran: $(tr '\n' ' ' <<<"$output")"
}

# The library file the dynamic loader picks for a program, resolved.
loaded_copy() {
  ldd "$1" | awk '$1 == "libTorvane.so.0" { print $3 }' | xargs -r realpath
}

# The host's own CMake project, written outside the tree.
write_cmake_host() {
  mkdir -p "$1"
  cp "$source_dir/examples/linked_host.c" "$1/"
  cat >"$1/CMakeLists.txt" <<EOF
cmake_minimum_required(VERSION 3.16)
project(linked_host C)
find_package(Torvane $2 REQUIRED)
add_executable(linked_host linked_host.c)
target_link_libraries(linked_host PRIVATE Torvane::Torvane)
EOF
}

section "Staged install"
[ -f build/release/CMakeCache.txt ] || fail "build/release is not configured: run the release build first"
cmake --install build/release --prefix "$work/first-prefix" >/dev/null
echo "    manifest (cmake --install build/release --prefix P):"
sed "s|^$work/first-prefix|    P|" build/release/install_manifest.txt
echo
mv "$work/first-prefix" "$work/staged"
stage=$work/staged
expected_files="include/torvane.h
lib/cmake/Torvane/TorvaneConfig.cmake
lib/cmake/Torvane/TorvaneConfigVersion.cmake
lib/cmake/Torvane/TorvaneTargets-release.cmake
lib/cmake/Torvane/TorvaneTargets.cmake
lib/libTorvane.so
lib/libTorvane.so.0
lib/libTorvane.so.0.1.0
lib/pkgconfig/torvane.pc"
installed_files=$(cd "$stage" && find . -not -type d | sed 's|^\./||' | LC_ALL=C sort)
[ "$installed_files" = "$expected_files" ] \
  || fail "installed files differ from the expected set:$(diff <(echo "$expected_files") <(echo "$installed_files"))"
[ "$(readlink "$stage/lib/libTorvane.so")" = libTorvane.so.0 ] || fail "libTorvane.so does not point at libTorvane.so.0"
[ "$(readlink "$stage/lib/libTorvane.so.0")" = libTorvane.so.0.1.0 ] || fail "libTorvane.so.0 does not point at the library"
# The imaging library is no part of what a host builds against.
if grep -n -i -E "opencv|torvane_core|find_dependency|^Requires" "$stage"/lib/cmake/Torvane/*.cmake \
     "$stage/lib/pkgconfig/torvane.pc"; then
  fail "the CMake package or torvane.pc names the imaging library, an internal target or a dependency"
fi

section "Linked host against the staged prefix, with find_package(Torvane)"
write_cmake_host "$work/cmake-host" 0.1
cmake -S "$work/cmake-host" -B "$work/cmake-host/build" -DCMAKE_PREFIX_PATH="$stage" >/dev/null
cmake --build "$work/cmake-host/build" -j"$jobs" >/dev/null
run_linked_host "$work/cmake-host/build/linked_host"
[ "$(loaded_copy "$work/cmake-host/build/linked_host")" = "$stage/lib/libTorvane.so.0.1.0" ] \
  || fail "the find_package host does not load the staged copy: $(ldd "$work/cmake-host/build/linked_host")"
echo "    ldd: $(ldd "$work/cmake-host/build/linked_host" | grep libTorvane)"
# While the version is 0.x, a host asking for an earlier minor version is refused.
write_cmake_host "$work/cmake-host-earlier" 0.0
if cmake -S "$work/cmake-host-earlier" -B "$work/cmake-host-earlier/build" -DCMAKE_PREFIX_PATH="$stage" >/dev/null 2>&1; then
  fail "find_package(Torvane 0.0) accepted version 0.1.0"
fi

section "Linked host against the staged prefix, with pkg-config"
mkdir -p "$work/pkg-config-host"
cp examples/linked_host.c "$work/pkg-config-host/"
(
  cd "$work/pkg-config-host"
  export PKG_CONFIG_PATH=$stage/lib/pkgconfig
  [ "$(pkg-config --modversion torvane)" = 0.1.0 ] || fail "pkg-config reports version $(pkg-config --modversion torvane)"
  # shellcheck disable=SC2046  # the flags are meant to split
  cc -std=c11 -Wall -Wextra -Werror linked_host.c $(pkg-config --cflags --libs torvane) \
    -Wl,-rpath,"$(realpath "$(pkg-config --variable=libdir torvane)")" -o linked_host
)
run_linked_host "$work/pkg-config-host/linked_host"
[ "$(loaded_copy "$work/pkg-config-host/linked_host")" = "$stage/lib/libTorvane.so.0.1.0" ] \
  || fail "the pkg-config host does not load the staged copy: $(ldd "$work/pkg-config-host/linked_host")"
echo "    ldd: $(ldd "$work/pkg-config-host/linked_host" | grep libTorvane)"

section "Debian package"
cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DTORVANE_BUILD_TESTS=OFF -DTORVANE_BUILD_BENCHMARKS=OFF -DTORVANE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/package -j"$jobs" >/dev/null
rm -f build/package/torvane_*.deb
(cd build/package && cpack -G DEB >/dev/null)
debs=(build/package/torvane_*.deb)
[ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made no single torvane_*.deb"
deb=$work/$(basename "${debs[0]}")
cp "${debs[0]}" "$deb"
chmod 644 "$deb"
chmod 755 "$work"  # apt reads the file as its own unprivileged user
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
[ "$(basename "$deb")" = "torvane_0.1.0_$(dpkg --print-architecture).deb" ] || fail "unexpected file name $(basename "$deb")"
contents=$(dpkg-deb -c "$deb")
echo "    $(basename "$deb"):"
awk '{ print "      " $1, $6, $7, $8 }' <<<"$contents"
field() { dpkg-deb -f "$deb" "$1"; }
depends=$(field Depends)
echo "    Depends: $depends"
[ "$(field Package)" = torvane ] || fail "package name is $(field Package)"
[ "$(field Maintainer)" = "Torvane developers" ] || fail "maintainer is $(field Maintainer)"
[ "$(field Version)" = 0.1.0 ] || fail "version is $(field Version)"
[ -n "$(field Description)" ] || fail "no description"
grep -q " ./usr/share/doc/torvane/copyright$" <<<"$contents" || fail "no copyright file"
grep -q " ./usr/lib/$multiarch/libTorvane.so -> libTorvane.so.0$" <<<"$contents" \
  || fail "the library is not in the multiarch folder"
[ "$(dpkg-deb -I "$deb" shlibs)" = "libTorvane 0 torvane (>= 0.1.0)" ] || fail "shlibs: $(dpkg-deb -I "$deb" shlibs)"
[ "$(dpkg-deb -I "$deb" triggers)" = "activate-noawait ldconfig" ] || fail "no ldconfig trigger"

# Every library the binary needs comes from a package named in Depends.
depended_on=$(tr ',|' '\n\n' <<<"$depends" | awk '{ print $1 }')
library=build/package/libTorvane.so.0.1.0
for needed in $(objdump -p "$library" | awk '$1 == "NEEDED" { print $2 }'); do
  path=$(ldd "$library" | awk -v lib="$needed" '$1 == lib { print $3 }')
  [ -n "$path" ] || fail "$needed is not found on this system"
  owner=""
  for candidate in "$path" "$(realpath "$path")" "/usr${path#/usr}" "${path#/usr}"; do
    owner=$(dpkg -S "$candidate" 2>/dev/null | head -n 1 | cut -d: -f1) && [ -n "$owner" ] && break
  done
  [ -n "$owner" ] || fail "no package owns $path"
  grep -q -x -F "$owner" <<<"$depended_on" || fail "Depends lacks $owner, which holds $needed"
  echo "    $needed: $owner (in Depends)"
done
grep -E -e "-dev$" -e "highgui" <<<"$depended_on" && fail "Depends names a development or GUI package"

section "Installed with apt-get"
(cd "$work" && apt_get install "./$(basename "$deb")" >/dev/null 2>"$work/apt.log") \
  || { cat "$work/apt.log" >&2; fail "apt-get install failed"; }
package_installed || fail "torvane is not installed after apt-get install"
package_paths=$(dpkg -L torvane)
grep -q "libTorvane.so.0 " <<<"$(ldconfig -p)" || fail "ldconfig -p does not list the installed library"
system_copy=$(realpath "/usr/lib/$multiarch/libTorvane.so.0.1.0")

mkdir -p "$work/system-host"
cp examples/linked_host.c examples/host.py "$work/system-host/"
(cd "$work/system-host" && cc -std=c11 -Wall -Wextra -Werror linked_host.c -lTorvane -o linked_host)
run_linked_host "$work/system-host/linked_host"
[ "$(loaded_copy "$work/system-host/linked_host")" = "$system_copy" ] \
  || fail "the system host does not load the installed copy: $(ldd "$work/system-host/linked_host")"
echo "    ldd: $(ldd "$work/system-host/linked_host" | grep libTorvane)"
write_cmake_host "$work/system-cmake-host" 0.1
cmake -S "$work/system-cmake-host" -B "$work/system-cmake-host/build" >/dev/null
cmake --build "$work/system-cmake-host/build" >/dev/null
run_linked_host "$work/system-cmake-host/build/linked_host"  # find_package with no prefix given
[ "$(pkg-config --modversion torvane)" = 0.1.0 ] || fail "pkg-config does not find the installed torvane.pc"

python_output=$(cd "$work/system-host" && python3 host.py 2>&1) || fail "host.py failed: $python_output"
grep -q "loaded libTorvane.so, 15 calls bound" <<<"$python_output" || fail "host.py did not load libTorvane.so: $python_output"
echo "    host.py: $(head -n 1 <<<"$python_output")"

section "Purged"
apt_get purge torvane >/dev/null
package_installed && fail "torvane is still installed after apt-get purge"
# Every file is gone; a folder may stay only while another package holds it.
while IFS= read -r path; do
  [ "$path" = "/." ] && continue
  [ -e "$path" ] || [ -L "$path" ] || continue
  [ -d "$path" ] && [ ! -L "$path" ] && dpkg -S "$path" >/dev/null 2>&1 && continue
  fail "$path is left after the purge"
done <<<"$package_paths"
if grep -q libTorvane <<<"$(ldconfig -p)"; then fail "ldconfig -p still lists libTorvane"; fi
echo "    $(wc -l <<<"$package_paths") paths of dpkg -L checked; ldconfig -p no longer lists it"

echo "Install checks passed in ${SECONDS}s."
