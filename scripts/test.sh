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

# The typed interface: the wheel ships exactly the stub the generator writes from
# this tree; stubtest holds it against the live module; typed code that uses it
# passes mypy --strict and gets the result types it promises. Run from the build
# directory so that mypy's cache stays out of the work tree.
"$build/velmora_stubgen" "$build/velmora_torso_kinematics.pyi"
.venv/bin/python tests/typing/check_stub.py "$build/velmora_torso_kinematics.pyi"
(cd "$build" && "$root/.venv/bin/python" -m mypy.stubtest velmora_torso_kinematics \
    --allowlist "$root/tests/typing/stubtest_allowlist.txt")
# The batch module's stub, written by nanobind's generator at build time, ships
# as velmora_torso_batch-stubs and matches the live module.
.venv/bin/python - <<'PY'
import importlib.metadata
files = {f.as_posix() for f in importlib.metadata.files("velmora_torso_kinematics") or []}
assert "velmora_torso_batch-stubs/__init__.pyi" in files, "the wheel ships no velmora_torso_batch stub"
PY
(cd "$build" && "$root/.venv/bin/python" -m mypy.stubtest velmora_torso_batch \
    --allowlist "$root/tests/typing/batch_stubtest_allowlist.txt")
(cd "$build" && "$root/.venv/bin/python" -m mypy --strict "$root/examples" "$root/tests/typing")
.venv/bin/python tests/typing/usage.py
.venv/bin/python tests/typing/batch_usage.py

# The C++ core as an installed package: a consumer project finds it and runs a round trip.
CMAKE="$root/.venv/bin/cmake" scripts/check_cpp_package.sh
