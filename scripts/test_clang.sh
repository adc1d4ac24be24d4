#!/usr/bin/env bash
# The core, its C++ tests and both modules built with Clang and libc++ (zig's
# compilers, scripts/toolchain.sh; preset "clang"), warnings as errors: CTest,
# then the pytest suite against those modules (which checks that each exports
# its init function alone).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
[ -x .venv/bin/python ] || scripts/setup.sh
scripts/toolchain.sh native >/dev/null  # the compilers the preset names
export PATH="$root/build/tools/.venv/bin:$PATH"
build=build/clang
cmake --preset clang >/dev/null
cmake --build --preset clang
ctest --preset clang

module=$(PYTHONPATH="$root/$build" .venv/bin/python -c 'import velmora_torso_kinematics as m; print(m.__file__)')
case "$module" in
    "$root/$build"/*) ;;
    *) echo "test_clang: imported $module, not the Clang build's module" >&2; exit 1 ;;
esac
PYTHONPATH="$root/$build" VELMORA_FAULT_PROBE_DIR="$root/$build" .venv/bin/python -m pytest -p no:cacheprovider "$@"
