#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, with AddressSanitizer and UndefinedBehaviorSanitizer) and
# runs each for FUZZ_SECONDS seconds (20 by default), two at a time, starting from its seed corpus
# in fuzz/corpus. Any finding fails the run; the input that found it is kept in
# build/fuzz/findings, to be fixed and then added to the seed corpus.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-20}
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELLORIN_TESTS=OFF \
  -DVELLORIN_FUZZ=ON >/dev/null
ninja -C build/fuzz >/dev/null
mkdir -p build/fuzz/findings build/fuzz/logs

run_target() {
  local target=$1 work="build/fuzz/corpus/$1"
  mkdir -p "$work"  # grows between runs on this machine; the seeds alone are enough to start from
  if build/fuzz/"$target" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
       -artifact_prefix="build/fuzz/findings/$target-" "$work" "fuzz/corpus/$target" >"build/fuzz/logs/$target.log" 2>&1; then
    echo "fuzz: $target: pass, $(sed -n 's/^stat::number_of_executed_units: *//p' "build/fuzz/logs/$target.log") runs in $seconds s"
  else
    echo "fuzz: $target: FINDING (see build/fuzz/logs/$target.log and build/fuzz/findings)"
    tail -n 30 "build/fuzz/logs/$target.log"
    return 1
  fi
}

targets=(FuzzDates FuzzDomainRules FuzzEventLog FuzzHostsBlock FuzzPacketFilterConfiguration FuzzProcessCommands
         FuzzProcessSnapshot FuzzRequest FuzzResolverManifest FuzzSession)
status=0
for ((i = 0; i < ${#targets[@]}; i += 2)); do
  pids=()
  for target in "${targets[@]:i:2}"; do
    run_target "$target" &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do wait "$pid" || status=1; done
done
exit "$status"
