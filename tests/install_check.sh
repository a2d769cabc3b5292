#!/usr/bin/env bash
# Installs into a staging folder and checks what lands there: the binary, the manual page (which
# must render without warnings), and well-formed service definitions for launchd and systemd.
set -euo pipefail
build=$1
stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT

DESTDIR="$stage" cmake --install "$build" >/dev/null
prefix=$(sed -n 's/^CMAKE_INSTALL_PREFIX:PATH=//p' "$build/CMakeCache.txt")
fail() { echo "install check: $*" >&2; exit 1; }

binary="$stage$prefix/sbin/VellorinHelper"
[ -x "$binary" ] || fail "no executable at $prefix/sbin/VellorinHelper"
"$binary" version | grep -q '"helperVersion": "11"' || fail "the installed binary does not answer"

man="$stage$prefix/share/man/man8/VellorinHelper.8"
[ -f "$man" ] || fail "no manual page"
warnings=$(groff -man -Tutf8 -ww -z "$man" 2>&1) || fail "groff failed: $warnings"
[ -z "$warnings" ] || fail "the manual page renders with warnings: $warnings"
rendered=$(groff -man -Tutf8 "$man" 2>/dev/null | sed 's/.\x08//g')
for word in VELLORIN_STATE_DIR VELLORIN_DRY_RUN process-commands blocked-app-events.json "EXIT STATUS"; do
  grep -q -- "$word" <<<"$rendered" || fail "the manual page lacks $word"
done

plist=$(find "$stage" -name app.vellorin.helper.plist)
[ -n "$plist" ] || fail "no LaunchDaemon property list"
# A property list is XML: check it parses, then its keys.
python3 - "$plist" "$prefix" <<'PY' || fail "the property list is not what launchd needs"
import plistlib, sys
with open(sys.argv[1], "rb") as f:
    p = plistlib.load(f)
assert p["Label"] == "app.vellorin.helper", p
assert p["ProgramArguments"] == [sys.argv[2] + "/sbin/VellorinHelper", "watch"], p
assert p["RunAtLoad"] is True and p["KeepAlive"] is True, p
PY

unit="$stage$prefix/lib/systemd/system/vellorin-helper.service"
[ -f "$unit" ] || fail "no systemd unit"
python3 - "$unit" "$prefix" <<'PY' || fail "the systemd unit is malformed"
import sys
sections, current = {}, None
for number, raw in enumerate(open(sys.argv[1]), 1):
    line = raw.strip()
    if not line or line.startswith("#"):
        continue
    if line.startswith("[") and line.endswith("]"):
        current = sections.setdefault(line[1:-1], [])
        continue
    assert current is not None and "=" in line, f"line {number}: {line}"
    key, value = line.split("=", 1)
    current.append((key, value))
service = dict(sections["Service"])
assert service["ExecStart"] == sys.argv[2] + "/sbin/VellorinHelper watch", service["ExecStart"]
assert service["Restart"] == "always"
env = dict(v.split("=", 1) for k, v in sections["Service"] if k == "Environment")
for name in ("VELLORIN_STATE_DIR", "VELLORIN_COMMAND_DIR", "VELLORIN_PF_CONF_PATH", "VELLORIN_PF_ANCHOR_PATH",
             "VELLORIN_PF_TOKEN_PATH", "VELLORIN_RESOLVER_DIR"):
    assert env[name].startswith("/var/lib/"), name
assert "WantedBy" in dict(sections["Install"])
PY
echo "install check: binary, manual page, launchd and systemd definitions are in place"
