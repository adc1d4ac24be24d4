#!/usr/bin/env bash
# Prepares a fresh machine: finds CPython 3.13 with its headers (installing it
# with apt when there is none), makes .venv/, installs the build and test
# requirements from the package index and builds and installs the module.
# Usage: scripts/setup.sh            (module and its test requirements)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

usable() {
    "$1" -c 'import os, sys, sysconfig, venv, ensurepip
assert sys.version_info[:2] == (3, 13) and sys.implementation.name == "cpython"
assert os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h"))' >/dev/null 2>&1
}

# The first usable interpreter into $python.
find_python() {
    for python in python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/bin/python3.13 \
                  /usr/local/bin/python3.13; do
        if usable "$python"; then return 0; fi
    done
    return 1
}

# The system packages a fresh machine may lack.
if ! find_python; then
    apt_install python3.13-dev python3.13-venv
    find_python || fail "CPython 3.13 is still missing"
fi

# MuJoCo's offscreen renderer (examples/torso_model.py and its test) draws through
# EGL with Mesa's software driver.
ldconfig -p | grep 'libEGL_mesa\.so\.0' >/dev/null || apt_install libegl1 libegl-mesa0 libgl1-mesa-dri

if ! usable .venv/bin/python; then
    rm -rf .venv
    "$python" -m venv .venv
fi
pip=(.venv/bin/python -m pip install --quiet --disable-pip-version-check)
"${pip[@]}" --upgrade pip
mapfile -t requirements < <(.venv/bin/python tools/requirements.py build test)
"${pip[@]}" "${requirements[@]}" "cmake>=3.21" ninja
# Incremental build directory: later runs rebuild only what changed.
.venv/bin/python -m pip install --quiet --disable-pip-version-check --no-build-isolation \
    --config-settings=build-dir=build/wheel --force-reinstall --no-deps .
