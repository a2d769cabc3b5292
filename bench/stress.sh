#!/usr/bin/env bash
# Repeats the overlaps of helper processes that a Mac meets and prints how often each fault shows:
#   two-applies     two one-shot applies of different sessions, started together, both "applied"
#   queued-apply    a queued apply (answered by a one-shot process-commands, as the daemon's
#                   queue step would) beside a one-shot apply of another session, both "applied"
#   two-updates     two updates of the active session (one extends the end, one adds a target),
#                   both "updated" and one of the changes lost
#   enforce-beside  a one-shot enforce beside the daemon: a termination missing from the event
#                   log, or logged twice
#   second-daemon   a second daemon beside the first: the same faults of the event log
# Every location is in a temporary directory; the blocked applications are copies of sleep in
# X.app bundles run by the user nobody, and only they are ever signalled.
# Usage, as root: bench/stress.sh [HELPER [TRIES [CASE...]]]   (needs jq and setpriv)
set -euo pipefail
cd "$(dirname "$0")/.."
helper=$(realpath "${1:-build/bench/VellorinHelper}")
tries=${2:-200}
cases=("${@:3}")
[ ${#cases[@]} -gt 0 ] || cases=(two-applies two-updates queued-apply enforce-beside second-daemon)
[ "$(id -u)" = 0 ] || { echo "stress: run as root" >&2; exit 1; }

root=$(mktemp -d /tmp/vellorin-stress.XXXXXX)
chmod 755 "$root"
daemons=()
cleanup() {
  for pid in "${daemons[@]}"; do kill "$pid" 2>/dev/null || true; done
  pkill -KILL -u nobody -f "^$root/" 2>/dev/null || true
  wait 2>/dev/null || true
  [ -n "${VELLORIN_STRESS_KEEP:-}" ] && echo "kept $root" || rm -rf "$root"
}
trap cleanup EXIT

export VELLORIN_HOSTS_PATH=$root/etc/hosts VELLORIN_PF_CONF_PATH=$root/etc/pf.conf \
  VELLORIN_PF_ANCHOR_PATH=$root/etc/pf.anchors/app.vellorin.helper VELLORIN_PF_TOKEN_PATH=$root/etc/VellorinPFToken \
  VELLORIN_RESOLVER_DIR=$root/etc/resolver VELLORIN_STATE_DIR=$root/state VELLORIN_COMMAND_DIR=$root/Shared/Commands
unset VELLORIN_DRY_RUN VELLORIN_LOG_PATH
mkdir -p "$root/etc" "$root/sessions"
commands=$VELLORIN_COMMAND_DIR
events=$root/Shared/blocked-app-events.json
state=$VELLORIN_STATE_DIR/active-session.json

appsCount=8
for i in $(seq 1 $appsCount); do
  mkdir -p "$root/Apps/X$i.app/Contents/MacOS"
  cp /bin/sleep "$root/Apps/X$i.app/Contents/MacOS/X$i"
done
chmod -R a+rX "$root/Apps"

# session ID ENDS_AT APP_INDEX... : a session file naming those applications.
session() {
  local id=$1 ends=$2; shift 2
  local apps="[]"
  for i in "$@"; do
    apps=$(jq -c --arg p "$root/Apps/X$i.app" --arg b "com.example.x$i" --arg n "X$i" \
      '. + [{bundleIdentifier: $b, id: $b, isRunning: false, name: $n, path: $p}]' <<<"$apps")
  done
  jq -n --arg id "$id" --arg ends "$ends" --argjson apps "$apps" \
    '{id: $id, profileName: "Stress", startedAt: "2026-01-01T00:00:00Z", endsAt: $ends, apps: $apps,
      websites: [], websiteMode: "blocklist", browserBlockingApps: []}' >"$root/sessions/$id.json"
  echo "$root/sessions/$id.json"
}
inAnHour() { date -u -d "+1 hour" +%Y-%m-%dT%H:%M:%SZ; }
later() { date -u -d "+1 hour 10 minutes" +%Y-%m-%dT%H:%M:%SZ; }
reset() { "$helper" restore --force >/dev/null 2>&1 || true; rm -f "$commands"/*.json; }
succeeded() { grep -q "\"message\": \"$1\"" "$2"; }

declare -A faults
report() { printf '%-15s %4d faults in %d tries\n' "$1" "${faults[$1]:-0}" "$tries"; }

twoApplies() {
  for _ in $(seq "$tries"); do
    reset
    local a b
    a=$(session A "$(inAnHour)") b=$(session B "$(inAnHour)")
    "$helper" apply "$a" >"$root/a.out" 2>&1 & "$helper" apply "$b" >"$root/b.out" 2>&1 & wait
    if succeeded "Session applied." "$root/a.out" && succeeded "Session applied." "$root/b.out"; then
      faults[two-applies]=$((${faults[two-applies]:-0} + 1))
    fi
  done
  report two-applies
}

queuedApply() {
  for _ in $(seq "$tries"); do
    reset
    local a b
    a=$(session A "$(inAnHour)") b=$(session B "$(inAnHour)")
    jq -c '{id: "q", command: "apply", session: .}' "$b" >"$commands/q.request.json.tmp"
    mv "$commands/q.request.json.tmp" "$commands/q.request.json"
    "$helper" process-commands >/dev/null 2>&1 & "$helper" apply "$a" >"$root/a.out" 2>&1 & wait
    if succeeded "Session applied." "$root/a.out" && jq -e '.ok' "$commands/q.response.json" >/dev/null 2>&1; then
      faults[queued-apply]=$((${faults[queued-apply]:-0} + 1))
    fi
  done
  report queued-apply
}

twoUpdates() {
  for _ in $(seq "$tries"); do
    reset
    local ends base longer wider
    ends=$(inAnHour)
    base=$(session U "$ends" 1) longer=$(session U1 "$(later)" 1) wider=$(session U2 "$ends" 1 2)
    jq '.id = "U"' "$longer" >"$longer.x" && mv "$longer.x" "$longer"
    jq '.id = "U"' "$wider" >"$wider.x" && mv "$wider.x" "$wider"
    "$helper" apply "$base" >/dev/null
    "$helper" update "$longer" >"$root/a.out" 2>&1 & "$helper" update "$wider" >"$root/b.out" 2>&1 & wait
    if succeeded "Session updated." "$root/a.out" && succeeded "Session updated." "$root/b.out" &&
      ! jq -e --arg e "$(jq -r .endsAt "$longer")" '(.endsAt | startswith($e[0:19])) and (.apps | length == 2)' \
        "$state" >/dev/null; then
      faults[two-updates]=$((${faults[two-updates]:-0} + 1))
    fi
  done
  report two-updates
}

# Starts every blocked application, lets `race` run beside the daemon, and counts per
# application how often its termination was logged: each exactly once.
eventLogFaults() {
  local name=$1 race=$2
  for _ in $(seq "$tries"); do
    reset
    "$helper" apply "$(session E "$(inAnHour)" $(seq 1 $appsCount))" >/dev/null
    local pids=()
    for i in $(seq 1 $appsCount); do
      setpriv --reuid=65534 --regid=65534 --clear-groups "$root/Apps/X$i.app/Contents/MacOS/X$i" 600 &
      pids+=($!)
    done
    $race
    for _ in $(seq 100); do
      local alive=0
      for pid in "${pids[@]}"; do kill -0 "$pid" 2>/dev/null && alive=1; done
      [ $alive = 0 ] && break
      sleep 0.05
    done
    wait "${pids[@]}" 2>/dev/null || true
    sleep 1  # the append comes after the grace period of the termination
    local bad
    bad=$(jq --argjson n $appsCount '[group_by(.path)[] | length] as $c | ($n - ($c | length)) + ([$c[] | select(. > 1) | . - 1] | add // 0)' \
      "$events" 2>/dev/null || echo $appsCount)
    faults[$name]=$((${faults[$name]:-0} + bad))
  done
  report "$name"
}
oneShotEnforce() { for _ in 1 2 3; do "$helper" enforce >/dev/null 2>&1 || true; done; }
nothing() { :; }

for case in "${cases[@]}"; do
  case $case in
    two-applies) twoApplies ;;
    two-updates) twoUpdates ;;
    queued-apply) queuedApply ;;
    enforce-beside | second-daemon)
      while [ ${#daemons[@]} -lt $([ "$case" = second-daemon ] && echo 2 || echo 1) ]; do
        "$helper" watch 2>>"$root/daemon${#daemons[@]}.log" & daemons+=($!)
        sleep 0.5
      done
      if [ "$case" = enforce-beside ]; then eventLogFaults enforce-beside oneShotEnforce; else eventLogFaults second-daemon nothing; fi
      ;;
    *) echo "stress: unknown case $case" >&2; exit 2 ;;
  esac
done
echo "(event-log faults count terminations missing or logged twice, out of $appsCount per try)"
