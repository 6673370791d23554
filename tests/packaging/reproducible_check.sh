#!/bin/sh
# Build check: the .deb and the .exe are reproducible. <repo> has built them (make package, make
# windows); this script clones its commit into another folder and builds them there, later, and
#  - both give byte-identical files (their SHA-256 sums are printed);
#  - built again there with SOURCE_DATE_EPOCH set by hand, they differ only in their dates: every
#    archive member and file time of the .deb is that time, the man page's date its day, and the
#    .exe differs only in the PE header's time stamp (that time) and checksum.
# .ci/run runs it once (make check-reproducible), on its own checkout after make package and
# make windows.
#   reproducible_check.sh <repo>
set -eu
# Times as tar and ar list them, in UTC.
export TZ=UTC
repo=$(cd "$1" && pwd)
jobs=${JOBS:-2}
if [ -n "$(git -C "$repo" status --porcelain --untracked-files=no)" ]; then
    echo "reproducible check: $repo has uncommitted changes; a clone of its commit would not be the same source" >&2
    exit 1
fi
deb_a=$(ls "$repo"/build/package/iolink-update_*.deb)
exe_a=$repo/build/windows/iolink-update.exe
[ -f "$deb_a" ] && [ -f "$exe_a" ] || { echo "reproducible check: build $repo first (make package windows)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
clone=$work/another/folder/iolink-update-clone
git clone -q "$repo" "$clone"
git -C "$clone" checkout -q "$(git -C "$repo" rev-parse HEAD)"
# A minute at least between the two builds, so that any time of day would show.
age=$(( $(date +%s) - $(stat -c %Y "$exe_a") ))
[ "$age" -ge 60 ] || sleep $((60 - age))

build() {  # builds the package and the .exe in the clone, with the environment given
    (cd "$clone" && env "$@" make --no-print-directory JOBS="$jobs" package windows) > "$work/build.log" 2>&1 \
        || { cat "$work/build.log" >&2; echo "reproducible check: the build in $clone failed" >&2; exit 1; }
}
failures=0
fail() {
    echo "reproducible check: $*" >&2
    failures=$((failures + 1))
}

build SOURCE_DATE_EPOCH=
deb_b=$(ls "$clone"/build/package/iolink-update_*.deb)
exe_b=$clone/build/windows/iolink-update.exe
echo "reproducible check: $repo and $clone, built $(( $(date +%s) - $(stat -c %Y "$exe_a") )) s apart:"
sha256sum "$deb_a" "$deb_b" "$exe_a" "$exe_b"
cmp -s "$deb_a" "$deb_b" || fail "the .deb files differ"
cmp -s "$exe_a" "$exe_b" || fail "the .exe files differ"

# The same with a time set by hand: 2030-01-02 03:04:05 UTC.
epoch=1893553445
build SOURCE_DATE_EPOCH=$epoch
echo "reproducible check: with SOURCE_DATE_EPOCH=$epoch:"
sha256sum "$deb_b" "$exe_b"
# The .deb: the same files and control data; the man page's .TH date the day; all times the time.
for side in a b; do
    eval "deb=\$deb_$side"
    dpkg-deb -R "$deb" "$work/$side"
    dpkg-deb --fsys-tarfile "$deb" | tar -tv --full-time > "$work/$side.list"
    page=$work/$side/usr/share/man/man1/iolink-update.1.gz
    zcat "$page" > "$work/$side.page"
    rm "$page"
    # The man page's checksum (md5sums) and compressed size follow its date: it is compared
    # unpacked, below.
    grep -v ' usr/share/man/man1/iolink-update.1.gz$' "$work/$side/DEBIAN/md5sums" > "$work/$side.md5sums"
    rm "$work/$side/DEBIAN/md5sums"
    grep -v ' ./usr/share/man/man1/iolink-update.1.gz$' "$work/$side.list" > "$work/$side.listed"
done
cmp -s "$work/a.md5sums" "$work/b.md5sums" || fail "the .deb's checksums differ beyond the man page's"
diff -r "$work/a" "$work/b" > /dev/null || fail "the .deb's files differ beyond their times"
sed -n '1s/^\(\.TH [^ ]* [^ ]* \)\([^ ]*\).*/\2/p' "$work/b.page" | grep -qx 2030-01-02 \
    || fail "the man page's date is not that of SOURCE_DATE_EPOCH"
sed '1s/^\(\.TH [^ ]* [^ ]* \)[^ ]*/\1/' "$work/a.page" > "$work/a.undated"
sed '1s/^\(\.TH [^ ]* [^ ]* \)[^ ]*/\1/' "$work/b.page" > "$work/b.undated"
cmp -s "$work/a.undated" "$work/b.undated" || fail "the man pages differ beyond their date"
awk '{ $4 = ""; $5 = ""; print }' "$work/a.listed" > "$work/a.untimed"
awk '{ $4 = ""; $5 = ""; print }' "$work/b.listed" > "$work/b.untimed"
cmp -s "$work/a.untimed" "$work/b.untimed" || fail "the .deb's file list differs beyond its times"
awk '{ print $4 " " $5 }' "$work/b.list" | sort -u | grep -qvx '2030-01-02 03:04:05' \
    && fail "a file time in the .deb is not SOURCE_DATE_EPOCH's"
ar tv "$deb_b" | grep -qv 'Jan  2 03:04 2030' && fail "an archive member's time is not SOURCE_DATE_EPOCH's"
# The .exe: the bytes that differ are those of the PE header's time stamp and checksum only.
pe=$(od -An -tu4 -j 60 -N 4 "$exe_b" | tr -d ' ')
stamp=$((pe + 8))
checksum=$((pe + 24 + 64))
cmp -l "$exe_a" "$exe_b" > "$work/exe.diff" || true
while read -r offset _ _; do
    at=$((offset - 1))
    if ! { [ "$at" -ge "$stamp" ] && [ "$at" -lt $((stamp + 4)) ]; } \
            && ! { [ "$at" -ge "$checksum" ] && [ "$at" -lt $((checksum + 4)) ]; }; then
        fail "the .exe differs at byte $at, outside the time stamp and checksum"
        break
    fi
done < "$work/exe.diff"
[ "$(od -An -tu4 -j "$stamp" -N 4 "$exe_b" | tr -d ' ')" = "$epoch" ] \
    || fail "the .exe's time stamp is not SOURCE_DATE_EPOCH"

if [ "$failures" -ne 0 ]; then
    echo "reproducible check: $failures failed" >&2
    exit 1
fi
echo "reproducible check: all passed"
