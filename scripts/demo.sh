#!/usr/bin/env bash
# Builds the helper and shows its main job for real, in a sandbox: every location lies under a
# temporary folder (never the real /etc, /Library or /Users paths), and the daemon runs as root
# outside dry-run mode. A stand-in for a blocked application, started as an ordinary user, is
# ended; so is its relaunch; the lock refuses every change that would end the session early; a
# forced restore clears everything.
set -euo pipefail
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
  echo "demo: run this as root: the daemon ends another user's application, as it does when installed" >&2
  exit 1
fi

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORIN_TESTS=OFF >/dev/null
ninja -C build/release >/dev/null
helper="$PWD/build/release/VellorinHelper"

sandbox=$(mktemp -d /tmp/vellorin-demo-XXXXXX)
chmod 0755 "$sandbox"  # the stand-in application runs as nobody and must reach its bundle
daemon=""
application=""
cleanup() {
  for pid in $daemon $application; do kill -KILL "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

export VELLORIN_STATE_DIR="$sandbox/state"
export VELLORIN_COMMAND_DIR="$sandbox/Shared/Commands"
export VELLORIN_HOSTS_PATH="$sandbox/etc/hosts"
export VELLORIN_PF_CONF_PATH="$sandbox/etc/pf.conf"
export VELLORIN_PF_ANCHOR_PATH="$sandbox/etc/pf.anchors/app.vellorin.helper"
export VELLORIN_PF_TOKEN_PATH="$sandbox/etc/VellorinPFToken"
export VELLORIN_RESOLVER_DIR="$sandbox/etc/resolver"
unset VELLORIN_DRY_RUN
mkdir -p "$sandbox/etc/pf.anchors"

# The stand-in for a blocked application: a copy of sleep inside an application bundle.
bundle="$sandbox/Chat.app"
mkdir -p "$bundle/Contents/MacOS"
cp /bin/sleep "$bundle/Contents/MacOS/Chat"
chmod -R a+rX "$bundle"
session="$sandbox/session.json"
sed "s|/Applications/Chat.app|$bundle|" examples/sample-session.json >"$session"

milliseconds() { echo $(($(date +%s%N) / 1000000)); }
say() { printf '%-26s %s\n' "$1" "$2"; }
# The value of a text or flag member of a pretty-printed document, wherever it stands.
member() { sed -n -e "s/^ *\"$1\": \"\(.*\)\",\{0,1\}$/\1/p" -e "s/^ *\"$1\": \([a-z0-9]*\),\{0,1\}$/\1/p" "$2" | head -n 1; }
signal_name() { kill -l "$(($1 - 128))" 2>/dev/null || echo "exit status $1"; }

# Starts the stand-in as the user nobody; its process identifier goes to $application.
launch_application() {
  setpriv --reuid=65534 --regid=65534 --clear-groups -- "$bundle/Contents/MacOS/Chat" 600 &
  application=$!
}

# Waits for the stand-in to end and says by which signal, counting from the given moment.
report_end() {
  local label=$1 since=$2 status=0
  wait "$application" || status=$?
  say "$label" "pid $application ended by SIG$(signal_name "$status") after $(($(milliseconds) - since)) ms"
  application=""
}

echo "Sandbox: $sandbox (the daemon runs as root, for real; nothing outside the sandbox is changed)"
echo
echo "\$ VellorinHelper version"
"$helper" version

"$helper" watch 2>"$sandbox/daemon.err" &
daemon=$!
for _ in $(seq 50); do [ -f "$sandbox/Shared/helper-protocol-v1" ] && break; sleep 0.1; done
echo
say "daemon" "VellorinHelper watch, pid $daemon"

launch_application
sleep 0.3
say "blocked application" "$bundle running as nobody, pid $application"

# The focus application writes its request elsewhere and moves it in complete.
printf '{"id": "demo-1", "command": "apply", "session": %s}\n' "$(cat "$session")" >"$sandbox/request.json"
moved=$(milliseconds)
mv "$sandbox/request.json" "$VELLORIN_COMMAND_DIR/demo-1.request.json"
say "request" "demo-1.request.json (apply) moved into the command directory"
report_end "ended" "$moved"
for _ in $(seq 50); do [ -f "$VELLORIN_COMMAND_DIR/demo-1.response.json" ] && break; sleep 0.1; done
response="$VELLORIN_COMMAND_DIR/demo-1.response.json"
say "response" "demo-1.response.json: ok $(member ok "$response"), \"$(member message "$response")\", phase $(member phase "$response")"

launch_application
started=$(milliseconds)
say "relaunched" "pid $application"
report_end "ended again" "$started"

# The daemon logs a termination once its second stage is over, a moment after the signal.
events="$sandbox/Shared/blocked-app-events.json"
for _ in $(seq 50); do [ "$(grep -c '"sessionID"' "$events")" -ge 2 ] && break; sleep 0.1; done
echo
echo "\$ cat $events"
cat "$events"
echo

echo
# The lock: nothing ends or shortens the session before its end without force.
refused() {
  local label=$1; shift
  if "$@" >/dev/null 2>"$sandbox/refusal"; then
    say "$label" "accepted (unexpected)"
    return 1
  fi
  say "$label" "refused: $(member error "$sandbox/refusal")"
}
other="$sandbox/other-session.json"
sed 's/"sample-session"/"another-session"/' "$session" >"$other"
earlier="$sandbox/earlier-session.json"
sed 's/"endsAt": "2099-01-01T10:00:00Z"/"endsAt": "2099-01-01T09:00:00Z"/' "$session" >"$earlier"
refused "apply another session" "$helper" apply "$other"
refused "restore without force" "$helper" restore
refused "update ending earlier" "$helper" update "$earlier"
"$helper" status >"$sandbox/status.json"
say "status" "phase $(member phase "$sandbox/status.json"), still locked"

echo
echo "\$ VellorinHelper restore --force"
"$helper" restore --force
say "state directory" "$(ls -A "$VELLORIN_STATE_DIR" | tr '\n' ' ')(no session, no backups)"
say "event log" "$([ -e "$events" ] && echo present || echo removed)"

kill "$daemon"
wait "$daemon" 2>/dev/null || true
daemon=""
echo
if [ -s "$sandbox/daemon.err" ]; then
  say "daemon's standard error" "$(cat "$sandbox/daemon.err")"
else
  say "daemon's standard error" "empty: every pass succeeded"
fi
