#!/usr/bin/env bash
# Installs the C++ core into a fresh temporary prefix (no Python involved), then
# configures, builds and runs examples/cpp against that install alone.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cmake=${CMAKE:-$(command -v cmake || echo "$root/.venv/bin/cmake")}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$cmake" -S "$root" -B "$work/core" -DCMAKE_BUILD_TYPE=Release \
    -DVELMORA_BUILD_MODULE=OFF -DVELMORA_BUILD_TESTS=OFF >/dev/null
"$cmake" --build "$work/core" -j 2 >/dev/null
"$cmake" --install "$work/core" --prefix "$work/prefix" >/dev/null

# A copy, so that the consumer cannot reach into the source tree.
cp -r "$root/examples/cpp" "$work/consumer"
"$cmake" -S "$work/consumer" -B "$work/consumer/build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$work/prefix" >/dev/null
"$cmake" --build "$work/consumer/build" >/dev/null
"$work/consumer/build/round_trip"
