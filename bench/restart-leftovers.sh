#!/usr/bin/env bash
# Kills the daemon at random moments, starting it again each time (as launchd does), and counts the
# temporary files the killed daemons left in their folders; then waits out the minute after which
# such a file counts as stale, starts the daemon once more and counts again. Everything lies in a
# sandbox folder, in dry-run mode (run it as root); a stored session names a running stand-in application, so that
# every pass also rewrites the event log (synced to disk, the slowest write there is).
#
# With SLOW_SYNC_MS set, every fsync of the daemon takes that long (strace delays it), as on a
# slow disk, so that more kills land in the middle of a write.
#
#   [SLOW_SYNC_MS=N] bench/restart-leftovers.sh HELPER [KILLS]
set -euo pipefail
helper=$(realpath "${1:?usage: bench/restart-leftovers.sh HELPER [KILLS]}")
kills=${2:-30}
sandbox=$(mktemp -d)
trap 'rm -rf "$sandbox"' EXIT
mkdir -p "$sandbox/etc/pf.anchors"
export VELLORIN_DRY_RUN=1 VELLORIN_STATE_DIR=$sandbox/state VELLORIN_COMMAND_DIR=$sandbox/Shared/Commands \
  VELLORIN_HOSTS_PATH=$sandbox/etc/hosts VELLORIN_PF_CONF_PATH=$sandbox/etc/pf.conf \
  VELLORIN_PF_ANCHOR_PATH=$sandbox/etc/pf.anchors/a VELLORIN_PF_TOKEN_PATH=$sandbox/etc/token \
  VELLORIN_RESOLVER_DIR=$sandbox/etc/resolver
mkdir -p "$sandbox/Chat.app/Contents/MacOS" "$VELLORIN_STATE_DIR"
cp "$(command -v sleep)" "$sandbox/Chat.app/Contents/MacOS/Chat"
chmod 0755 "$sandbox"
# An ordinary user's application: the daemon never takes root's processes for targets.
setpriv --reuid=nobody --regid=nogroup --clear-groups "$sandbox/Chat.app/Contents/MacOS/Chat" 3600 &
application=$!
trap 'kill "$application"; rm -rf "$sandbox"' EXIT
cat >"$VELLORIN_STATE_DIR/active-session.json" <<JSON
{"id": "S", "profileName": "p", "startedAt": "2000-01-01T00:00:00Z", "endsAt": "2200-01-01T00:00:00Z",
 "apps": [{"id": "a", "bundleIdentifier": "com.example.chat", "name": "Chat", "path": "$sandbox/Chat.app",
           "isRunning": true}], "websites": [], "browserBlockingApps": []}
JSON
leftovers() { find "$sandbox" -name '.vellorin-tmp-*' | wc -l; }
run_for() {  # SECONDS: one daemon, killed without warning after that long
  if [ -n "${SLOW_SYNC_MS:-}" ]; then
    strace -f -qq -o /dev/null -e trace=fsync -e inject=fsync:delay_enter=$((SLOW_SYNC_MS * 1000)) \
      "$helper" watch 2>>"$sandbox/daemon.err" &
  else
    "$helper" watch 2>>"$sandbox/daemon.err" &
  fi
  local pid=$!
  sleep "$1"
  # The daemon itself, not strace: a tracer that dies lets its tracee run on.
  if [ -n "${SLOW_SYNC_MS:-}" ]; then kill -KILL "$(pgrep -P "$pid")"; else kill -KILL "$pid"; fi
  wait "$pid" 2>/dev/null || true
}
for _ in $(seq "$kills"); do run_for "0.$((RANDOM % 900 + 100))"; done
echo "after $kills kills at random moments: $(leftovers) temporary files left (event log: $(grep -c occurredAt "$sandbox/Shared/blocked-app-events.json") events)"
sleep 61
run_for 1
echo "a minute later, after one more start: $(leftovers) temporary files left"
if grep -qv '^strace:' "$sandbox/daemon.err"; then
  echo "the daemon reported:"
  grep -v '^strace:' "$sandbox/daemon.err" | sort -u
fi
