#!/usr/bin/env bash
# The core, its C++ tests and the module built with Clang and libc++ (zig's
# compilers, scripts/toolchain.sh), warnings as errors: CTest, then the pytest
# suite against that module, which must export its init function alone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
[ -x .venv/bin/python ] || scripts/setup.sh
bin=$(scripts/toolchain.sh native)
tools="$root/build/tools/.venv/bin"
build=build/clang

CC="$bin/cc" CXX="$bin/c++" "$tools/cmake" -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_MAKE_PROGRAM="$tools/ninja" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON \
    -DVELMORA_BUILD_MODULE=ON -DVELMORA_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
"$tools/cmake" --build "$build" -j 2
(cd "$build" && "$tools/ctest" --output-on-failure --no-tests=error)

module=$(PYTHONPATH="$root/$build" .venv/bin/python -c 'import velmora_torso_kinematics as m; print(m.__file__)')
case "$module" in
    "$root/$build"/*) ;;
    *) echo "test_clang: imported $module, not the Clang build's module" >&2; exit 1 ;;
esac
exported=$(nm -D --defined-only "$module" | awk '{print $3}')
if [ "$exported" != "PyInit_velmora_torso_kinematics" ]; then
    echo "test_clang: the module exports more than its init function:" $exported >&2
    exit 1
fi
PYTHONPATH="$root/$build" VELMORA_FAULT_PROBE_DIR="$root/$build" .venv/bin/python -m pytest -p no:cacheprovider "$@"
