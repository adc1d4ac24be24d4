#!/usr/bin/env bash
# The core, its C++ tests and both modules built with Clang and libc++ (zig's
# compilers, scripts/toolchain.sh; preset "clang"), warnings as errors: CTest,
# then the pytest suite against those modules (which checks that each exports
# its init function alone).
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_venv
scripts/toolchain.sh native >/dev/null  # the compilers the preset names
export PATH="$root/build/tools/.venv/bin:$PATH"
preset clang --test
from_build build/clang .venv/bin/python -- -m pytest -p no:cacheprovider "$@"
