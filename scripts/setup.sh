#!/usr/bin/env bash
# Prepares a fresh machine: finds CPython 3.13 with its headers (installing it
# with apt when there is none), makes .venv/, installs the build and test
# requirements from the package index and builds and installs the module.
# Usage: scripts/setup.sh            (module and its test requirements)
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

usable() {
    "$1" - <<'PY' >/dev/null 2>&1
import os, sys, sysconfig, venv, ensurepip
assert sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython"
assert os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h"))
PY
}

find_python() {
    local candidate
    for candidate in python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 \
                     /usr/local/bin/python3.13; do
        if usable "$candidate"; then
            command -v "$candidate" || echo "$candidate"
            return 0
        fi
    done
    return 1
}

if ! python=$(find_python); then
    echo "setup: no CPython 3.13 with headers found; installing it with apt" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq python3.13-dev python3.13-venv >&2
    python=$(find_python) || { echo "setup: CPython 3.13 is still missing" >&2; exit 1; }
fi

# MuJoCo's offscreen renderer (examples/torso_model.py and its test) draws through
# EGL with Mesa's software driver.
if ! ldconfig -p | grep -q 'libEGL_mesa\.so\.0'; then
    echo "setup: installing Mesa's EGL for MuJoCo's offscreen renderer with apt" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libegl1 libegl-mesa0 libgl1-mesa-dri >&2
fi

if [ ! -x .venv/bin/python ] || ! usable .venv/bin/python; then
    rm -rf .venv
    "$python" -m venv .venv
fi

.venv/bin/python -m pip install --quiet --disable-pip-version-check --upgrade pip
# The build requirements and the [test] extra, read from pyproject.toml so that
# they are written in one place.
mapfile -t requirements < <(.venv/bin/python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as file:
    project = tomllib.load(file)
print(*project["build-system"]["requires"], *project["project"]["optional-dependencies"]["test"], sep="\n")
PY
)
.venv/bin/python -m pip install --quiet --disable-pip-version-check \
    "${requirements[@]}" "cmake>=3.21" ninja
# Incremental build directory: later runs rebuild only what changed.
.venv/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir=build/wheel --force-reinstall --no-deps .
