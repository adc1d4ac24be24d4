#!/usr/bin/env bash
# The whole suite again, under AddressSanitizer and UndefinedBehaviorSanitizer:
# builds the core, its C++ tests and both modules with both sanitizers into
# build/asan (preset "asan", not pip), runs the C++ tests under CTest, then
# pytest against those modules. Any sanitizer report, in this process or in a
# child the tests start, fails the run.
# Usage: scripts/sanitize.sh [pytest arguments]
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
need_venv
export PATH="$root/.venv/bin:$PATH"

# Reports go to files (log_path, set by the preset), one per process: a child
# process that the tests expect to fail would otherwise hide its report in
# captured output.
reports="$root/build/asan/reports"
rm -rf "$reports"
mkdir -p "$reports"

# Prints every report and fails; runs after each stage and on any exit, so a
# stage that dies of its report still shows it. A report that only notes
# refused allocations (allocator_may_return_null below) records the expected
# MemoryError path, not a fault.
fail_on_reports() {
    local report
    { grep -L -v -r 'WARNING: AddressSanitizer failed to allocate 0x[0-9a-f]* bytes' "$reports" || true; } |
        xargs -r rm -f
    [ -z "$(ls -A "$reports")" ] && return 0
    echo "sanitize: sanitizer reports after $1:" >&2
    for report in "$reports"/*; do echo "==== $report" >&2; cat "$report" >&2; done
    exit 1
}
trap 'status=$?; [ $status -eq 0 ] || fail_on_reports "a failed stage"' EXIT

# The build runs the sanitized stub generator, so it is checked as well.
preset asan
fail_on_reports "the build"
ctest --preset asan
fail_on_reports "the C++ tests"

# The interpreter is not instrumented, so the runtime must come first in the
# process. PYTHONMALLOC=malloc routes every Python object through the
# sanitizer's allocator, so a use after free of an object is caught too.
# Leak checking is off here: CPython keeps blocks alive until exit by design
# and every stack passes through it, so no suppression could separate the
# module's leaks from its own; the memcheck run and the reference-count tests
# cover the module's leaks. Those tests also bound the resident memory, which
# a large quarantine of freed blocks would inflate: 1 MB of quarantine still
# catches a use of an object soon after its release and keeps them meaningful.
# libstdc++ is preloaded as well: the runtime looks up the real __cxa_throw
# when it starts, and the interpreter would load libstdc++ only later, with
# the module, so the first C++ exception (the fault probe's) would abort.
# allocator_may_return_null: an allocation too big for any machine (the batch
# module's huge-shape tests) returns NULL as malloc does, so NumPy raises its
# MemoryError instead of the runtime aborting the process.
preload="$(gcc -print-file-name=libasan.so) $(g++ -print-file-name=libstdc++.so.6)"
for library in $preload; do [ -f "$library" ] || fail "$library not found"; done
export ASAN_OPTIONS="log_path=$reports/asan:detect_leaks=0:quarantine_size_mb=1:strict_string_checks=1:detect_stack_use_after_return=1:check_initialization_order=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="log_path=$reports/ubsan:print_stacktrace=1:halt_on_error=1"
from_build build/asan env LD_PRELOAD="$preload" PYTHONMALLOC=malloc .venv/bin/python -- -m pytest -p no:cacheprovider "$@"
fail_on_reports "pytest"
echo "sanitize: no AddressSanitizer or UndefinedBehaviorSanitizer reports"
