#!/usr/bin/env bash
# Per-call times: every Python method against its references (bench/bench_methods.py),
# then the C++ core's functions alone and the followers beside the inverse kinematics they
# build on (bench/core_bench.cpp, Google Benchmark), the followers from Python
# (bench/bench_follow.py), then the time to fit an arm to 1,000 samples (bench/bench_calibration.py).
# Usage: scripts/bench.sh [--quick]
# Needs Google Benchmark's development files; installed with apt when missing.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"
scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
[ -e /usr/include/benchmark/benchmark.h ] || apt_install libbenchmark-dev
preset bench >/dev/null
# Seconds per core benchmark and repetition; --quick is passed on to the Python benchmarks.
seconds=0.2
[ "${1:-}" = --quick ] && seconds=0.05

# Interleaved repetitions, reported as their fastest (the benchmark's "min" statistic):
# the machine's other load moves single runs by far more than the differences measured.
timed() {
    echo "== $1"
    "build/bench/$2" --benchmark_min_time="$seconds" --benchmark_repetitions=5 \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        | grep -E "^Benchmark|^-|_min "
    echo
}
echo "== Python methods (ns per call)"
.venv/bin/python bench/bench_methods.py "$@"
echo
timed "C++ core (time per call) and followers (time per step)" velmora_core_bench
echo "== Followers from Python"
.venv/bin/python bench/bench_follow.py "$@"
echo
echo "== Calibration: fit_arm on 1,000 samples"
.venv/bin/python bench/bench_calibration.py "$@"
