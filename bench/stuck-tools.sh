#!/usr/bin/env bash
# Plants a tool that never ends (it starts a child, then sleeps) in place of /bin/ps, /bin/kill,
# /sbin/pfctl or the notifier's launcher, only inside a private mount namespace, and measures how
# the daemon and one-shot commands fare beside it. Every location is in a temporary directory; the
# blocked applications are copies of sleep run by the user nobody.
# Usage, as root: bench/stuck-tools.sh [HELPER [CASE...]]   (cases: ps kill pfctl launcher)
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${VELLORIN_STUCK_NAMESPACE:-}" ]; then
  exec unshare -m env VELLORIN_STUCK_NAMESPACE=1 bash "$0" "$@"
fi
helper=$(realpath "${1:-build/bench/VellorinHelper}")
cases=("${@:2}")
[ ${#cases[@]} -gt 0 ] || cases=(ps kill pfctl launcher)

root=$(mktemp -d /tmp/vellorin-stuck.XXXXXX)
chmod 755 "$root"
export VELLORIN_HOSTS_PATH=$root/etc/hosts VELLORIN_PF_CONF_PATH=$root/etc/pf.conf \
  VELLORIN_PF_ANCHOR_PATH=$root/etc/pf.anchors/app.vellorin.helper VELLORIN_PF_TOKEN_PATH=$root/etc/VellorinPFToken \
  VELLORIN_RESOLVER_DIR=$root/etc/resolver VELLORIN_STATE_DIR=$root/state VELLORIN_COMMAND_DIR=$root/Shared/Commands
unset VELLORIN_DRY_RUN VELLORIN_LOG_PATH
commands=$VELLORIN_COMMAND_DIR
mkdir -p "$root/etc/pf.anchors" "$root/state" "$root/stuck/bin" "$root/stuck/sbin" "$root/work" "$commands"
for i in 1 2 3; do
  mkdir -p "$root/Apps/X$i.app/Contents/MacOS" && cp /bin/sleep "$root/Apps/X$i.app/Contents/MacOS/X$i"
done
chmod -R a+rX "$root/Apps"
# What the stuck tool started, and the tool itself, run this copy of sleep.
marker=$root/stuck-sleep
cp /bin/sleep "$marker"
stuckTool() { printf '#!/bin/sh\n%s 600 &\nexec %s 600\n' "$marker" "$marker" >"$1"; chmod 755 "$1"; }
# Nothing: the machine's resolver is not asked to flush its cache from here.
printf '#!/bin/sh\nexit 0\n' >"$root/stuck/bin/resolvectl" && chmod 755 "$root/stuck/bin/resolvectl"
# Over /usr/bin and /usr/sbin (where /bin and /sbin lead here), the stuck tool is added or replaces one.
mountStuck() {
  mount -t overlay overlay -o "lowerdir=$root/stuck/bin:/usr/bin" /usr/bin
  mount -t overlay overlay -o "lowerdir=$root/stuck/sbin:/usr/sbin" /usr/sbin
}
unmountStuck() { umount -l /usr/bin /usr/sbin; rm -f "$root/stuck/bin/"{ps,kill,launchctl} "$root/stuck/sbin/pfctl"; }

session() {  # ENDS_AT: a session blocking X1..X3, stored as the daemon finds it
  local apps="[]"
  for i in 1 2 3; do
    apps=$(jq -c --arg p "$root/Apps/X$i.app" --arg b "com.example.x$i" '. + [{bundleIdentifier: $b, id: $b, isRunning: false, name: $b, path: $p}]' <<<"$apps")
  done
  jq -n --arg ends "$1" --argjson apps "$apps" '{id: "S", profileName: "Stuck", startedAt: "2026-01-01T00:00:00Z",
    endsAt: $ends, apps: $apps, websites: [], websiteMode: "blocklist", browserBlockingApps: []}' >"$root/state/active-session.json"
}
startApps() { (for i in 1 2 3; do setpriv --reuid=65534 --regid=65534 --clear-groups "$root/Apps/X$i.app/Contents/MacOS/X$i" 600 & done); }
now() { date +%s.%N; }
since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }
# Queues a request and prints how long its answer took (or that none came within 60 s).
queued() {
  local id=$1 body=$2 started
  started=$(now)
  echo "$body" >"$commands/$id.request.json.tmp" && mv "$commands/$id.request.json.tmp" "$commands/$id.request.json"
  for _ in $(seq 600); do [ -e "$commands/$id.response.json" ] && break; sleep 0.1; done
  if [ -e "$commands/$id.response.json" ]; then
    echo "  queued $id answered after $(since "$started"): $(jq -c '{ok, error}' "$commands/$id.response.json")"
  else
    echo "  queued $id: no answer within 60 s"
  fi
}
oneShot() {
  local started output
  started=$(now)
  output=$({ timeout 120 "$helper" "$@" 2>&1 || true; } | jq -c '{message, error}' 2>/dev/null || echo "(no document)")
  echo "  one-shot $* after $(since "$started"): $output"
}
running() { pgrep -fc -- "$marker" || true; }
# Stops the daemon as a service manager would, then counts what the stuck tool left.
leftovers() {
  echo "  processes of the stuck tool running now: $(running)"
  kill "$daemon"; wait "$daemon" 2>/dev/null || true; daemon=
  sleep 0.2; echo "  and after the daemon was stopped: $(running)"
}
stopAll() {
  if [ -n "${daemon:-}" ]; then kill "$daemon" 2>/dev/null; wait "$daemon" 2>/dev/null || true; fi
  daemon=
  pkill -KILL -u nobody -f "^$root/" 2>/dev/null || true
  pkill -KILL -f -- "$marker" 2>/dev/null || true
  rm -rf "${root:?}/state/"* "$commands"/* "$root/etc/"*.* "$root/etc/VellorinPFToken"
}
trap 'stopAll; umount -l /usr/bin /usr/sbin 2>/dev/null || true; rm -rf "$root"' EXIT
startDaemon() {
  echo "-- $case" >>"$root/work/daemon.log"
  "$helper" watch 2>>"$root/work/daemon.log" & daemon=$!
}

for case in "${cases[@]}"; do
  echo "== $case never ends"
  case $case in
    ps)
      stuckTool "$root/stuck/bin/ps"; mountStuck
      session "$(date -u -d '+1 hour' +%FT%TZ)"; startDaemon; sleep 1
      queued c1 '{"id":"c1","command":"cleanup"}'
      oneShot status
      oneShot restore --force
      sleep 11; leftovers ;;
    kill)
      stuckTool "$root/stuck/bin/kill"; mountStuck
      session "$(date -u -d '+1 hour' +%FT%TZ)"; startApps; startDaemon; sleep 1
      queued c1 '{"id":"c1","command":"cleanup"}'
      echo "  blocked applications still running after 10 s: $(sleep 9; pgrep -u nobody -fc "^$root/Apps/" || true)"
      leftovers ;;
    pfctl)
      stuckTool "$root/stuck/sbin/pfctl"; mountStuck
      mkdir -p "$root/etc/pf.anchors"; echo "token-1" >"$root/etc/VellorinPFToken"; echo "block drop quick to 192.0.2.1" >"$root/etc/pf.anchors/app.vellorin.helper"
      session "$(date -u -d '-1 minute' +%FT%TZ)"; startDaemon; sleep 1
      oneShot restore --force
      queued r1 '{"id":"r1","command":"restore","force":true}'
      sleep 16; leftovers ;;
    launcher)
      stuckTool "$root/stuck/bin/launchctl"; mountStuck
      touch "$root/console" && chown 65534 "$root/console" && mount --bind "$root/console" /dev/console
      session "$(date -u -d '+1 hour' +%FT%TZ)"; startDaemon; sleep 1
      started=$(now); startApps
      for _ in $(seq 100); do [ "$(pgrep -u nobody -fc "^$root/Apps/" || true)" = 0 ] && break; sleep 0.05; done
      echo "  three blocked applications ended after $(since "$started")"
      queued c1 '{"id":"c1","command":"cleanup"}'
      echo "  processes of the stuck launchers right after: $(running)"
      sleep 6; leftovers
      umount -l /dev/console ;;
    *) echo "stuck-tools: unknown case $case" >&2; exit 2 ;;
  esac
  stopAll; unmountStuck
done
if [ -s "$root/work/daemon.log" ]; then echo "== the daemon's standard error"; uniq -c "$root/work/daemon.log"; fi
