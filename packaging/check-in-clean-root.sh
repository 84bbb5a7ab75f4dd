#!/usr/bin/env bash
# check-in-clean-root.sh DEB [MIRROR]
# By hand, as root, with network access to a Debian mirror: installs the package into a fresh
# minimal Debian bookworm root (debootstrap, then apt inside a chroot, which pulls in the
# computed dependencies) and runs the installed tool, its man page and its completion there.
# Needs the package debootstrap here; man-db and bash-completion are installed into the root.
# The root is removed after.
set -euo pipefail
deb=$(realpath "$1")
mirror=${2-}  # debootstrap's own default mirror when not given
name=$(basename "$deb")

root=$(mktemp -d /tmp/quenvistrelctl-root.XXXXXX)
chmod 755 "$root"  # apt and man drop to their own users inside
cleanup() { umount "$root/proc" 2>/dev/null || true; rm -rf "$root"; }
trap cleanup EXIT

debootstrap --variant=minbase bookworm "$root" ${mirror:+"$mirror"} >"$root.log" 2>&1 ||
  { tail -n 20 "$root.log" >&2; exit 1; }
rm -f "$root.log"
mount -t proc proc "$root/proc"
cp "$deb" "$root/tmp/$name"
in_root() { chroot "$root" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 "$@"; }

in_root apt-get update -qq
in_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  "/tmp/$name" man-db bash-completion >/dev/null
in_root dpkg -s quenvistrelctl | grep -E '^(Status|Version|Depends):'
in_root quenvistrelctl --version
in_root sh -c 'cd /tmp && quenvistrelctl summary'
in_root sh -c 'MANWIDTH=80 man quenvistrelctl >/tmp/page.txt && head -n 4 /tmp/page.txt'
# The loader answers 124 ("try again") once it has loaded a completion.
in_root bash -c 'source /usr/share/bash-completion/bash_completion
  _completion_loader quenvistrelctl; complete -p quenvistrelctl &&
  COMP_WORDS=(quenvistrelctl alert-) COMP_CWORD=1 && _quenvistrelctl && echo "${COMPREPLY[*]}"'
echo "check-in-clean-root: $name installs and runs on a clean bookworm root"
