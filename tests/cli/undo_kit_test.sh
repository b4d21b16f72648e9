#!/usr/bin/env bash
# uninstall-sim --undo: the kit is written beside a machine folder that stays
# as it is; any place but a new or empty folder is refused with exit code 2,
# before the run, and nothing is written.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"

cp -r "$examples/win98" "$work/win98"
kit="$work/kits/win98"
out=$("$sim" --undo "$kit" "$work/win98"); rc=$?
check "kit: exit code 0" test $rc -eq 0
check "kit: the machine folder stays as it is" diff -r "$examples/win98" "$work/win98"
check "kit: the report previews the run" contains "$out" "Removed device USB\\VID_1234&PID_5679\\0001"
check "kit: the report says where and what" contains "$out" \
    "Undo kit written to $kit: undo.reg puts back 19 keys and 0 values, undo.bat copies back 4 files"
check "kit: the driver's earlier bytes" cmp "$examples/win98/drive_c/WINDOWS/system32/drivers/WDMOEM01.sys" \
    "$kit/files/3"
check "kit: undo.bat and README.txt" test -f "$kit/undo.bat" -a -f "$kit/README.txt"
check "kit: nothing left beside it" test "$(ls -A "$work/kits")" = win98
mkdir "$work/empty"
out=$("$sim" --undo "$work/empty" "$work/win98"); rc=$?
check "an empty folder takes a kit" test $rc -eq 0 -a -f "$work/empty/undo.reg"

mkdir -p "$work/full/x" "$work/emptier"
echo x >"$work/file"
ln -s "$work/emptier" "$work/link"
listing() { (cd "$work" && find . -printf '%p %s %y\n' | sort); }
was=$(listing)
refused() { # name, place, expected text
    out=$("$sim" --undo "$2" "$work/win98" 2>&1); rc=$?
    check "$1: exit code 2" test $rc -eq 2
    check "$1: says why" contains "$out" "$3"
    check "$1: runs nothing" test -z "$(grep -F 'Message box' <<<"$out")"
}
refused "a folder with something in it" "$work/full" "full is not empty"
refused "a file" "$work/file" "file is not a folder"
refused "a symbolic link" "$work/link" "link is a symbolic link"
refused "a folder inside the machine" "$work/win98/kit" "inside the machine folder"
refused "a Windows path" 'A:\' "A:\ holds ':' or '\\': give a folder on this computer"
check "refused places: nothing written" test "$was" = "$(listing)"
out=$("$sim" --help 2>/dev/null); rc=$?
check "--help: on stdout, exit code 0" test $rc -eq 0 -a -n "$(grep -F 'usage: uninstall-sim' <<<"$out")"
check "--version" test "$("$sim" --version)" = "uninstall-sim $(sed -n 's/^project(.* VERSION \([0-9.]*\).*/\1/p' \
    "$(dirname "$0")/../../CMakeLists.txt")"
"$sim" --undo >/dev/null 2>&1; rc=$?
check "--undo without a folder: exit code 2" test $rc -eq 2

finish
