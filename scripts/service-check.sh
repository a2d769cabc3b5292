#!/usr/bin/env bash
# Follows the README's Linux install on a fresh machine with systemd running: makes a minimal Debian
# root (debootstrap --variant=minbase with systemd, D-Bus and sudo, from this machine's apt
# sources), boots it with systemd-nspawn -b, copies the working tree to /root/vellorin in it, runs
# the README's set-up command for the dependencies and its Linux install commands word for word,
# then checks the installed daemon the way its users meet it: the focus application's requests
# from an ordinary user, a blocked application, the administrator's status and forced restore,
# failures in the journal, a restart after kill -9, and the uninstall. One PASS or FAIL line per
# check; the exit status is non-zero when any failed. Everything it made is removed at the end,
# also when it is interrupted. Run as root; needs the package archive.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/lib/minimal-root.sh

require_root "service check"
for tool in systemd-nspawn nsenter; do
  command -v "$tool" >/dev/null || { echo "service check: $tool is missing (packages systemd-container, util-linux)" >&2; exit 1; }
done

# The README's Linux commands: the lines of the first sh block under "### Linux" in "## Running it
# for real", each picked by what it does. Exactly one line must match.
mapfile -t linux_lines < <(awk '
  /^## / { inSection = ($0 == "## Running it for real") }
  inSection && /^### / { inLinux = ($0 == "### Linux") }
  inSection && inLinux && !done && /^```sh/ { inBlock = 1; next }
  inBlock && /^```/ { inBlock = 0; done = 1; next }
  inBlock && NF { print }' README.md)
readme_line() {
  local pattern=$1 line found=()
  for line in "${linux_lines[@]}"; do
    grep -qE -- "$pattern" <<<"${line%%#*}" && found+=("$line")
  done
  if [ "${#found[@]}" -ne 1 ]; then
    echo "service check: the README's Linux commands have ${#found[@]} lines matching \"$pattern\", not one" >&2
    exit 1
  fi
  printf '%s\n' "${found[0]}"
}
configure_line=$(readme_line '^cmake -S ')
build_line=$(readme_line '^cmake --build ')
install_line=$(readme_line 'cmake --install ')
start_line=$(readme_line 'enable --now')
stop_line=$(readme_line 'disable --now')
status_line=$(readme_line 'VellorinHelper status')
restore_line=$(readme_line 'restore --force')
purge_line=$(readme_line 'uninstall --purge')

started=$(date +%s)
work=$(mktemp -d "${TMPDIR:-/var/tmp}/vellorin-service-XXXXXX")
root="$work/root"
machine="vellorin-check-$$"
nspawn=""
leader=""

stop_container() {
  [ -n "$nspawn" ] || return 0
  if kill -0 "$nspawn" 2>/dev/null; then
    # systemd-nspawn answers SIGTERM with an orderly shutdown of the container.
    kill -TERM "$nspawn" 2>/dev/null || true
    for _ in $(seq 60); do kill -0 "$nspawn" 2>/dev/null || break; sleep 0.5; done
  fi
  if kill -0 "$nspawn" 2>/dev/null; then
    # Ending the container's init ends every process of its PID namespace.
    [ -n "$leader" ] && kill -KILL "$leader" 2>/dev/null || true
    kill -KILL "$nspawn" 2>/dev/null || true
  fi
  wait "$nspawn" 2>/dev/null || true
  nspawn=""
  # systemd-nspawn leaves its propagation folder behind where /run is not a tmpfs.
  rmdir "/run/systemd/nspawn/propagate/$machine" 2>/dev/null || true
}
cleanup() {
  stop_container
  minimal_root_remove "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

phase_started=$started
phase() {
  local now
  now=$(date +%s)
  echo "service check: $1 in $(minimal_root_duration $((now - phase_started)))"
  phase_started=$now
}

# Runs a command inside the booted container as root, with a clean environment.
in_container() {
  nsenter --target "$leader" --mount --uts --ipc --net --pid --root --wd -- \
    /usr/bin/env -i HOME=/root TERM=dumb LANG=C.UTF-8 PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    CMAKE_BUILD_PARALLEL_LEVEL=2 "$@"
}

# Runs one README line from the checkout inside the container; its output goes to LOG.
readme_step() {
  local log=$1 line=$2
  echo "service check: \$ $line"
  if ! in_container /bin/bash -c "cd /root/vellorin && $line" >"$log" 2>&1; then
    tail -n 40 "$log"
    echo "service check: FAIL: README command: $line"
    exit 1
  fi
}

status=0
results=()
verdict() {  # verdict NAME COMMAND...: one PASS or FAIL line; the command's output explains a failure.
  local name=$1 output
  shift
  if output=$("$@" 2>&1); then
    results+=("PASS: $name${output:+ ($output)}")
  else
    results+=("FAIL: $name${output:+ ($output)}")
    status=1
  fi
  echo "service check: ${results[-1]}"
}

echo "service check: a minimal $(minimal_root_suite) root with systemd in $root"
if ! minimal_root_create "$root" --include=systemd,systemd-sysv,dbus,sudo >"$work/debootstrap.log" 2>&1; then
  tail -n 20 "$work/debootstrap.log"
  echo "service check: FAIL: debootstrap did not make the root"
  exit 1
fi
# The container's name is its host name, and its hosts file knows it (sudo looks it up).
echo "$machine" >"$root/etc/hostname"
grep -q localhost "$root/etc/hosts" 2>/dev/null || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >>"$root/etc/hosts"
printf '127.0.1.1\t%s\n' "$machine" >>"$root/etc/hosts"
minimal_root_copy_tree "$root/root/vellorin"
chmod 0700 "$root/root"
# The steps that run inside the container, as root, one per argument.
cat >"$root/root/service-check-steps.sh" <<'STEPS'
set -euo pipefail
commands=/var/lib/vellorin/shared/Commands
bundle=/home/tester/Applications/Fake.app
as_user() { setpriv --reuid=tester --regid=tester --init-groups "$@"; }
milliseconds() { echo $((${EPOCHREALTIME/./} / 1000)); }

# Writes a request as the ordinary user, mode 0600, outside the command directory, then moves it in
# complete, as the focus application does; waits for its response and prints it.
request() {
  local id=$1 body=$2
  as_user sh -c 'umask 077; printf "%s\n" "$1" > "$HOME_DIR/$2.json"; mv "$HOME_DIR/$2.json" "$3/$2.request.json"' \
    sh "$body" "$id" "$commands"
  for _ in $(seq 50); do
    [ -f "$commands/$id.response.json" ] && { tr -d '\n' < "$commands/$id.response.json"; return 0; }
    sleep 0.1
  done
  echo "no response to $id within 5 s"; return 1
}
export HOME_DIR=/home/tester

events=/var/lib/vellorin/shared/blocked-app-events.json
logged_events() { local n; n=$(grep -c '"sessionID"' "$events" 2>/dev/null) || true; echo "${n:-0}"; }

# Starts the blocked application as the ordinary user and waits until the process runs it: setpriv
# has made way for the application once the process bears its name. The daemon may end it within
# milliseconds of that, so the process is watched with shell built-ins only; bash reaps it as soon
# as it ends, so a start that was missed all the same is tried again. Sets $fake; fails when no
# start was seen.
launch() {
  local attempt stat deadline
  for attempt in 1 2 3; do
    # A simple command, so that the process started is setpriv itself, then the application; its
    # output goes nowhere, so that no leftover could hold a verdict's pipe open.
    setpriv --reuid=tester --regid=tester --init-groups "$bundle/Contents/MacOS/Fake" 600 </dev/null >/dev/null 2>&1 &
    fake=$!
    deadline=$((${EPOCHREALTIME/./} + 5000000))
    while read -r stat 2>/dev/null <"/proc/$fake/stat"; do
      [[ $stat == "$fake (Fake) "* ]] && return 0
      [ "${EPOCHREALTIME/./}" -lt "$deadline" ] || break
    done
    kill -KILL "$fake" 2>/dev/null || true
    wait "$fake" 2>/dev/null || true
    echo "attempt $attempt: the application was not seen running"
  done
  return 1
}

# Starts the blocked application, runs the given command (a request, or nothing) and waits for the
# application to end: it must end within a second of the later of its start and that command, by
# the daemon's signal, and the daemon must log the termination.
ended_within_a_second() {
  local started watchdog lived rc=0 before
  before=$(logged_events)
  launch || return 1
  started=$(milliseconds)
  "$@" >/dev/null
  # A last resort, so that a daemon that does nothing cannot hang the check.
  ( sleep 5; kill -KILL "$fake" 2>/dev/null && touch /root/watchdog-fired ) &
  watchdog=$!
  wait "$fake" 2>/dev/null || rc=$?
  lived=$(($(milliseconds) - started))
  kill "$watchdog" 2>/dev/null || true
  wait "$watchdog" 2>/dev/null || true
  if [ -e /root/watchdog-fired ]; then rm -f /root/watchdog-fired; echo "still running after 5 s"; return 1; fi
  case $rc in
    143) echo "seen running, ended by SIGTERM ${lived} ms after" ;;
    137) echo "seen running, ended by SIGKILL ${lived} ms after" ;;
    *) echo "seen running, ended with exit status $rc after ${lived} ms, not by a signal of the daemon's"; return 1 ;;
  esac
  # The daemon logs a termination once its second stage is over, a moment after the signal.
  for _ in $(seq 50); do [ "$(logged_events)" -gt "$before" ] && break; sleep 0.1; done
  [ "$(logged_events)" -gt "$before" ] || { echo "but no termination was logged"; return 1; }
  [ "$lived" -le 1000 ]
}

case $1 in
  prepare)
    id tester >/dev/null 2>&1 || useradd --create-home tester
    as_user mkdir -p "$bundle/Contents/MacOS"
    as_user cp /bin/sleep "$bundle/Contents/MacOS/Fake"
    ;;
  active) systemctl is-active vellorin-helper ;;
  answered)
    response=$(request check-1 '{"id": "check-1", "command": "cleanup"}')
    grep -q '"ok": true' <<<"$response" || { echo "$response"; exit 1; }
    echo "answered by a response owned by $(stat -c %U "$commands/check-1.response.json")"
    ;;
  blocked)
    session='{"id": "check-session", "profileName": "Service check", "startedAt": "2026-01-01T09:00:00Z",
      "endsAt": "2099-01-01T10:00:00Z", "websites": [], "websiteMode": "blocklist", "browserBlockingApps": [],
      "apps": [{"bundleIdentifier": "com.example.fake", "id": "app-1", "isRunning": true, "name": "Fake",
      "path": "'"$bundle"'"}]}'
    ended_within_a_second request check-apply "{\"id\": \"check-apply\", \"command\": \"apply\", \"session\": $session}"
    grep -q '"phase": "active"' "$commands/check-apply.response.json" || { echo "the apply was not answered as active"; exit 1; }
    grep -q '"bundleIdentifier": "com.example.fake"' "$events" ||
      { echo "no event logged"; exit 1; }
    ;;
  relaunch) ended_within_a_second true ;;
  plant-hosts-block)
    printf '# BEGIN VELLORIN BLOCK x\n0.0.0.0\tnews.example\n::\tnews.example\n# END VELLORIN BLOCK\n' >> /etc/hosts
    ;;
  hosts-clean)
    if grep -q 'VELLORIN BLOCK\|news.example' /etc/hosts; then echo "the block is still in /etc/hosts"; exit 1; fi
    grep -q localhost /etc/hosts || { echo "/etc/hosts lost its other lines"; exit 1; }
    echo "/etc/hosts without the block, mode $(stat -c %a /etc/hosts)"
    ;;
  failing-pass)
    since=$(date +%s)
    as_user sh -c 'mv "$1" "$1.away" && : > "$1"' sh "$commands"
    for _ in $(seq 30); do
      line=$(journalctl -u vellorin-helper --since "@$since" --no-pager -o cat | grep -m 1 "$commands" || true)
      [ -n "$line" ] && break
      sleep 0.1
    done
    as_user sh -c 'rm -f "$1" && rm -rf "$1.away"' sh "$commands"
    [ -n "$line" ] || { echo "no line in the journal within 3 s"; exit 1; }
    echo "journal: $line"
    ;;
  recovered)
    # The daemon pauses 5 s after a failed pass, then makes the command directory again.
    for _ in $(seq 80); do [ -d "$commands" ] && break; sleep 0.1; done
    response=$(request check-2 '{"id": "check-2", "command": "cleanup"}')
    grep -q '"ok": true' <<<"$response" || { echo "$response"; exit 1; }
    ;;
  restarted)
    old=$(systemctl show -p MainPID --value vellorin-helper)
    [ "$old" -gt 0 ] || { echo "no main process"; exit 1; }
    kill -KILL "$old"
    for _ in $(seq 50); do
      new=$(systemctl show -p MainPID --value vellorin-helper)
      [ "$new" -gt 0 ] && [ "$new" != "$old" ] && systemctl is-active --quiet vellorin-helper && break
      sleep 0.1
    done
    [ "$new" -gt 0 ] && [ "$new" != "$old" ] || { echo "not running again within 5 s"; exit 1; }
    echo "process $old killed, process $new running, $(systemctl show -p NRestarts --value vellorin-helper) restart(s)"
    ;;
  exposure) systemd-analyze security vellorin-helper.service | tail -n 1 ;;
  stopped) ! systemctl is-active vellorin-helper ;;
  nothing-left)
    left=$(find / -xdev -path /root/vellorin -prune -o -iname '*vellorin*' -print)
    [ -z "$left" ] || { echo "left behind:" $left; exit 1; }
    echo "no file named *vellorin* outside the checkout"
    ;;
  *) echo "unknown step $1"; exit 2 ;;
esac
STEPS
phase "root made"

systemd-nspawn --quiet --boot --directory="$root" --machine="$machine" --register=no --keep-unit \
  --console=read-only >"$work/container.log" 2>&1 &
nspawn=$!
# The container's init: the child of systemd-nspawn once it runs systemd (nspawn's own children come
# and go before that).
for _ in $(seq 300); do
  leader=""
  for candidate in $(ps -o pid= --ppid "$nspawn" 2>/dev/null); do
    [ "$(cat "/proc/$candidate/comm" 2>/dev/null)" = systemd ] && leader=$candidate
  done
  [ -n "$leader" ] && break
  kill -0 "$nspawn" 2>/dev/null || break
  sleep 0.1
done
booted=""
if [ -n "$leader" ]; then
  for _ in $(seq 60); do
    booted=$(in_container timeout 120 systemctl is-system-running --wait 2>/dev/null || true)
    [ "$booted" = offline ] || [ -z "$booted" ] || break
    sleep 0.5
  done
fi
if [ "$booted" != running ] && [ "$booted" != degraded ]; then
  tail -n 30 "$work/container.log"
  echo "service check: FAIL: the container did not boot (${booted:-no answer})"
  exit 1
fi
phase "container booted ($booted)"

readme_step "$work/setup.log" "scripts/setup.sh"
phase "dependencies installed"
for line in "$configure_line" "$build_line" "$install_line" "$start_line"; do readme_step "$work/install.log" "$line"; done
phase "built, installed and started"

step() { in_container /bin/bash /root/service-check-steps.sh "$@"; }
step prepare >"$work/prepare.log" 2>&1 || { cat "$work/prepare.log"; exit 1; }
readme_output() { in_container /bin/bash -c "cd /root/vellorin && $1"; }
status_shows() {
  local output
  output=$(readme_output "$status_line") || { echo "$output"; return 1; }
  grep -q "\"phase\": \"$1\"" <<<"$output" || { echo "$output" | tr -d '\n'; return 1; }
  [ "$1" != active ] || grep -q '"id": "check-session"' <<<"$output" || { echo "not the check's session"; return 1; }
  echo "\"phase\": \"$1\""
}
forced_restore() {
  local output
  output=$(readme_output "$restore_line") || { echo "$output"; return 1; }
  grep -q '"phase": "idle"' <<<"$output" || { echo "$output" | tr -d '\n'; return 1; }
  step hosts-clean
}

verdict "the unit is active after the README's start command" step active
verdict "a request of an ordinary user, moved into the command directory, is answered" step answered
verdict "a blocked application of an ordinary user ends within a second of its session being applied" step blocked
verdict "the application relaunched ends again within a second" step relaunch
verdict "the README's status command shows the active session" status_shows active
step plant-hosts-block
verdict "the README's forced restore clears the session and the block in /etc/hosts" forced_restore
verdict "the README's status command then shows no session" status_shows idle
verdict "a failed pass (a file planted in place of the command directory) reaches the journal" step failing-pass
verdict "requests are answered again once the planted file is gone" step recovered
verdict "the daemon runs again after kill -9" step restarted
exposure=$(step exposure 2>&1 || true)
echo "service check: systemd-analyze security: $exposure"
readme_step "$work/stop.log" "$stop_line"
verdict "the unit is stopped after the README's stop command" step stopped
readme_step "$work/uninstall.log" "$purge_line"
verdict "the README's uninstall with --purge leaves nothing behind" step nothing-left
phase "checks done"

stop_container
echo
for line in "${results[@]}"; do echo "service check: $line"; done
echo "service check: systemd-analyze security: $exposure"
echo "service check: wall time $(minimal_root_duration $(($(date +%s) - started)))"
exit "$status"
