#!/usr/bin/env bash
# Builds the helper and runs its main job in a sandbox: dry-run mode, every location under a
# temporary folder, never the real /etc, /Library or /Users paths.
set -euo pipefail
cd "$(dirname "$0")/.."

cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVELLORIN_TESTS=OFF >/dev/null
ninja -C build/release >/dev/null
helper="$PWD/build/release/VellorinHelper"

sandbox=$(mktemp -d /tmp/vellorin-sandbox-XXXXXX)
daemon=""
fake_app=""
cleanup() {
  for pid in $daemon $fake_app; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$sandbox"
}
trap cleanup EXIT

export VELLORIN_DRY_RUN=1
export VELLORIN_STATE_DIR="$sandbox/state"
export VELLORIN_COMMAND_DIR="$sandbox/Shared/Commands"
export VELLORIN_HOSTS_PATH="$sandbox/etc/hosts"
export VELLORIN_PF_CONF_PATH="$sandbox/etc/pf.conf"
export VELLORIN_PF_ANCHOR_PATH="$sandbox/etc/pf.anchors/app.vellorin.helper"
export VELLORIN_PF_TOKEN_PATH="$sandbox/etc/VellorinPFToken"
export VELLORIN_RESOLVER_DIR="$sandbox/etc/resolver"
mkdir -p "$sandbox/etc/pf.anchors"

step() { printf '\n$ %s\n' "$*"; "$@"; }
echo "Sandbox: $sandbox (dry-run mode: nothing is signalled, no cache is flushed)"
step "$helper" version
step "$helper" apply examples/sample-session.json
step "$helper" status
step "$helper" restore --force

echo
echo "--- the daemon at work"
"$helper" watch 2>"$sandbox/daemon.err" &
daemon=$!
for _ in $(seq 50); do [ -f "$sandbox/Shared/helper-protocol-v1" ] && break; sleep 0.1; done
# A stand-in for a blocked application, so that the session has something to find.
mkdir -p "$sandbox/Chat.app/Contents/MacOS"
cp /bin/sleep "$sandbox/Chat.app/Contents/MacOS/Chat"
"$sandbox/Chat.app/Contents/MacOS/Chat" 300 &
fake_app=$!
# The focus application writes a request elsewhere and moves it in complete.
session=$(sed "s|/Applications/Chat.app|$sandbox/Chat.app|" examples/sample-session.json)
printf '{"id": "demo-1", "command": "apply", "session": %s}\n' "$session" > "$sandbox/request.json"
mv "$sandbox/request.json" "$VELLORIN_COMMAND_DIR/demo-1.request.json"
for _ in $(seq 50); do [ -f "$VELLORIN_COMMAND_DIR/demo-1.response.json" ] && break; sleep 0.1; done
step cat "$VELLORIN_COMMAND_DIR/demo-1.response.json"
echo
step "$helper" status
step cat "$sandbox/Shared/helper-protocol-v1"
if [ -f "$sandbox/Shared/blocked-app-events.json" ]; then
  step cat "$sandbox/Shared/blocked-app-events.json"
else
  echo; echo "(no event log: no blocked application was running)"
fi
kill "$daemon" "$fake_app"; wait "$daemon" "$fake_app" 2>/dev/null || true; daemon=""; fake_app=""
echo; echo "Daemon stopped. Its standard error: $(cat "$sandbox/daemon.err")"
[ -s "$sandbox/daemon.err" ] || echo "(empty: every pass succeeded)"
