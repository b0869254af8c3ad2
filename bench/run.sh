#!/bin/bash
# Builds the benchmarks in Release and runs them.
# Usage: bench/run.sh [work folder] [bench_delivery options: --large-mib N --files N --runs N]
set -euo pipefail
src="$(cd "$(dirname "$0")/.." && pwd)"
build="${PV_BENCH_BUILD_DIR:-$src/build-bench}"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DPV_BUILD_BENCH=ON \
    -DPV_BUILD_TESTS=OFF -DPV_WITH_GUI=OFF -DPV_SANITIZE=OFF >/dev/null
cmake --build "$build" --target bench_delivery -j2
"$build/bench/bench_delivery" "$@"
