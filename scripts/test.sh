#!/usr/bin/env bash
# Builds and runs every test twice: g++ with libstdc++, and clang with libc++ (the standard library
# of macOS), both with AddressSanitizer and UndefinedBehaviorSanitizer and warnings as errors.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_build() {
  local name=$1; shift
  echo "==> $name: configure and build"
  cmake -S . -B "build/$name" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVELLORIN_SANITIZE=ON "$@" >/dev/null
  ninja -C "build/$name" -j "$jobs"
  echo "==> $name: test"
  (cd "build/$name" && ctest --output-on-failure -j "$jobs" -LE soak)
}

CC=gcc CXX=g++ run_build gcc-libstdcxx
CC=clang CXX=clang++ run_build clang-libcxx -DVELLORIN_LIBCXX=ON
echo "==> all tests passed in both builds"
