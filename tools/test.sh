#!/usr/bin/env bash
# Sets up, builds and runs every test: the release build, the same tests and
# the fuzz corpus under AddressSanitizer + UndefinedBehaviorSanitizer, a
# minute of call-sequence fuzzing, and the 32-bit Windows syntax check.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash tools/setup.sh

echo "== Release build and tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$jobs"
ctest --test-dir build/release --output-on-failure -j"$jobs"

echo "== Install: staged prefix, CMake package, pkg-config and the Debian package"
bash tools/check_install.sh

echo "== Address and undefined-behaviour sanitizers"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTORVANE_SANITIZE=ON \
  -DTORVANE_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build build/sanitize -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
LSAN_OPTIONS=suppressions="$PWD/tests/sanitizer/lsan.supp":print_suppressions=0 \
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/sanitize --output-on-failure -j"$jobs"

echo "== Call-sequence fuzzer: builds with libFuzzer and runs briefly from the corpus"
cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DTORVANE_BUILD_FUZZER=ON -DTORVANE_BUILD_BENCHMARKS=OFF -DTORVANE_BUILD_TOOLS=OFF >/dev/null
cmake --build build/fuzz -j"$jobs" --target torvane_call_sequence_fuzzer
rm -rf build/fuzz/session && mkdir -p build/fuzz/session/corpus build/fuzz/session/findings
cp tests/fuzz/corpus/* build/fuzz/session/corpus/
build/fuzz/tests/fuzz/torvane_call_sequence_fuzzer -max_total_time=60 -timeout=10 \
  -artifact_prefix=build/fuzz/session/findings/ build/fuzz/session/corpus 2>build/fuzz/session/fuzz.log \
  || { tail -n 60 build/fuzz/session/fuzz.log; exit 1; }
grep -E "^Done|stat::number_of_executed_units" build/fuzz/session/fuzz.log || tail -n 3 build/fuzz/session/fuzz.log

echo "== Windows 32-bit"
bash tools/check_windows_build.sh
