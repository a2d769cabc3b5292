#!/usr/bin/env bash
# Installs what the helper needs to build and test. Safe to run again: it installs only what is missing.
set -euo pipefail

if [ "$(uname -s)" = "Darwin" ]; then
  echo "On macOS, install the dependencies with Homebrew:"
  echo "  brew install cmake ninja nlohmann-json icu4c googletest google-benchmark   # icu4c: headers only"
  exit 0
fi

# llvm: the coverage report, and the macOS check's reading of the Mach-O files it links (with file);
# clang-tidy, clang-format and cppcheck: the static analysis.
packages=(cmake ninja-build g++ clang libc++-14-dev libc++abi-14-dev libclang-rt-14-dev
          nlohmann-json3-dev libicu-dev libgtest-dev libgmock-dev googletest
          libbenchmark-dev procps groff-base python3 llvm file clang-tidy clang-format cppcheck)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ "${#missing[@]}" -eq 0 ]; then
  echo "setup: every dependency is installed"
  exit 0
fi
if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages: ${missing[*]}; run this script as root (or with sudo) to install them" >&2
  exit 1
fi
echo "setup: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}"
