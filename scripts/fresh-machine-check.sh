#!/usr/bin/env bash
# Follows the README's set-up on a fresh machine: makes a minimal Debian root (debootstrap
# --variant=minbase, from this machine's apt sources), copies the working tree to /root/vellorin in
# it (a folder only root may enter), runs the README's commands 1 and 2 there as root with /proc,
# /dev and /sys bind-mounted, and prints each result with its wall time. Everything it made is
# removed at the end, also when it is interrupted. Run as root; needs the package archive.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/minimal-root.sh

require_root "fresh-machine check"

# The README's set-up commands, word for word: each sh block of its set-up section.
mapfile -t commands < <(awk '
  /^## / { inSection = ($0 == "## Set-up on a fresh Debian machine") }
  inSection && /^[[:space:]]*```sh/ { inBlock = 1; block = ""; next }
  inSection && inBlock && /^[[:space:]]*```/ { inBlock = 0; print block; next }
  inBlock { sub(/^[[:space:]]+/, ""); block = block (block == "" ? "" : " ") $0 }' README.md)
if [ "${#commands[@]}" -lt 2 ]; then
  echo "fresh-machine check: the README's set-up section has no commands 1 and 2" >&2
  exit 1
fi

work=$(mktemp -d "${TMPDIR:-/var/tmp}/vellorin-fresh-XXXXXX")
root="$work/root"
trap 'minimal_root_remove "$work"' EXIT
trap 'exit 130' INT TERM HUP

started=$(date +%s)
echo "fresh-machine check: a minimal $(minimal_root_suite) root in $root"
if ! minimal_root_create "$root" >"$work/debootstrap.log" 2>&1; then
  tail -n 20 "$work/debootstrap.log"
  echo "fresh-machine check: FAIL: debootstrap did not make the root"
  exit 1
fi
echo "fresh-machine check: root made in $(minimal_root_duration $(($(date +%s) - started)))"
minimal_root_copy_tree "$root/root/vellorin"
chmod 0700 "$root/root"
minimal_root_mount "$root"

status=0
results=()
for number in 1 2; do
  command=${commands[$((number - 1))]}
  echo "fresh-machine check: README command $number: $command"
  begin=$(date +%s)
  if chroot "$root" /usr/bin/env -i HOME=/root TERM=dumb PATH=/usr/sbin:/usr/bin:/sbin:/bin \
       /bin/bash -c "cd /root/vellorin && $command" >"$work/command-$number.log" 2>&1; then
    verdict=pass
  else
    verdict=FAIL
    status=1
    tail -n 60 "$work/command-$number.log"
  fi
  results+=("README command $number ($command): $verdict in $(minimal_root_duration $(($(date +%s) - begin)))")
done

echo
for line in "${results[@]}"; do echo "fresh-machine check: $line"; done
exit "$status"
