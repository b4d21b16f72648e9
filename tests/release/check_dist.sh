#!/usr/bin/env bash
# Checks the release in DIST: the floppy with fsck.vfat, each image's listing and bytes
# against HEAD's files, TESTED_EXE (the UnInstall.exe the Wine tests ran) and TESTED_PAGE (the
# preview.html the browser test ran), and a second build from an unclean clone of HEAD in
# another folder, which must give the same SHA256SUMS.
#     check_dist.sh DIST TESTED_EXE TESTED_PAGE
set -euo pipefail
dist=$(cd "$1" && pwd) tested=$(realpath "$2") page=$(realpath "$3")
src=$(cd "$(dirname "$0")/../.." && pwd) && commit=$(git -C "$src" rev-parse HEAD)
show() { git -C "$src" show "$commit:$1"; }
export TZ=UTC MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
name=usbstor-uninstall-$(sed -n 's/^project([A-Za-z]* VERSION \([0-9.]*\) .*/\1/p' <(show CMakeLists.txt))
work=$(mktemp -d) && trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" && failures=$((failures + 1)); }

# What every image must hold: the tested exe, and the sources' text with CRLF line ends.
mkdir "$work/expected" "$work/floppy" && cp "$tested" "$work/expected/UnInstall.exe"
crlf() { show "$1" | sed "s/@PROJECT_VERSION@/${name##*-}/;s/\r*$/\r/" >"$work/expected/$2"; }
crlf tools/capture.bat CAPTURE.BAT && crlf LICENSE LICENSE.TXT &&
    crlf tools/release/README.TXT.in README.TXT
names=$(printf '%s\n' UnInstall.exe CAPTURE.BAT README.TXT LICENSE.TXT)
# The zip and the CD hold the page too; the floppy does not.
cp -r "$work/expected" "$work/expected-zip" && cp "$page" "$work/expected-zip/preview.html"
cp -r "$work/expected-zip" "$work/expected-cd" && all=$(printf '%s\n' "$names" preview.html)
cmp -s "$page" "$dist/preview.html" || fail "dist/preview.html is not the tested page"

(cd "$dist" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match dist/"
fsck=$(fsck.vfat -n "$dist/$name-floppy.img" 2>&1) && [ "$(wc -l <<<"$fsck")" -eq 2 ] ||
    fail "fsck.vfat -n: $fsck"
[ "$(mdir -b -i "$dist/$name-floppy.img" :: | sed 's|^::/||')" = "$names" ] || fail "mdir lists otherwise"
[ "$(unzip -Z1 "$dist/$name.zip")" = "$all" ] || fail "the zip lists otherwise"
[ "$(xorriso -rockridge off -indev "$dist/$name-cd.iso" -find / -type f 2>/dev/null | tr -d "'/")" = \
    "$(sort <<<"$all")" ] || fail "the CD's Joliet names are otherwise"
mcopy -n -i "$dist/$name-floppy.img" '::*' "$work/floppy/"
unzip -q "$dist/$name.zip" -d "$work/zip"
xorriso -osirrox on -indev "$dist/$name-cd.iso" -extract / "$work/cd" 2>/dev/null
for image in floppy zip cd; do
    expected=$work/expected-$image && [ -d "$expected" ] || expected=$work/expected
    diff -r "$expected" "$work/$image" >/dev/null || fail "the $image's files are not the build's"
done
[ $failures -eq 0 ] && echo "The floppy, the zip and the CD hold the build's files, the tested" \
    "UnInstall.exe ($(sha256sum <"$tested" | cut -c1-16)) and preview.html" &&
    mdir -i "$dist/$name-floppy.img" ::

git clone -q -n "$src" "$work/again" && git -C "$work/again" checkout -q --detach "$commit" &&
    echo "rem not committed" >>"$work/again/tools/capture.bat"
(cd "$work/again" && SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$src" log -1 --format=%ct)} \
    cmake --workflow --preset release >build.log 2>&1) || fail "the second build: $(tail "$work/again/build.log")"
cmp -s "$dist/SHA256SUMS" "$work/again/dist/SHA256SUMS" || fail "a second build gave other bytes"
[ $failures -eq 0 ] && echo "A clone with an uncommitted line in tools/capture.bat gave the" \
    "same SHA256SUMS" ||
    { echo "$failures checks failed" && exit 1; }
