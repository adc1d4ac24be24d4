#!/usr/bin/env bash
# The whole test suite: the C++ core's tests under CTest, then the Python
# surface under pytest against the module installed in .venv/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh

build=build/tests
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" -j 2
(cd "$build" && ../../.venv/bin/ctest --output-on-failure --no-tests=error)

VELMORA_FAULT_PROBE_DIR="$root/$build" .venv/bin/python -m pytest "$@"
