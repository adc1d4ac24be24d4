#!/usr/bin/env bash
# The whole test suite: the C++ core's tests under CTest, then the Python
# surface under pytest against the module installed in .venv/.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh

# Each installed module exports exactly one symbol, its init function.
for name in velmora_torso_kinematics velmora_torso_batch; do
    module=$(.venv/bin/python -c "import $name as m; print(m.__file__)")
    exported=$(nm -D --defined-only "$module" | awk '{print $3}')
    if [ "$exported" != "PyInit_$name" ]; then
        echo "test: $name exports more than its init function:" $exported >&2
        exit 1
    fi
done

build=build/tests
.venv/bin/cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=ON \
    -DPython_EXECUTABLE="$root/.venv/bin/python" >/dev/null
.venv/bin/cmake --build "$build" -j 2
(cd "$build" && ../../.venv/bin/ctest --output-on-failure --no-tests=error)

VELMORA_FAULT_PROBE_DIR="$root/$build" .venv/bin/python -m pytest "$@"

# The typed interface: the shipped stub, stubtest and mypy --strict (scripts/check_typing.sh).
scripts/check_typing.sh .venv/bin/python "$build/velmora_stubgen"

# The C++ core as consumers get it: installed (find_package) and as a subproject
# (FetchContent), with the version the wheel reports.
version=$(.venv/bin/python -c 'import importlib.metadata as m; print(m.version("velmora_torso_kinematics"))')
CMAKE="$root/.venv/bin/cmake" scripts/check_cpp_package.sh "$version"
