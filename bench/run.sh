#!/usr/bin/env bash
# Builds the helper optimised and prints every measured figure: the in-process costs (Google
# Benchmark), then the daemon measured side by side with its baselines. With --soak SECONDS it runs
# the long daemon run instead; with --large-sessions, the cost of large stored sessions. Run as
# root on an idle machine: the stand-in applications run as the user nobody and the daemon ends them.
set -euo pipefail
cd "$(dirname "$0")/.."
cmake -S . -B build/bench -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORIN_TESTS=OFF -DVELLORIN_BENCH=ON >/dev/null
ninja -C build/bench >/dev/null
if [ "${1:-}" = "--soak" ]; then
  exec build/bench/VellorinDaemonBench --soak "${2:?usage: bench/run.sh --soak SECONDS}"
fi
if [ "${1:-}" = "--large-sessions" ]; then
  exec build/bench/VellorinDaemonBench --large-sessions
fi
echo "== in-process costs"
build/bench/VellorinMicroBench --benchmark_min_time=0.2
echo
echo "== the daemon"
build/bench/VellorinDaemonBench build/bench/syscall_floor build/bench/ignore_term
