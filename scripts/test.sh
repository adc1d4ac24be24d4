#!/usr/bin/env bash
# The whole test suite: the C++ core's tests under CTest (preset "tests"), then
# the Python surface under pytest against the modules installed in .venv/
# (which also checks that each exports its init function alone), the typed
# interface (scripts/check_typing.sh) and the C++ core as consumers get it
# (tools/check_cpp_package.py, with the version the wheel reports).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
preset tests --test
VELMORA_FAULT_PROBE_DIR="$root/build/tests" .venv/bin/python -m pytest "$@"
scripts/check_typing.sh .venv/bin/python build/tests/velmora_stubgen
.venv/bin/python tools/check_cpp_package.py "$(.venv/bin/python -c 'import importlib.metadata as m; print(m.version("velmora_torso_kinematics"))')"
