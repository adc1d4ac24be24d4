#!/usr/bin/env bash
# The typed interface of the modules that PYTHON imports: the installed wheel
# ships exactly the stub that STUBGEN writes from this tree; stubtest holds it
# against the live module; typed code that uses it passes mypy --strict and gets
# the result types it promises. Runs in a temporary directory, so that mypy's
# cache stays out of the work tree and no source is importable from there.
# Usage: scripts/check_typing.sh PYTHON STUBGEN
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
python=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
stubgen=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$stubgen" "$work/velmora_torso_kinematics.pyi"
"$python" "$root/tests/typing/check_stub.py" "$work/velmora_torso_kinematics.pyi"
"$python" -m mypy.stubtest velmora_torso_kinematics --allowlist "$root/tests/typing/stubtest_allowlist.txt"
"$python" -m mypy --strict "$root/examples" "$root/tests/typing"
"$python" "$root/tests/typing/usage.py"

# The batch module's stub, written by nanobind's generator at build time, ships
# as velmora_torso_batch-stubs; stubtest checks its names against the live module.
"$python" - <<'PY'
import importlib.metadata
files = {f.as_posix() for f in importlib.metadata.files("velmora_torso_kinematics") or []}
assert "velmora_torso_batch-stubs/__init__.pyi" in files, "the wheel ships no velmora_torso_batch stub"
PY
"$python" -m mypy.stubtest velmora_torso_batch --allowlist "$root/tests/typing/batch_stubtest_allowlist.txt"
"$python" "$root/tests/typing/batch_usage.py"

# The calibration package is typed inline (py.typed); stubtest holds its
# annotations against the live package.
"$python" -m mypy.stubtest velmora_torso_calibration --allowlist "$root/tests/typing/calibration_stubtest_allowlist.txt"

# The simulator package ships inline annotations and py.typed (MuJoCo itself is
# untyped: its imports carry the one ignore they need).
"$python" -m mypy --strict -p velmora_torso_sim
