#!/usr/bin/env bash
# Builds the static 32-bit Windows dependencies of Torvane.dll into one prefix:
# zlib (copied from libz-mingw-w64-dev), libpng, libjpeg-turbo and OpenCV
# (core, imgproc, video, videoio, imgcodecs) from Debian's source packages, and
# GoogleTest from Debian's googletest sources.
#
# Usage: dependencies.sh SOURCES_DIR WORK_DIR PREFIX
#   SOURCES_DIR holds the unpacked source packages (opencv-*, libpng1.6-*,
#   libjpeg-turbo-*); WORK_DIR is scratch space; PREFIX receives the result.
# Environment: TORVANE_WINDOWS_TRIPLET (i686-w64-mingw32 or x86_64-w64-mingw32),
# TORVANE_WINDOWS_FLAGS (compiler flags), TORVANE_WINDOWS_JOBS.
set -euo pipefail

sources=$1 work=$2 prefix=$3
here=$(cd "$(dirname "$0")" && pwd)
triplet=${TORVANE_WINDOWS_TRIPLET:-i686-w64-mingw32}
toolchain="$here/../../cmake/toolchains/$triplet.cmake"
flags=${TORVANE_WINDOWS_FLAGS:?}
jobs=${TORVANE_WINDOWS_JOBS:-2}
sysroot=/usr/$triplet

one_dir() { # the single directory matching a glob
  local matches=( $1 )
  [ ${#matches[@]} -eq 1 ] && [ -d "${matches[0]}" ] || { echo "expected one directory for $1" >&2; exit 1; }
  echo "${matches[0]}"
}

common=(
  -G "Unix Makefiles"
  -DCMAKE_TOOLCHAIN_FILE="$toolchain"
  -DCMAKE_BUILD_TYPE=Release
  -DCMAKE_INSTALL_PREFIX="$prefix"
  -DCMAKE_C_FLAGS="$flags"
  -DCMAKE_CXX_FLAGS="$flags"
  -DBUILD_SHARED_LIBS=OFF
)

mkdir -p "$prefix/lib" "$prefix/include" "$work"
cd "$work"

echo "-- zlib (libz-mingw-w64-dev)"
# Only the static archive is copied: naming libz.a keeps zlib1.dll out of the imports.
cp "$sysroot/lib/libz.a" "$prefix/lib/libz.a"
cp "$sysroot/include/zlib.h" "$sysroot/include/zconf.h" "$prefix/include/"
zlib=(-DZLIB_LIBRARY="$prefix/lib/libz.a" -DZLIB_INCLUDE_DIR="$prefix/include")

echo "-- libpng"
cmake -S "$(one_dir "$sources/libpng1.6-*")" -B "$work/libpng" "${common[@]}" "${zlib[@]}" \
  -DPNG_SHARED=OFF -DPNG_STATIC=ON -DPNG_TESTS=OFF -DPNG_EXECUTABLES=OFF -DPNG_FRAMEWORK=OFF >"$work/libpng.log"
cmake --build "$work/libpng" -j"$jobs" >>"$work/libpng.log"
cmake --install "$work/libpng" >>"$work/libpng.log"

echo "-- libjpeg-turbo"
# The SIMD paths need nasm; the plain C codec is enough for saving frames.
cmake -S "$(one_dir "$sources/libjpeg-turbo-*")" -B "$work/libjpeg" "${common[@]}" \
  -DENABLE_SHARED=OFF -DENABLE_STATIC=ON -DWITH_TURBOJPEG=OFF -DWITH_SIMD=OFF -DWITH_JAVA=OFF \
  -DCMAKE_INSTALL_LIBDIR="$prefix/lib" -DCMAKE_INSTALL_INCLUDEDIR="$prefix/include" >"$work/libjpeg.log"
cmake --build "$work/libjpeg" -j"$jobs" >>"$work/libjpeg.log"
cmake --install "$work/libjpeg" >>"$work/libjpeg.log"

echo "-- GoogleTest"
cmake -S /usr/src/googletest -B "$work/googletest" "${common[@]}" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
  >"$work/googletest.log"
cmake --build "$work/googletest" -j"$jobs" >>"$work/googletest.log"
cmake --install "$work/googletest" >>"$work/googletest.log"

echo "-- OpenCV (this is the long one)"
# Only the SSE2 baseline: no extra copies of the kernels for wider
# instruction sets, which would double the build time. Nothing may download: Debian's repack has no bundled third-party code, so
# every optional component that would fetch or build one is off.
cmake -S "$(one_dir "$sources/opencv-*")" -B "$work/opencv" "${common[@]}" \
  -DBUILD_LIST=core,imgproc,video,videoio,imgcodecs \
  -DCPU_BASELINE=SSE2 -DCPU_DISPATCH= \
  -DENABLE_PRECOMPILED_HEADERS=OFF \
  -DBUILD_TESTS=OFF -DBUILD_PERF_TESTS=OFF -DBUILD_EXAMPLES=OFF -DBUILD_DOCS=OFF -DBUILD_opencv_apps=OFF \
  -DBUILD_JAVA=OFF -DBUILD_opencv_python2=OFF -DBUILD_opencv_python3=OFF -DBUILD_opencv_world=OFF \
  -DBUILD_ZLIB=OFF -DBUILD_PNG=OFF -DBUILD_JPEG=OFF -DBUILD_TIFF=OFF -DBUILD_WEBP=OFF -DBUILD_OPENJPEG=OFF \
  -DBUILD_JASPER=OFF -DBUILD_OPENEXR=OFF -DBUILD_PROTOBUF=OFF -DBUILD_ITT=OFF -DBUILD_IPP_IW=OFF \
  -DWITH_PNG=ON -DWITH_JPEG=ON -DWITH_TIFF=OFF -DWITH_WEBP=OFF -DWITH_OPENJPEG=OFF -DWITH_JASPER=OFF \
  -DWITH_OPENEXR=OFF -DWITH_GDAL=OFF -DWITH_GDCM=OFF -DWITH_IMGCODEC_HDR=ON -DWITH_IMGCODEC_SUNRASTER=ON \
  -DWITH_IMGCODEC_PXM=ON -DWITH_IMGCODEC_PFM=ON \
  -DWITH_ADE=OFF -DWITH_IPP=OFF -DWITH_ITT=OFF -DWITH_OPENCL=OFF -DWITH_CUDA=OFF -DWITH_OPENGL=OFF \
  -DWITH_VTK=OFF -DWITH_QT=OFF -DWITH_GTK=OFF -DWITH_WIN32UI=OFF -DWITH_LAPACK=OFF -DWITH_EIGEN=OFF \
  -DWITH_PROTOBUF=OFF -DWITH_QUIRC=OFF -DWITH_TBB=OFF -DWITH_OPENMP=OFF -DWITH_HPX=OFF \
  -DWITH_FFMPEG=OFF -DWITH_GSTREAMER=OFF -DWITH_MSMF=OFF -DWITH_MSMF_DXVA=OFF -DWITH_DSHOW=ON \
  -DWITH_OBSENSOR=OFF -DWITH_1394=OFF -DWITH_VA=OFF -DWITH_VA_INTEL=OFF -DWITH_ONNX=OFF \
  -DHAVE_PTHREAD=ON -DWITH_PTHREADS_PF=ON \
  -DCV_TRACE=OFF -DOPENCV_GENERATE_PKGCONFIG=OFF -DINSTALL_CREATE_DISTRIB=OFF \
  -DOPENCV_FFMPEG_SKIP_DOWNLOAD=ON -DOPENCV_SKIP_VISIBILITY_HIDDEN=OFF \
  "${zlib[@]}" \
  -DPNG_LIBRARY="$prefix/lib/libpng16.a" -DPNG_PNG_INCLUDE_DIR="$prefix/include" \
  -DJPEG_LIBRARY="$prefix/lib/libjpeg.a" -DJPEG_INCLUDE_DIR="$prefix/include" \
  >"$work/opencv.log"
grep -E "^--   (Video I/O|    DirectShow|Media I/O|    (ZLib|JPEG|PNG)|  Parallel framework|  CPU/HW features)" \
  -A0 "$work/opencv.log" || true
cmake --build "$work/opencv" -j"$jobs" >>"$work/opencv.log"
cmake --install "$work/opencv" >>"$work/opencv.log"
echo "-- dependencies installed in $prefix"
