#!/usr/bin/env bash
# The module's pytest suite under valgrind memcheck. Builds the module as
# shipped (Release) plus debug information into build/memcheck (preset "memcheck"), runs pytest
# against it with the interpreter's allocator replaced by malloc, and fails on
# any invalid access, uninitialised use or definitely lost block whose stack
# passes through either module, velmora_torso_kinematics or velmora_torso_batch
# (tools/memcheck/module_errors.py).
# Usage: scripts/memcheck.sh [pytest arguments]   (default: the suite but for the
# documents' and example scripts' tests, which render pictures with matplotlib in
# child interpreters and call the modules only as the other tests do)
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_venv
export PATH="$root/.venv/bin:$PATH"
command -v valgrind >/dev/null || apt_install valgrind
preset memcheck
dir="$root/build/memcheck"
rm -rf "$dir/reports"
mkdir -p "$dir/reports"

# Every block must come from malloc for memcheck to see it; children (the
# sub-interpreter test's) are checked too, each into its own report. Freed
# blocks wait 2 MB (not 20) before reuse: a use soon after a release is still
# caught, and the tests that bound resident memory stay meaningful.
status=0
PYTHONMALLOC=malloc PYTHONPATH="$dir" VELMORA_FAULT_PROBE_DIR="$dir" VELMORA_PROPERTY_SCALE=0.1 \
    valgrind --tool=memcheck --trace-children=yes --num-callers=40 --freelist-vol=2000000 \
        --leak-check=full --show-leak-kinds=definite --errors-for-leak-kinds=definite \
        --xml=yes --xml-file="$dir/reports/memcheck.%p.xml" \
        .venv/bin/python -m pytest -p no:cacheprovider --ignore=tests/docs --ignore=tests/examples "$@" \
        || status=$?
# The reports are read even when a test failed: the failure may be the error.
.venv/bin/python tools/memcheck/module_errors.py 'velmora_torso_kinematics*.so,velmora_torso_batch*.so' \
    "$dir"/reports/memcheck.*.xml || status=1
exit "$status"
