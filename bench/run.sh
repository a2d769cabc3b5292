#!/usr/bin/env bash
# Builds the helper optimised and prints every measured figure: the in-process costs (Google
# Benchmark), then the daemon measured side by side with its baselines. Run as root on an idle
# machine; the time-to-kill run needs root.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORIN_TESTS=OFF -DVELLORIN_BENCH=ON >/dev/null
ninja -C build/bench >/dev/null
echo "== in-process costs"
build/bench/VellorinMicroBench --benchmark_min_time=0.2
echo
echo "== the daemon"
build/bench/VellorinDaemonBench build/bench/syscall_floor build/bench/ignore_term
