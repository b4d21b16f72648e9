#!/usr/bin/env bash
# Limits before work, and clean surroundings: every road is held to the same
# bounds before anything is copied or inflated, a refusal is exit code 2 with
# a sentence that names the input and never our temporary folder, a kit is
# never written into the machine it is made from, and our temporary folders
# go however the run ends.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC
tmp="$work/tmp" && mkdir "$tmp"
cp -r "$examples/captures/win98" "$work/cap"
(cd "$work" && zip -qr cap.zip cap)
# A zip of four small entries whose central directory says 1 GiB each.
/usr/bin/env python3 - "$work/bomb.zip" <<'EOF'
import struct, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for i in range(4):
        z.writestr("cap/part%d" % i, b"\0" * 1000)
b = bytearray(open(sys.argv[1], "rb").read())
at = b.find(b"PK\x01\x02")
while at >= 0:
    struct.pack_into("<I", b, at + 24, 1 << 30)
    at = b.find(b"PK\x01\x02", at + 4)
open(sys.argv[1], "wb").write(b)
EOF
truncate -s 33M "$work/big.img"
mkdir -p "$work/--version" && cp -r "$examples/captures/win98/." "$work/--version"
echo x >"$work/afile"

LIMITS=(
    # name | environment | arguments | expected on stderr (exit 2)
    "zip bomb|TMPDIR=$tmp|--dry-run $work/bomb.zip|would unpack to 4294967296 bytes"
    "image too large|TMPDIR=$tmp|--dry-run $work/big.img|a disk image of 34603008 bytes: more than 32 MiB"
    "no TMPDIR|TMPDIR=$work/none|--dry-run $work/cap.zip|the temporary folder $work/none (TMPDIR) is not there"
    "TMPDIR a file|TMPDIR=$work/afile|--dry-run $work/cap.zip|set TMPDIR to a folder this user can write"
    "kit image inside the capture|TMPDIR=$tmp|--undo $work/cap/kit.img $work/cap|is inside the machine folder"
    "kit zip inside its windir|TMPDIR=$tmp|--undo $work/cap/windir/KIT.ZIP $work/cap|is inside the machine folder"
)
for row in "${LIMITS[@]}"; do
    IFS='|' read -r name env args expected <<<"$row"
    out=$(env "$env" "$sim" $args 2>&1 >/dev/null); rc=$?
    check "$name: exit 2, says: $expected" test $rc -eq 2 -a -n "$(grep -F -- "$expected" <<<"$out")"
    check "$name: nothing left in the temporary folder or the capture" \
        test -z "$(ls -A "$tmp")" -a ! -e "$work/cap/kit.img" -a ! -e "$work/cap/windir/KIT.ZIP"
done

# A folder named like an option is a folder after --.
out=$(TMPDIR=$tmp "$sim" --dry-run -- "$work/--version" 2>&1); rc=$?
check "-- then a folder named --version: read as a folder" test $rc -eq 0 -a -n "$(grep -F 'Machine ' <<<"$out")"

# A fault inside a zip names the path inside it, never where it was unpacked.
cp -r "$work/cap" "$work/bad" && printf 'REGEDIT4\r\n[HKEY_LOCAL_MACHINE\\x\r\n' >"$work/bad/registry.reg"
(cd "$work" && zip -qr bad.zip bad)
out=$(TMPDIR=$tmp "$sim" --dry-run "$work/bad.zip" 2>&1); rc=$?
check "a bad line in a zip: named inside it" test $rc -eq 2 -a -n "$(grep -F "$work/bad.zip:bad/registry.reg" <<<"$out")" \
    -a -z "$(grep -F "$tmp" <<<"$out")"

# A folder's faults name it as it was given, a trailing slash too.
out=$(cd "$work" && TMPDIR=$tmp timeout 20 "$sim" --dry-run bad/ 2>&1); rc=$?
check "a bad line in a folder given as bad/: named as given" test $rc -eq 2 -a \
    -n "$(grep -F "uninstall-sim: bad/registry.reg:2: " <<<"$out")"

# SIGTERM, SIGINT and SIGHUP in the middle of a run leave no temporary folder behind.
mformat -C -i "$work/fat16.img" -T 65000 -h 4 -s 32 :: && mcopy -s -m -i "$work/fat16.img" "$work/cap"/* :: &&
    head -c 30000000 /dev/urandom >"$work/noise" && mcopy -i "$work/fat16.img" "$work/noise" ::NOISE.BIN
for signal in TERM INT HUP; do
    TMPDIR=$tmp "$sim" --dry-run "$work/fat16.img" >/dev/null 2>&1 &
    pid=$!
    for _ in $(seq 100); do [ -n "$(ls -A "$tmp")" ] && break; sleep 0.01; done
    kill -$signal $pid
    wait $pid; rc=$?
    check "SIG$signal: the run ends by it and its temporary folder is gone" \
        test $rc -ne 0 -a -z "$(ls -A "$tmp")"
done
finish
