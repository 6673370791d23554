#!/bin/sh
# Build check of the .deb files under Debian 13's own tools, in a Debian 13 root
# (packaging/debian13_root.sh): lintian --pedantic is clean (the overrides at the package's
# paths); and, for a package of the root's architecture, dpkg -i installs it, dpkg -S knows the
# udev rule under /usr/lib/udev/rules.d, the program runs, and dpkg -r removes every file.
#   debian13_check.sh <root> <package.deb>...
set -eu
root=$1
shift
arch=$(chroot "$root" dpkg --print-architecture)
status=0
for deb in "$@"; do
    name=$(basename "$deb")
    cp "$deb" "$root/tmp/$name"
    if chroot "$root" lintian --pedantic --fail-on error,warning,pedantic "/tmp/$name" \
            > "$root/tmp/lintian.log" 2>&1; then
        echo "debian13 check: lintian $(chroot "$root" lintian --print-version) finds nothing in $name"
    else
        grep -v 'running with root privileges' "$root/tmp/lintian.log" >&2 || true
        echo "debian13 check: lintian of Debian 13 reports $name" >&2
        status=1
    fi
    if [ "$(dpkg-deb -f "$deb" Architecture)" = "$arch" ]; then
        rule=/usr/lib/udev/rules.d/70-iolink-update.rules
        if chroot "$root" dpkg -i "/tmp/$name" > /dev/null \
                && chroot "$root" dpkg -S "$rule" | grep -q '^iolink-update: ' \
                && chroot "$root" iolink-update "-?" | head -n 1 | grep -q 'Firmware Updater$' \
                && chroot "$root" dpkg -r iolink-update > /dev/null \
                && [ ! -e "$root$rule" ] && [ ! -e "$root/usr/bin/iolink-update" ]; then
            echo "debian13 check: $name installs (dpkg -S: $rule), runs and is removed"
        else
            echo "debian13 check: $name does not install, run and go away cleanly under Debian 13" >&2
            chroot "$root" dpkg --purge iolink-update > /dev/null 2>&1 || true
            status=1
        fi
    fi
    rm -f "$root/tmp/$name"
done
exit $status
