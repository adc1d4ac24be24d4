#!/usr/bin/env bash
# The whole test suite: the C++ core's tests under CTest (preset "tests"), then
# the Python surface under pytest against the modules installed in .venv/
# (which also checks that each exports its init function alone).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh

export PATH="$root/.venv/bin:$PATH"
build=build/tests
cmake --preset tests >/dev/null
cmake --build --preset tests
ctest --preset tests

VELMORA_FAULT_PROBE_DIR="$root/$build" .venv/bin/python -m pytest "$@"

# The typed interface: the shipped stub, stubtest and mypy --strict (scripts/check_typing.sh).
scripts/check_typing.sh .venv/bin/python "$build/velmora_stubgen"

# The C++ core as consumers get it: installed (find_package) and as a subproject
# (FetchContent), with the version the wheel reports.
version=$(.venv/bin/python -c 'import importlib.metadata as m; print(m.version("velmora_torso_kinematics"))')
scripts/check_cpp_package.sh "$version"
