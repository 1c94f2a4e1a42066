#!/usr/bin/env bash
# Sets up, builds and runs the demo host: the live camera when there is one,
# otherwise a synthetic scene. Extra arguments go to the demo (see --help).
set -euo pipefail
cd "$(dirname "$0")/.."
bash tools/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/release -j"$(nproc)" --target torvane-demo Torvane
./build/release/tools/torvane-demo "$@"
