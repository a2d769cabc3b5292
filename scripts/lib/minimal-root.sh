# Sourced by the fresh-machine and service checks: a minimal Debian root made with debootstrap from
# this machine's own apt sources, its system mounts, and a removal that never reaches outside it.

# Stops the calling check, named NAME in its message, unless it runs as root.
require_root() {
  if [ "$(id -u)" -ne 0 ]; then
    echo "$1: run this as root" >&2
    exit 1
  fi
}

# The release this machine runs, such as "bookworm".
minimal_root_suite() {
  (. /etc/os-release && echo "${VERSION_CODENAME:?no VERSION_CODENAME in /etc/os-release}")
}

# The first archive of the machine's apt sources that serves the release itself (not its security
# or updates archive), from the deb822 files or the one-line list; Debian's own mirror otherwise.
minimal_root_mirror() {
  local suite=$1 mirror=""
  local sources=(/etc/apt/sources.list.d/*.sources)
  if [ -e "${sources[0]}" ]; then
    mirror=$(awk -v suite="$suite" '
      function take() {
        if (uris != "" && (" " suites " ") ~ (" " suite " ")) { split(uris, u, " "); print u[1]; found = 1 }
        uris = ""; suites = ""
      }
      found { next }
      /^[[:space:]]*$/ { take(); next }
      /^URIs:/ { sub(/^URIs:[[:space:]]*/, ""); uris = $0 }
      /^Suites:/ { sub(/^Suites:[[:space:]]*/, ""); suites = $0 }
      END { if (!found) take() }' "${sources[@]}" | head -n 1)
  fi
  if [ -z "$mirror" ] && [ -f /etc/apt/sources.list ]; then
    mirror=$(awk -v suite="$suite" '$1 == "deb" {
        i = 2
        if ($i ~ /^\[/) { while (i < NF && $i !~ /\]$/) i++; i++ }
        if ($(i + 1) == suite) { print $i; exit }
      }' /etc/apt/sources.list)
  fi
  echo "${mirror:-http://deb.debian.org/debian}"
}

# Makes a minimal root at ROOT; further arguments go to debootstrap (such as --include=...).
# Installs debootstrap on this machine first when it is missing.
minimal_root_create() {
  local root=$1; shift
  local suite mirror
  suite=$(minimal_root_suite)
  mirror=$(minimal_root_mirror "$suite")
  if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap
  fi
  echo "debootstrap --variant=minbase $* $suite $root $mirror"
  debootstrap --variant=minbase "$@" "$suite" "$root" "$mirror"
  # Name resolution for apt inside the root: the machine's own resolver configuration.
  cat /etc/resolv.conf > "$root/etc/resolv.conf"
}

# Bind-mounts the machine's /proc, /dev and /sys into the root, for work run there with chroot.
minimal_root_mount() {
  local root=$1 directory
  for directory in proc dev sys; do
    mount --rbind "/$directory" "$root/$directory"
    mount --make-rslave "$root/$directory"
  done
}

# The mount points at or below DIRECTORY, deepest first.
minimal_root_mounts_below() {
  awk -v top="$1" '$5 == top || index($5, top "/") == 1 { print $5 }' /proc/self/mountinfo | sort -r
}

# Ends whatever still runs inside DIRECTORY (processes whose root lies there: ours, started by
# chroot), unmounts everything below it and removes it. The removal never crosses into another
# file system, so a mount that could not be undone can never take the machine's /dev with it.
minimal_root_remove() {
  local directory=$1 entry mount
  [ -n "$directory" ] && [ -d "$directory" ] || return 0
  for entry in /proc/[0-9]*; do
    case "$(readlink "$entry/root" 2>/dev/null)" in
      "$directory"/*) kill -KILL "${entry#/proc/}" 2>/dev/null || true ;;
    esac
  done
  for mount in $(minimal_root_mounts_below "$directory"); do
    umount "$mount" 2>/dev/null || umount -l "$mount" 2>/dev/null || true
  done
  if [ -n "$(minimal_root_mounts_below "$directory")" ]; then
    echo "cannot unmount everything below $directory; left in place" >&2
    return 1
  fi
  rm -rf --one-file-system "$directory"
}

# Copies the working tree (tracked and untracked files, not what .gitignore names, such as build
# folders) into DESTINATION.
minimal_root_copy_tree() {
  local destination=$1
  mkdir -p "$destination"
  if git rev-parse --is-inside-work-tree >/dev/null 2>&1; then
    git ls-files -z --cached --others --exclude-standard | tar --null --ignore-failed-read -T - -cf - 2>/dev/null | tar -xf - -C "$destination"
  else
    tar --exclude='./build' --exclude='./build-*' -cf - . | tar -xf - -C "$destination"
  fi
}

# "1 min 23 s" for a number of seconds.
minimal_root_duration() {
  local seconds=$1
  if [ "$seconds" -ge 60 ]; then echo "$((seconds / 60)) min $((seconds % 60)) s"; else echo "$seconds s"; fi
}
