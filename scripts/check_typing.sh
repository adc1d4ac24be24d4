#!/usr/bin/env bash
# The typed interface of the modules that PYTHON imports: the installed wheel
# ships exactly the stub that STUBGEN writes from this tree, and the batch
# module's; stubtest holds each module's stub against the live module; typed
# code that uses them passes mypy --strict and gets the result types they
# promise. Runs in a temporary directory, so that mypy's cache stays out of
# the work tree and no source is importable from there.
# Usage: scripts/check_typing.sh PYTHON STUBGEN
python=$(cd "$(dirname "${1:?usage: scripts/check_typing.sh PYTHON STUBGEN}")" && pwd)/$(basename "$1")
stubgen=$(cd "$(dirname "${2:?usage: scripts/check_typing.sh PYTHON STUBGEN}")" && pwd)/$(basename "$2")
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

"$stubgen" "$work/velmora_torso_kinematics.pyi"
"$python" "$root/tests/typing/check_stub.py" "$work/velmora_torso_kinematics.pyi"
"$python" -m mypy --strict "$root/examples" "$root/tests/typing"
"$python" "$root/tests/typing/usage.py"
"$python" "$root/tests/typing/batch_usage.py"
# Each module's names against its stub (the calibration package is typed inline, py.typed).
for pair in kinematics:stubtest batch:batch_stubtest calibration:calibration_stubtest; do
    "$python" -m mypy.stubtest "velmora_torso_${pair%%:*}" --allowlist "$root/tests/typing/${pair#*:}_allowlist.txt"
done
# The simulator package ships inline annotations and py.typed (MuJoCo itself is
# untyped: its imports carry the one ignore they need).
"$python" -m mypy --strict -p velmora_torso_sim
