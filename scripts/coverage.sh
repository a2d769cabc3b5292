#!/usr/bin/env bash
# Line and branch coverage of the library by the test suite: builds the tests with clang's
# source-based coverage, runs them as the README's test command does (ctest; as root, the root-only
# tests included), and prints the coverage of each library file and the total. Fails when the
# total falls under the floors below, which the suite reaches with a little room to spare. The
# floors follow the suite down when tests go to keep the tests within a third of the code: the
# code they leave uncovered is the least harmful to a user (the Linux stand-ins for missing macOS
# tools, the website blockers' apply side that the helper never runs).
set -euo pipefail
cd "$(dirname "$0")/.."
line_floor=86
branch_floor=70
build=build/coverage
jobs=$(nproc 2>/dev/null || echo 2)
# Continuous mode (%c below, with counters relocated at run time as Linux needs): each process writes
# its counters as it runs, so the daemons the tests stop with a signal are counted too.
flags="-fprofile-instr-generate -fcoverage-mapping -mllvm -runtime-counter-relocation"

echo "==> coverage: configure and build"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fprofile-instr-generate" >/dev/null
ninja -C "$build" -j "$jobs"

echo "==> coverage: test"
# clang, llvm-profdata and llvm-cov are the distribution's default LLVM, all of one version.
# Every process writes its own profile; the helper also runs as an ordinary user, so the folder is
# open to every user (with the sticky bit, as /tmp).
profiles=$(mktemp -d)
trap 'rm -rf "$profiles"' EXIT
chmod 1777 "$profiles"
(cd "$build" && LLVM_PROFILE_FILE="$profiles/%p-%m%c.profraw" ctest --output-on-failure -j "$jobs" -LE soak)
llvm-profdata merge -sparse "$profiles"/*.profraw -o "$build/coverage.profdata"

echo "==> coverage of the library (lines, branches)"
report=$(llvm-cov report "$build/VellorinTests" -object "$build/VellorinHelper" \
  -instr-profile "$build/coverage.profdata" -show-region-summary=false -show-instantiation-summary=false \
  VellorinBlockerCore)
sed "s|$PWD/||" <<<"$report"
# TOTAL  lines  missed  cover%  branches  missed  cover%  (functions are left out of the check)
read -r line_cover branch_cover < <(awk '$1 == "TOTAL" { print $(NF-3), $NF }' <<<"$report" | tr -d '%') ||
  { echo "coverage: the report has no TOTAL line" >&2; exit 1; }
echo "library: ${line_cover}% of lines (floor ${line_floor}%), ${branch_cover}% of branches (floor ${branch_floor}%)"
awk -v l="$line_cover" -v b="$branch_cover" -v lf="$line_floor" -v bf="$branch_floor" \
  'BEGIN { exit !(l >= lf && b >= bf) }' || { echo "coverage: under the floor" >&2; exit 1; }
