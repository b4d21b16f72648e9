#!/usr/bin/env bash
# One capture, whichever road it takes: as a folder, on a floppy image or in a
# zip, every example capture gives the same report (but the line that says
# where it was read from) and byte for byte the same kit, as a folder, an
# image and a zip. Skipped (77) without mtools and Info-ZIP.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"
command -v mformat >/dev/null && command -v zip >/dev/null || { echo "no mtools or zip"; exit 77; }
export MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null TZ=UTC

# The roads, each a command that puts the capture $1 at $2 the way it comes to us.
folder() { cp -r "$1" "$2"; }
floppy() { # as capture.bat leaves a floppy: beside other files, its copies as attrib.txt records them
    mformat -C -i "$2" -f 1440 -v UNINSTALL :: && mmd -i "$2" ::CAPTURE && mcopy -s -m -i "$2" "$1"/* ::CAPTURE &&
        mcopy -i "$2" "$1/ver.txt" ::README.TXT || return 1
    tr -d '\r' <"$1/attrib.txt" | while IFS= read -r line; do
        local flags=${line%%C:*} path=${line#*C:\\*\\} set="" f
        for f in a s h r; do [[ $flags == *${f^^}* ]] && set+=" +$f" || set+=" -$f"; done
        mattrib -i "$2" $set "::CAPTURE/windir/${path//\\//}" 2>/dev/null
    done
}
plain_floppy() { # mtools' own bits: no read-only, whatever attrib.txt says
    mformat -C -i "$2" -f 1440 :: && mcopy -s -m -i "$2" "$1"/* ::
}
zipped() { (cd "$(dirname "$1")" && zip -qr "$2" "$(basename "$1")"); }
ROADS=(
    # name        command       input name
    "folder       folder        capture"
    "floppy       floppy        capture.img"
    "plain-floppy plain_floppy  plain.img"
    "zip          zipped        capture.zip"
)

# Where it was read from, and its name, are all a road may change in a report.
same() { sed -e "s|$1|INPUT|g" -e '/^Read from /d' -e '/^Undo kit written /d' <<<"$2"; }
json() { jq -S --arg in "$1" 'del(.input, .kit.path) | .notes |= map(select(.kind != "read-from"))' <<<"$2"; }
for capture in "$examples"/captures/*; do
    name=$(basename "$capture") at="$work/$name"
    mkdir -p "$at" && cp -r "$capture" "$at/source"
    # A floppy keeps times to the even second, as FAT does: the folder too, so that all agree.
    find "$at/source" -type f | while IFS= read -r f; do touch -d "@$(($(stat -c %Y "$f") & ~1))" "$f"; done
    for road in "${ROADS[@]}"; do
        read -r road make input <<<"$road"
        mkdir "$at/$road" && cp -a "$at/source" "$at/$road/capture"
        [ "$input" = capture ] || "$make" "$at/$road/capture" "$at/$road/$input"
        in="$at/$road/$input"
        report=$("$sim" --undo "$at/$road/kit" "$in" 2>&1); rc=$?
        "$sim" --undo "$at/$road/kit.img" "$in" >/dev/null 2>&1 &&
            "$sim" --undo "$at/$road/kit.zip" "$in" >/dev/null 2>&1 &&
            "$sim" --json "$in" >"$at/$road/json" 2>&1
        check "$name by $road: exit 0, read from where it was" test $rc -eq 0 -a \
            \( "$road" = folder -o -n "$(grep '^Read from ' <<<"$report")" \)
        [ "$road" = folder ] && {
            base=$report
            check "$name: its JSON is a report" jq -e '.version == 1 and (.changes | length) > 0' "$at/folder/json"
            continue
        }
        text=$(same "$in" "$report")
        [ "$road" = plain-floppy ] && {
            check "$name by $road: the entries' other attributes are a note" \
                contains "$text" "attrib.txt, the machine's record, is taken"
            text=$(grep -v "attrib.txt, the machine's record, is taken" <<<"$text")
        }
        check "$name by $road: the report is the folder's" diff <(same "$at/folder/capture" "$base") \
            <(echo "$text")
        check "$name by $road: the same JSON" diff <(json "$at/folder/capture" "$(cat "$at/folder/json")") \
            <(json "$in" "$(cat "$at/$road/json")" | if [ "$road" = plain-floppy ]; then
                jq -S '.notes |= map(select(.kind != "attributes-differ"))'; else cat; fi)
        for kit in kit.img kit.zip; do
            check "$name by $road: $kit, byte for byte" cmp "$at/folder/$kit" "$at/$road/$kit"
        done
        check "$name by $road: the kit folder, bytes" diff -r "$at/folder/kit" "$at/$road/kit"
        check "$name by $road: the kit folder, dates" diff \
            <(cd "$at/folder/kit" && find . -mindepth 1 -printf '%P %T@\n' | sort) \
            <(cd "$at/$road/kit" && find . -mindepth 1 -printf '%P %T@\n' | sort)
    done
done
finish
