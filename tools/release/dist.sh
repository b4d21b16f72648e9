#!/usr/bin/env bash
# Writes the release into OUTDIR: a zip, a 1.44 MB floppy image and a CD image, each holding
# UnInstall.exe, CAPTURE.BAT, README.TXT and LICENSE.TXT, the zip and the CD also the
# browser's preview.html (built here by the wasm preset, also beside them), and the SHA256SUMS
# of all four. WORKDIR is emptied and holds the files as they go into the images.
#
#     dist.sh EXE VERSION OUTDIR WORKDIR
#
# A release holds what its commit holds. In a git checkout with changes that `git status`
# shows, EXE and the working tree are left aside: the last commit, from `git archive`, is
# built afresh in WORKDIR/commit and its release is this one. Outside a git checkout (a
# source tarball) the files are the release's, and SOURCE_DATE_EPOCH must be set.
#
# The same commit gives the same bytes: every file and entry is dated at the last commit's
# time (or SOURCE_DATE_EPOCH, when set), in UTC, entries go in one fixed order, and the
# floppy's serial number is that time too.
set -euo pipefail
[ $# -eq 4 ] || { echo "usage: dist.sh EXE VERSION OUTDIR WORKDIR" >&2; exit 2; }
exe=$1 version=$2 out=$3 work=$4
src=$(cd "$(dirname "$0")/../.." && pwd -P)
changes=
if [ "$(git -C "$src" rev-parse --show-toplevel 2>/dev/null)" = "$src" ]; then
    : "${SOURCE_DATE_EPOCH:=$(git -C "$src" log -1 --format=%ct)}"
    changes=$(git -C "$src" status --porcelain)
elif [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    echo "dist.sh: no git history here; set SOURCE_DATE_EPOCH to the release's time" >&2
    exit 2
fi
export SOURCE_DATE_EPOCH TZ=UTC LC_ALL=C MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null
# Puts these files in OUTDIR in place of an earlier release's.
publish() { mkdir -p "$out" && rm -f "$out"/usbstor-uninstall-* "$out"/{preview.html,SHA256SUMS} &&
    mv "$@" "$out/"; }
rm -rf "$work"
if [ -n "$changes" ]; then
    commit=$(git -C "$src" rev-parse HEAD)
    echo "dist.sh: $src has changes since its last commit, which stay out of the release;" \
        "building ${commit:0:12} afresh in $work/commit" >&2
    mkdir -p "$work/commit" && git -C "$src" archive "$commit" | tar -x -C "$work/commit"
    (cd "$work/commit" && cmake --workflow --preset release)
    publish "$work/commit/dist/"* && echo "The release of ${commit:0:12} is in $out"
    exit
fi
(cd "$src" && cmake --workflow --preset wasm)
page=$src/build/wasm/preview.html
name=usbstor-uninstall-$version
files=(UnInstall.exe CAPTURE.BAT README.TXT LICENSE.TXT)
# Windows 98's browsers cannot run the page, and the floppy's room is for the capture.
everywhere=("${files[@]}" preview.html)

mkdir -p "$work/files" "$work/out"
cd "$work/files"
# Text for DOS and Windows: CRLF line ends, whatever the checkout has.
crlf() { sed 's/\r*$/\r/' "$@"; }
cp "$exe" UnInstall.exe
crlf "$src/tools/capture.bat" > CAPTURE.BAT
sed "s/@PROJECT_VERSION@/$version/" "$src/tools/release/README.TXT.in" | crlf > README.TXT
crlf "$src/LICENSE" > LICENSE.TXT
cp "$page" preview.html
chmod 644 "${everywhere[@]}"
# FAT and zip keep even seconds (and round odd ones differently): the even second below.
touch -d "@$((SOURCE_DATE_EPOCH & ~1))" "${everywhere[@]}"

# -X: no extra fields (owner, times to the second); the DOS times are the files' own.
zip -X -q "../out/$name.zip" "${everywhere[@]}"

image=../out/$name-floppy.img
mformat -C -i "$image" -f 1440 -v UNINSTALL -N "$(printf %08X $((SOURCE_DATE_EPOCH & 0xFFFFFFFF)))" ::
mcopy -m -i "$image" "${files[@]}" ::

# xorriso takes its volume dates and every file's date from SOURCE_DATE_EPOCH.
xorriso -as mkisofs -quiet -J -r -V "UNINSTALL_${version//./_}" -o "../out/$name-cd.iso" \
    "${everywhere[@]}" 2> ../xorriso.log || { cat ../xorriso.log >&2; exit 1; }

cd ../out
cp -p ../files/preview.html .
sha256sum "$name.zip" "$name-floppy.img" "$name-cd.iso" preview.html > SHA256SUMS
publish "$name.zip" "$name-floppy.img" "$name-cd.iso" preview.html SHA256SUMS
free=$(mdir -i "$out/$name-floppy.img" :: | sed -n 's/^ *\([0-9 ]*\) bytes free$/\1/p' | tr -d ' ')
echo "Release $version written to $out; the floppy has $free bytes free for a capture"
