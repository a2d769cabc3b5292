#!/usr/bin/env bash
# Makes /bin/ps and /bin/kill slow but within their limits (each waits before doing its work), only
# inside a private mount namespace, and starts eight processes of one blocked application that
# ignore SIGTERM, run by the user nobody. Then it watches the daemon: whether it keeps running,
# how long it takes to end all eight, and what it logs. Every location is in a temporary directory.
# Usage, as root: bench/slow-tools.sh [HELPER [PS_SECONDS [KILL_SECONDS]]]   (defaults: 9.5 and 2.9)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${VELLORIN_SLOW_NAMESPACE:-}" ]; then
  exec unshare -m env VELLORIN_SLOW_NAMESPACE=1 bash "$0" "$@"
fi
helper=$(realpath "${1:-build/bench/VellorinHelper}")
psDelay=${2:-9.5}
killDelay=${3:-2.9}

root=$(mktemp -d /tmp/vellorin-slow.XXXXXX)
chmod 755 "$root"
export VELLORIN_HOSTS_PATH=$root/etc/hosts VELLORIN_PF_CONF_PATH=$root/etc/pf.conf \
  VELLORIN_PF_ANCHOR_PATH=$root/etc/pf.anchors/app.vellorin.helper VELLORIN_PF_TOKEN_PATH=$root/etc/VellorinPFToken \
  VELLORIN_RESOLVER_DIR=$root/etc/resolver VELLORIN_STATE_DIR=$root/state VELLORIN_COMMAND_DIR=$root/Shared/Commands
unset VELLORIN_DRY_RUN VELLORIN_LOG_PATH
mkdir -p "$root/etc/pf.anchors" "$root/state" "$root/slow/bin" "$root/real"
app=$root/Apps/Stubborn.app
mkdir -p "$app/Contents/MacOS"
cc -O2 -o "$app/Contents/MacOS/Stubborn" bench/ignore_term.c
chmod -R a+rX "$root/Apps"

# The real tools, copied before the slow ones take their names.
cp "$(realpath /bin/ps)" "$root/real/ps"
cp "$(realpath /bin/kill)" "$root/real/kill"
printf '#!/bin/sh\nsleep %s\nexec %s "$@"\n' "$psDelay" "$root/real/ps" >"$root/slow/bin/ps"
printf '#!/bin/sh\nsleep %s\nexec %s "$@"\n' "$killDelay" "$root/real/kill" >"$root/slow/bin/kill"
printf '#!/bin/sh\nexit 0\n' >"$root/slow/bin/resolvectl"  # the machine's resolver is left alone
chmod 755 "$root/slow/bin/"*
mount -t overlay overlay -o "lowerdir=$root/slow/bin:/usr/bin" /usr/bin

jq -n --arg ends "$(date -u -d '+1 hour' +%Y-%m-%dT%H:%M:%SZ)" --arg p "$app" '{id: "S", profileName: "Slow",
  startedAt: "2026-01-01T00:00:00Z", endsAt: $ends, websites: [], websiteMode: "blocklist", browserBlockingApps: [],
  apps: [{bundleIdentifier: "com.example.stubborn", id: "a", isRunning: false, name: "Stubborn", path: $p}]}' \
  >"$root/state/active-session.json"
pids=()
for _ in 1 2 3 4 5 6 7 8; do
  setpriv --reuid=65534 --regid=65534 --clear-groups "$app/Contents/MacOS/Stubborn" &
  pids+=($!)
done
alive() { local n=0; for p in "${pids[@]}"; do kill -0 "$p" 2>/dev/null && n=$((n + 1)); done; echo "$n"; }

log=$root/daemon.log
started=$(date +%s.%N)
"$helper" watch 2>"$log" &
daemon=$!
for _ in $(seq 1800); do
  [ "$(alive)" -eq 0 ] && break
  kill -0 "$daemon" 2>/dev/null || break
  sleep 0.1
done
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
if kill -0 "$daemon" 2>/dev/null; then state="still running"; else state="exited"; fi
events=$(jq length "$root/Shared/blocked-app-events.json" 2>/dev/null || echo 0)
echo "ps ${psDelay} s, kill ${killDelay} s, 8 processes that ignore SIGTERM:"
echo "  after ${elapsed} s: $(alive) of 8 still running; the daemon ${state}; ${events} events logged"
echo "  the daemon's lines:"
sed 's/^/    /' "$log"
kill "$daemon" 2>/dev/null || true
wait "$daemon" 2>/dev/null || true
for p in "${pids[@]}"; do kill -KILL "$p" 2>/dev/null || true; done
wait 2>/dev/null || true
umount -l /usr/bin
rm -rf "$root"
