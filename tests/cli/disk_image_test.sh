#!/usr/bin/env bash
# Disk images against mtools and dosfstools, the independent readers and
# writers: images mtools made are read as mdir and mattrib show them, every
# kit image passes fsck.vfat and unpacks to the folder kit, and hostile
# images are refused. Skipped (77) without mtools.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"
command -v mformat >/dev/null && command -v fsck.vfat >/dev/null || { echo "no mtools"; exit 77; }
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC
clean() { local out; out=$(fsck.vfat -n "$1" 2>&1) && [ "$(wc -l <<<"$out")" -eq 2 ]; }
listing() { (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/\n' \) -o -printf '%P %s %T@\n' | sort); }
attributes() { # image, its drive_c unpacked: machine.txt's lines for mattrib's flags (archive only
    # is a file's default and has none)
    mattrib -/ -i "$1" ::drive_c | while IFS= read -r line; do
        local flags=${line:0:12} path=${line:13} words=""
        path=${path#::/drive_c/}
        [ -f "$2/$path" ] || continue
        [ "${flags:7:1}" = R ] && words+=" readonly"
        [ "${flags:6:1}" = H ] && words+=" hidden"
        [ "${flags:5:1}" = S ] && words+=" system"
        [ "${flags:2:1}" = A ] && words+=" archive"
        words=${words# }
        [ "$words" = archive ] || echo "attributes \"C:\\${path//\//\\}\" ${words:-normal}"
    done | sort
}

# A machine folder on each format, with long names, folders, attributes and dates.
machine="$work/machine"
cp -r "$examples/winxp" "$machine"
sed -i '/^attributes /d' "$machine/machine.txt" # the entries' own bits count only then
mkdir -p "$machine/drive_c/Program Files/A folder with a long name"
echo text > "$machine/drive_c/Program Files/A folder with a long name/Ünïcode name.txt"
head -c 5000 /dev/zero | tr '\0' x > "$machine/drive_c/BIG.BIN"
touch -d "1999-12-31 23:59:58" "$machine/drive_c/BIG.BIN"
touch -d "2004-02-29 12:00:00" "$machine/drive_c/WINDOWS/inf/usbstor.inf"
for format in "1440:-f 1440" "720:-f 720" "2880:-f 2880" "fat16:-T 32768 -h 4 -s 32"; do
    name=${format%%:*} img="$work/${format%%:*}.img"
    mformat -C -i "$img" ${format#*:} -v MTOOLS :: && mcopy -s -m -i "$img" "$machine"/* ::
    mattrib -i "$img" +r +h +s ::drive_c/BIG.BIN && mattrib -i "$img" -a ::drive_c/WINDOWS/inf/usbstor.inf
    cp "$img" "$img.before"
    out=$("$sim" --result "$work/$name.out" "$img" 2>&1); rc=$?
    check "$name: a disk image is only previewed" test $rc -eq 0 -a "$(head -1 <<<"$out")" = \
        "$img is a disk image, which is never written: only previewed, as with --dry-run"
    check "$name: the image stays as it was" cmp -s "$img" "$img.before"
    mcopy -s -m -i "$img" ::drive_c "$work/$name.mcopy"
    check "$name: names, bytes and dates as mcopy unpacks them" \
        diff <(listing "$work/$name.mcopy") <(listing "$work/$name.out/drive_c")
    check "$name: attributes as mattrib shows them" diff <(attributes "$img" "$work/$name.mcopy") \
        <(grep "^attributes " "$work/$name.out/machine.txt" | sort)
done

# Every example capture's kit image, against the independent reader: clean for
# fsck.vfat, and mcopy unpacks it to the folder kit. (That every road to a
# capture gives the same kit is three_roads_test.sh's.)
for example in "$examples"/captures/*; do
    name=$(basename "$example") capture="$work/$(basename "$example")-capture"
    cp -r "$example" "$capture" # with FAT's even seconds, which a floppy keeps
    find "$capture" -type f | while IFS= read -r f; do touch -d "@$(($(stat -c %Y "$f") & ~1))" "$f"; done
    "$sim" --undo "$work/$name-kit.img" "$capture" >/dev/null 2>&1 &&
        "$sim" --undo "$work/$name-kit" "$capture" >/dev/null 2>&1
    check "$name: fsck.vfat -n finds its kit image clean" clean "$work/$name-kit.img"
    mcopy -s -m -i "$work/$name-kit.img" '::*' "$(mkdir "$work/$name-unpacked" && echo "$work/$name-unpacked")"
    check "$name: it unpacks to the folder kit's names, bytes and dates" \
        diff <(listing "$work/$name-unpacked") <(listing "$work/$name-kit")
    check "$name: with the same bytes" diff -r "$work/$name-unpacked" "$work/$name-kit"
done
out=$("$sim" --undo "$work/win98-kit.img" "$work/win98-capture" 2>&1)
check "an existing image is not overwritten" contains "$out" "win98-kit.img exists"

# A kit too large for a floppy is refused, by how much, and nothing is written.
big="$work/big"
cp -r "$examples/win2000-sp4" "$big"
head -c 2000000 /dev/zero >> "$big/drive_c/WINNT/inf/usbstor.inf"
out=$("$sim" --undo "$work/big.img" "$big" 2>&1); rc=$?
check "a kit too large: refused, by how much, nothing written" test $rc -eq 2 -a ! -e "$work/big.img"
check "and the folder form offered" contains "$out" \
    "bytes more than a 1.44 MB floppy holds; write it as a folder instead (--undo KIT)"

# Hostile images: a FAT12 floppy with A.TXT (clusters 2-4), B.TXT (5), D (6) and D\E (7).
base="$work/base.img"
head -c 1500 /dev/zero | tr '\0' a >"$work/A.TXT" && head -c 100 /dev/zero | tr '\0' b >"$work/B.TXT"
mformat -C -i "$base" -f 1440 :: && mcopy -i "$base" "$work/A.TXT" "$work/B.TXT" :: && mmd -i "$base" ::D ::D/E
entry() { grep -obUaP "$1" "$base" | head -1 | cut -d: -f1; } # the directory entry of an 8.3 name
A=$(entry 'A       TXT') B=$(entry 'B       TXT') E=$(entry 'E          ')
put() { # image offset bytes value
    local v=$4 i
    for ((i = 0; i < $3; i++)); do printf "\\x$(printf %02x $(((v >> (8 * i)) & 255)))"; done |
        dd of="$1" bs=1 seek="$2" conv=notrunc 2>/dev/null
}
fat() { # image cluster value, in both FATs
    local at=$(($2 * 3 / 2)) copy word
    for copy in 512 5120; do
        word=$(od -An -tu2 -j $((copy + at)) -N2 "$1")
        word=$(($2 & 1 ? (word & 0x000F) | ($3 << 4) : (word & 0xF000) | $3))
        put "$1" $((copy + at)) 2 $word
    done
}
hostile() { # name, expected message, commands on $img
    local img="$work/$1.img"
    cp "$base" "$img" && eval "$3"
    out=$("$sim" --undo "$work/$1-kit" "$img" 2>&1); rc=$?
    check "$1: exit 2, nothing written, says: $2" test $rc -eq 2 -a ! -e "$work/$1-kit" -a \
        -n "$(grep -F -- "$2" <<<"$out")"
    echo "    $out"
}
hostile loop '\A.TXT: its FAT chain loops (at cluster 2)' 'fat "$img" 4 2'
hostile past-volume '\A.TXT: its FAT chain runs past the volume (cluster 3840)' 'fat "$img" 3 0xF00'
hostile past-size '\A.TXT: its FAT chain runs past its size of 600 bytes' 'put "$img" $((A + 28)) 4 600'
hostile cross-linked '\B.TXT and \A.TXT are cross-linked: both hold cluster 3' 'put "$img" $((B + 26)) 2 3'
hostile inside-itself '\D\E: a folder that contains itself' 'put "$img" $((E + 26)) 2 6'
hostile sector-size 'a sector size of 500 bytes' 'put "$img" 11 2 500'
hostile cluster-size 'clusters of 3 sectors' 'put "$img" 13 1 3'
hostile reserved 'no reserved sector' 'put "$img" 14 2 0'
hostile fat-count '0 FATs' 'put "$img" 16 1 0'
hostile root-entries '17 root folder entries' 'put "$img" 17 2 17'
hostile total-sectors '0 sectors in all' 'put "$img" 19 2 0'
hostile truncated 'the image is truncated: 1000000 bytes, where its boot sector says 1474560' \
    'truncate -s 1000000 "$img"'
hostile device-name '\CON.TXT: a reserved device name, which Windows cannot hold' \
    'printf "CON     TXT" | dd of="$img" bs=1 seek=$B conv=notrunc 2>/dev/null &&
        echo REGEDIT4 >"$work/registry.reg" && mcopy -i "$img" "$work/registry.reg" ::'
hostile no-machine 'no machine or capture on the image' ':'
finish
