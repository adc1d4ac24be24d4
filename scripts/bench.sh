#!/usr/bin/env bash
# Per-call times: every Python method against its references (bench/bench_methods.py),
# then the C++ core's functions alone (bench/core_bench.cpp, Google Benchmark), then the
# velocity kinematics beside the forward kinematics they build on (bench/velocity_bench.cpp),
# then the followers beside the inverse kinematics they build on (bench/follow_bench.cpp,
# bench/bench_follow.py), then the time to fit an arm to 1,000 samples (bench/bench_calibration.py).
# Usage: scripts/bench.sh [--quick]
# Needs Google Benchmark's development files; installed with apt when missing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
scripts/setup.sh
export PATH="$root/.venv/bin:$PATH"
if ! [ -e /usr/include/benchmark/benchmark.h ]; then
    echo "bench: installing Google Benchmark (libbenchmark-dev) with apt" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq libbenchmark-dev >&2
fi

# Seconds per core benchmark and repetition.
quick=()
core_seconds=0.2
if [ "${1:-}" = "--quick" ]; then
    quick=(--quick)
    core_seconds=0.05
fi

build=build/bench
cmake --preset bench >/dev/null
cmake --build --preset bench >/dev/null

echo "== Python methods (ns per call)"
.venv/bin/python bench/bench_methods.py "${quick[@]}"
echo
# Interleaved repetitions, reported as their fastest (the benchmark's "min" statistic):
# the machine's other load moves single runs by far more than the differences measured.
timed() {
    "$build/$1" --benchmark_min_time="$core_seconds" --benchmark_repetitions=5 \
        --benchmark_enable_random_interleaving=true --benchmark_report_aggregates_only=true \
        | grep -E "^Benchmark|^-|_min "
}
echo "== C++ core (time per call)"
timed velmora_core_bench
echo
echo "== C++ velocity kinematics (time per call)"
timed velmora_velocity_bench
echo
echo "== C++ followers (time per step)"
timed velmora_follow_bench
echo
echo "== Followers from Python"
.venv/bin/python bench/bench_follow.py "${quick[@]}"
echo
echo "== Calibration: fit_arm on 1,000 samples"
.venv/bin/python bench/bench_calibration.py "${quick[@]}"
