#!/usr/bin/env bash
# Static analysis of the library and the helper: clang-tidy with the checks in .clang-tidy, then
# cppcheck's warning, performance and portability classes, then the layout of every C and C++ file
# against .clang-format. Any finding fails the script. The compile commands come from a
# configure-only build folder, so nothing is compiled.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc 2>/dev/null || echo 2)
sources=(VellorinBlockerCore/*.cpp VellorinHelper/*.cpp)

echo "==> static analysis: clang-tidy"
cmake -S . -B build/analysis -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DVELLORIN_TESTS=OFF >/dev/null
if ! run-clang-tidy -quiet -p build/analysis -j "$jobs" "${sources[@]}" >build/analysis/clang-tidy.log 2>&1; then
  # The findings, or the end of the log when clang-tidy failed for another reason.
  grep -E "(warning|error):" build/analysis/clang-tidy.log | sort -u || tail -n 40 build/analysis/clang-tidy.log
  echo "clang-tidy: failed, see above" >&2
  exit 1
fi

echo "==> static analysis: cppcheck"
cppcheck --quiet --enable=warning,performance,portability --std=c++20 --inline-suppr --error-exitcode=1 \
  --suppress=missingIncludeSystem -I . "${sources[@]}"
echo "==> static analysis: layout (clang-format)"
mapfile -t formatted < <(git ls-files '*.cpp' '*.hpp' '*.c' '*.h' 2>/dev/null || find VellorinBlockerCore VellorinHelper tests bench fuzz -name '*.[ch]pp' -o -name '*.c')
if ! clang-format --dry-run --Werror "${formatted[@]}"; then
  echo "clang-format: the files above differ from .clang-format; run clang-format -i on them" >&2
  exit 1
fi
echo "==> static analysis: no findings"
