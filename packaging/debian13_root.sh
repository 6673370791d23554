#!/bin/sh
# Makes a Debian 13 (trixie) root in <dir> with lintian and qemu-user, unless <dir> already holds
# a complete one: `make lint-package-debian13` runs Debian 13's lintian and dpkg in it, and
# `make test-cross` runs its qemu-user (static programs that run on this machine too), whose
# translation of terminal settings knows the master's 921600 baud; Debian 12's qemu 7.2 drops
# that speed, so the updater cannot set the port up under it.
#   debian13_root.sh <dir>
set -eu
root=$1
done_marker="$root/.iolink-update-root"
if [ -f "$done_marker" ]; then
    exit 0
fi
rm -rf "$root"
mkdir -p "$(dirname "$root")"
echo "Making a Debian 13 root with lintian and qemu-user in $root (a few minutes, once)"
if ! mmdebstrap --variant=apt --include=lintian,qemu-user trixie "$root" > "$root.log" 2>&1; then
    cat "$root.log" >&2
    echo "iolink-update: mmdebstrap could not make the Debian 13 root in $root (the log is above)" >&2
    rm -rf "$root"
    exit 1
fi
date -u > "$done_marker"
