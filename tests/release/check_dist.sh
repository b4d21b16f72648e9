#!/usr/bin/env bash
# Checks the release in DIST against the sources and against TESTED_EXE, the UnInstall.exe
# that the Wine tests ran, then builds the release once more from a copy of the sources in
# another folder and compares the SHA256SUMS.
#
#     check_dist.sh DIST TESTED_EXE
set -euo pipefail
[ $# -eq 2 ] || { echo "usage: check_dist.sh DIST TESTED_EXE" >&2; exit 2; }
dist=$(cd "$1" && pwd) tested=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
src=$(cd "$(dirname "$0")/../.." && pwd)
export TZ=UTC LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
version=$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\) .*/\1/p' "$src/CMakeLists.txt")
name=usbstor-uninstall-$version
zip=$dist/$name.zip img=$dist/$name-floppy.img iso=$dist/$name-cd.iso
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
same() { [ "$1" = "$2" ] || fail "$3: $(printf '%s' "$1" | tr '\n' ' ') instead of $(printf '%s' "$2" | tr '\n' ' ')"; }

# What each image must hold: the tested exe and the sources' text with CRLF line ends.
mkdir "$work/expected"
cp "$tested" "$work/expected/UnInstall.exe"
sed 's/\r*$/\r/' "$src/tools/capture.bat" > "$work/expected/CAPTURE.BAT"
sed "s/@PROJECT_VERSION@/$version/;s/\r*$/\r/" "$src/tools/release/README.TXT.in" \
    > "$work/expected/README.TXT"
sed 's/\r*$/\r/' "$src/LICENSE" > "$work/expected/LICENSE.TXT"
names=$(printf '%s\n' UnInstall.exe CAPTURE.BAT README.TXT LICENSE.TXT)
for f in README.TXT LICENSE.TXT; do
    LC_ALL=C grep -q '[^ -~'$'\r'']' "$work/expected/$f" && fail "$f is not plain ASCII"
done

same "$(cd "$dist" && ls)" "$(printf '%s\n' SHA256SUMS "$name-cd.iso" "$name-floppy.img" "$name.zip")" \
    "dist/ holds"
(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"

same "$(stat -c %s "$img")" 1474560 "the floppy image's size"
fsck=$(fsck.vfat -n "$img" 2>&1) || fail "fsck.vfat -n: $fsck"
[ "$(wc -l <<< "$fsck")" -eq 2 ] || fail "fsck.vfat -n complains: $fsck"
same "$(mdir -b -i "$img" :: | sed 's|^::/||')" "$names" "the floppy lists"
mkdir "$work/floppy" && mcopy -n -m -i "$img" '::*' "$work/floppy/"
same "$(unzip -Z1 "$zip")" "$names" "the zip lists"
mkdir "$work/zip" && unzip -q "$zip" -d "$work/zip"
same "$(xorriso -rockridge off -indev "$iso" -find / -type f 2>/dev/null | tr -d "'/")" \
    "$(sort <<< "$names")" "the CD's Joliet names"
xorriso -osirrox on -indev "$iso" -extract / "$work/cd" 2>/dev/null
# Every file dated at the last commit, to FAT's and zip's even second.
epoch=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)}
for image in floppy zip cd; do
    diff -r "$work/expected" "$work/$image" > /dev/null || fail "the $image's files differ from the build's"
    for f in "$work/$image"/*; do
        off=$((epoch - $(stat -c %Y "$f")))
        [ "${off#-}" -le 1 ] ||
            fail "the $image's $(basename "$f") is dated $(date -d "@$(stat -c %Y "$f")"), not at the commit"
    done
done
[ $failures -eq 0 ] && echo "dist/ holds the files of the build; its UnInstall.exe is the tested one:" \
    "$(sha256sum < "$tested" | cut -c1-16)"
mdir -i "$img" ::

# The same sources elsewhere, without their git history, dated at the same commit.
mkdir "$work/again"
(cd "$src" && git ls-files -co --exclude-standard -z | xargs -0 cp --parents -t "$work/again")
(cd "$work/again" && SOURCE_DATE_EPOCH=$epoch cmake --workflow --preset release > build.log 2>&1) ||
    { cat "$work/again/build.log"; fail "the second release build failed"; }
cmp -s "$dist/SHA256SUMS" "$work/again/dist/SHA256SUMS" ||
    fail "a second build in another folder gave other bytes: $(cat "$work/again/dist/SHA256SUMS")"
[ $failures -eq 0 ] && echo "A second build in another folder gave the same SHA256SUMS: pass" ||
    { echo "$failures checks failed"; exit 1; }
