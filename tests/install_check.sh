#!/usr/bin/env bash
# Stages the install of each service manager's layout into a DESTDIR folder and checks what lands
# there: the binary where the service definitions point, a manual page that renders without
# warnings, a systemd unit and environment file that agree on every location, a LaunchDaemon that
# starts the helper itself and a log rotation that signals nobody, the shipped configuration
# profile, nothing of the other platform, an environment file kept on reinstall, and an uninstall
# script that removes what the install and the daemon laid down and nothing else. Each layout is configured in a build folder of
# its own and installs the binary of the build under test.
set -euo pipefail
build=$(cd "$1" && pwd)
source=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$build/CMakeCache.txt")
generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$build/CMakeCache.txt")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "install check: $*" >&2; exit 1; }

# configure NAME CMAKE-ARGUMENTS...: a build folder for one layout, holding the binary under test.
configure() {
  local name=$1; shift
  cmake -S "$source" -B "$work/$name" -G "$generator" -DVELLORIN_TESTS=OFF "$@" >"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log" >&2; fail "configuring the $name layout failed"; }
  cp "$build/VellorinHelper" "$work/$name/VellorinHelper"
}
# stage NAME [INSTALL-ARGUMENTS...]: installs that layout into $work/NAME.stage.
stage() {
  local name=$1; shift
  DESTDIR="$work/$name.stage" cmake --install "$work/$name" "$@" >"$work/$name.install.log" 2>&1 ||
    { cat "$work/$name.install.log" >&2; fail "installing the $name layout failed"; }
}
# The files and links of a staged tree, relative to it, sorted.
contents() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./|/|' | LC_ALL=C sort); }
expect_contents() {
  local tree=$1; shift
  local expected actual
  expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
  actual=$(contents "$tree")
  [ "$actual" = "$expected" ] || fail "$tree holds:"$'\n'"$actual"$'\n'"expected:"$'\n'"$expected"
}

check_manual() {
  local man=$1 warnings rendered word
  warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1) || fail "groff failed: $warnings"
  [ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
  rendered=$(groff -man -Tutf8 "$man" 2>/dev/null | sed 's/.\x08//g')
  for word in VELLORIN_STATE_DIR VELLORIN_DRY_RUN process-commands blocked-app-events.json "EXIT STATUS" \
              EXAMPLES /etc/vellorin-helper.env /Library/LaunchDaemons/app.vellorin.helper.plist \
              /var/log/vellorin-helper.log "restore --force" "launchd.plist(5)" "journalctl(1)" "hosts(5)"; do
    grep -qF -- "$word" <<<"$rendered" || fail "the manual page lacks $word"
  done
}

check_binary() {
  [ -x "$1" ] || fail "no executable at $1"
  [ "$(stat -c %a "$1")" = 755 ] || fail "$1 has mode $(stat -c %a "$1"), not 755"
  "$1" version | grep -q '"helperVersion": "11"' || fail "the installed binary $1 does not answer"
}

# The unit and the environment file, read the way systemd reads them; STAGE PREFIX UNIT-PATH.
check_systemd_layout() {
  python3 - "$@" <<'PY' || fail "the systemd unit or environment file of $3 is wrong"
import os, re, shlex, subprocess, sys
stage, prefix, unit_path = sys.argv[1:4]
sections, current = {}, None
for number, raw in enumerate(open(stage + unit_path), 1):
    line = raw.strip()
    if not line or line.startswith("#"):
        continue
    if line.startswith("[") and line.endswith("]"):
        current = sections.setdefault(line[1:-1], [])
        continue
    assert current is not None and "=" in line, f"line {number}: {line}"
    current.append(tuple(line.split("=", 1)))
unit, service = dict(sections["Unit"]), dict(sections["Service"])
def values(key):
    return [word for k, v in sections["Service"] if k == key for word in v.split()]

assert service["ExecStart"] == prefix + "/sbin/VellorinHelper watch", service["ExecStart"]
assert service["Type"] == "exec" and service["Restart"] == "always", service
assert unit.get("StartLimitIntervalSec") in ("0", "infinity"), "a start limit would give up restarting"
assert dict(sections["Install"])["WantedBy"] == "multi-user.target"
assert service.get("ProtectProc", "default") != "invisible" and service.get("ProcSubset", "all") != "pid", \
    "/bin/ps must see every process"
capabilities = set(values("CapabilityBoundingSet"))
assert {"CAP_KILL", "CAP_DAC_READ_SEARCH", "CAP_FOWNER"} <= capabilities, capabilities

# The environment file: plain NAME=value lines, the same to systemd and to a shell.
environment_path = service["EnvironmentFile"]
assert environment_path == "/etc/vellorin-helper.env", environment_path
environment = {}
for raw in open(stage + environment_path):
    line = raw.strip()
    if not line or line.startswith("#"):
        continue
    assert re.fullmatch(r"VELLORIN_[A-Z_]+=[^\s'\"\\$`]+", line), f"not a plain NAME=value line: {line}"
    name, value = line.split("=", 1)
    environment[name] = value
shell = subprocess.run(["sh", "-ac", ". " + shlex.quote(stage + environment_path) + "; env"],
                       env={"PATH": os.environ["PATH"]}, capture_output=True, text=True, check=True).stdout
for name, value in environment.items():
    assert f"{name}={value}\n" in shell, f"a shell reads {name} differently"
names = {"VELLORIN_STATE_DIR", "VELLORIN_COMMAND_DIR", "VELLORIN_HOSTS_PATH", "VELLORIN_PF_CONF_PATH",
         "VELLORIN_PF_ANCHOR_PATH", "VELLORIN_PF_TOKEN_PATH", "VELLORIN_RESOLVER_DIR"}
assert set(environment) == names, set(environment) ^ names

# Every folder the daemon needs exists before it starts: systemd makes the state directories, and
# the daemon makes the command directory and its parent inside one of them. Only folders systemd
# does not manage are opened to everyone, and the state directory never is.
state_dirs = {"/var/lib/" + name for name in values("StateDirectory")}
assert environment["VELLORIN_STATE_DIR"] in state_dirs, environment["VELLORIN_STATE_DIR"]
for name in ("VELLORIN_PF_CONF_PATH", "VELLORIN_PF_ANCHOR_PATH", "VELLORIN_PF_TOKEN_PATH"):
    assert os.path.dirname(environment[name]) in state_dirs, name
assert environment["VELLORIN_RESOLVER_DIR"] in state_dirs
commands = environment["VELLORIN_COMMAND_DIR"]
shared = os.path.dirname(commands)
assert os.path.dirname(shared) in state_dirs and shared not in state_dirs and commands not in state_dirs, commands
assert service.get("StateDirectoryMode", "0755") == "0755"
# ProtectSystem=strict leaves writable only what is named: /etc, where the hosts file is replaced.
assert service["ProtectSystem"] == "strict"
assert os.path.dirname(environment["VELLORIN_HOSTS_PATH"]) in values("ReadWritePaths")
PY
}

# The property list and the newsyslog entry as launchd and newsyslog read them, and the
# configuration profile shipped for management servers; STAGE [BUNDLE-IDENTIFIER].
check_launchd_layout() {
  python3 - "$1" "$source/packaging/app.vellorin.helper.mobileconfig" "${2:-}" <<'PY' || fail "the launchd definitions are wrong"
import plistlib, sys, uuid
stage, profile_path, bundle = sys.argv[1:4]
with open(stage + "/Library/LaunchDaemons/app.vellorin.helper.plist", "rb") as f:
    p = plistlib.load(f)
label = "app.vellorin.helper"
assert p["Label"] == label, p
# The helper itself, so that System Settings names it; no shell and no process-id file.
assert p["ProgramArguments"] == ["/Library/PrivilegedHelperTools/VellorinHelper", "watch"], p["ProgramArguments"]
assert p["RunAtLoad"] is True and p["KeepAlive"] is True and p.get("UserName", "root") == "root", p
log = p["StandardErrorPath"]
assert log == "/var/log/vellorin-helper.log", log
assert p["EnvironmentVariables"] == {"VELLORIN_LOG_PATH": log}, "the daemon must know its log to follow a rotation"
assert p.get("AssociatedBundleIdentifiers") == ([bundle] if bundle else None), p.get("AssociatedBundleIdentifiers")

entries = [line.split() for line in open(stage + "/etc/newsyslog.d/app.vellorin.helper.conf")
           if line.strip() and not line.lstrip().startswith("#")]
assert len(entries) == 1 and len(entries[0]) == 7, entries
name, owner, mode, count, size, when, flags = entries[0]
assert name == log and owner == "root:wheel" and mode == "644" and int(count) > 0 and int(size) > 0, entries
assert "N" in flags, "a rotation must signal nobody"

with open(profile_path, "rb") as f:
    profile = plistlib.load(f)
assert profile["PayloadType"] == "Configuration" and profile["PayloadScope"] == "System", profile
(payload,) = profile["PayloadContent"]
assert payload["PayloadType"] == "com.apple.servicemanagement", payload
assert payload["Rules"] == [{"Comment": payload["Rules"][0]["Comment"], "RuleType": "Label", "RuleValue": label}]
ids = [profile["PayloadUUID"], payload["PayloadUUID"]]
assert len({str(uuid.UUID(i)) for i in ids}) == 2, ids
assert payload["PayloadIdentifier"].startswith(profile["PayloadIdentifier"] + "."), payload["PayloadIdentifier"]
PY
}

# Linux, prefix given at install time over the configured default, as the README installs it.
configure linux
stage linux --prefix /usr
L="$work/linux.stage"
expect_contents "$L" /usr/sbin/VellorinHelper /usr/sbin/vellorin-helper-uninstall \
  /usr/share/man/man8/VellorinHelper.8 /usr/lib/systemd/system/vellorin-helper.service /etc/vellorin-helper.env
check_binary "$L/usr/sbin/VellorinHelper"
check_manual "$L/usr/share/man/man8/VellorinHelper.8"
check_systemd_layout "$L" /usr /usr/lib/systemd/system/vellorin-helper.service

# An administrator's edits to the environment file survive a reinstall.
# (Edited long after the install: an install copies a file whose time differs from its own.)
echo "VELLORIN_HOSTS_PATH=/etc/hosts.edited" >>"$L/etc/vellorin-helper.env"
touch -d 2001-01-01 "$L/etc/vellorin-helper.env"
stage linux --prefix /usr
grep -q '^VELLORIN_HOSTS_PATH=/etc/hosts.edited$' "$L/etc/vellorin-helper.env" || fail "the reinstall replaced the environment file"
sed -i '$d' "$L/etc/vellorin-helper.env"

# Linux, prefix given when configuring, one systemd does not search: the unit goes to /etc.
configure opt -DCMAKE_INSTALL_PREFIX=/opt/vellorin
stage opt
check_systemd_layout "$work/opt.stage" /opt/vellorin /etc/systemd/system/vellorin-helper.service

# macOS.
configure macos -DVELLORIN_SERVICE_PLATFORM=launchd
stage macos --prefix /usr/local
M="$work/macos.stage"
expect_contents "$M" /Library/PrivilegedHelperTools/VellorinHelper /Library/PrivilegedHelperTools/vellorin-helper-uninstall \
  /Library/LaunchDaemons/app.vellorin.helper.plist /etc/newsyslog.d/app.vellorin.helper.conf \
  /usr/local/share/man/man8/VellorinHelper.8
check_binary "$M/Library/PrivilegedHelperTools/VellorinHelper"
check_launchd_layout "$M"
configure macos-app -DVELLORIN_SERVICE_PLATFORM=launchd -DVELLORIN_APPLICATION_BUNDLE_IDENTIFIER=com.example.Focus
stage macos-app --prefix /usr/local
check_launchd_layout "$work/macos-app.stage" com.example.Focus

# The uninstall script on each staged tree, with what the daemon lays down beside it, and files of
# others it must leave alone. Without --purge the state and the configuration stay.
daemon_files() {  # TREE FILES...: files the daemon (or someone else) made
  local tree=$1 file; shift
  for file in "$@"; do mkdir -p "$(dirname "$tree$file")"; echo x >"$tree$file"; done
}
others_linux=(/etc/hosts /usr/sbin/other-tool /usr/lib/systemd/system/other.service /var/lib/other/state)
daemon_linux=(/var/lib/vellorin/active-session.json /var/lib/vellorin/pf/pf.conf
  /var/lib/vellorin/shared/helper-protocol-v1 /var/lib/vellorin/shared/blocked-app-events.json
  /var/lib/vellorin/shared/Commands/a.response.json)
daemon_files "$L" "${others_linux[@]}" "${daemon_linux[@]}"
cp "$L/usr/sbin/vellorin-helper-uninstall" "$work/uninstall-linux"
sh "$L/usr/sbin/vellorin-helper-uninstall" --root "$L" >"$work/uninstall.log" || fail "the uninstall failed"
expect_contents "$L" "${others_linux[@]}" "${daemon_linux[@]}" /etc/vellorin-helper.env
grep -q "^kept: $L/var/lib/vellorin " "$work/uninstall.log" || fail "the uninstall does not say what it kept"
sh "$work/uninstall-linux" --purge --root "$L" >/dev/null || fail "the purge failed"
expect_contents "$L" "${others_linux[@]}"
[ ! -e "$L/var/lib/vellorin" ] || fail "the purge left /var/lib/vellorin"

others_macos=(/Library/LaunchDaemons/other.plist /Users/Shared/other.txt /var/log/system.log /etc/newsyslog.d/other.conf)
state_macos=("/Library/Application Support/Vellorin/active-session.json"
  /Users/Shared/Vellorin/helper-protocol-v1 /Users/Shared/Vellorin/blocked-app-events.json
  /Users/Shared/Vellorin/Commands/a.request.json /var/log/vellorin-helper.log /var/log/vellorin-helper.log.0.bz2)
daemon_files "$M" "${others_macos[@]}" "${state_macos[@]}"
cp "$M/Library/PrivilegedHelperTools/vellorin-helper-uninstall" "$work/uninstall-macos"
sh "$M/Library/PrivilegedHelperTools/vellorin-helper-uninstall" --root "$M" >/dev/null || fail "the macOS uninstall failed"
expect_contents "$M" "${others_macos[@]}" "${state_macos[@]}"
sh "$work/uninstall-macos" --purge --root "$M" >/dev/null || fail "the macOS purge failed"
expect_contents "$M" "${others_macos[@]}"
[ ! -e "$M/Users/Shared/Vellorin" ] && [ ! -e "$M/Library/Application Support/Vellorin" ] ||
  fail "the macOS purge left a folder of the daemon's"

echo "install check: both layouts in place, and removed again by their uninstall scripts"
