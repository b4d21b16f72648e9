#!/usr/bin/env bash
# uninstall-sim end to end: the examples run and are written back; bad input
# is named by file and line, gives exit code 2 and writes nothing.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"

cp -r "$examples/win98" "$work/win98"
out=$("$sim" --dry-run "$work/win98"); rc=$?
check "win98 dry run exits 0" test $rc -eq 0
check "win98 shows the final message" contains "$out" 'Message box " Success!": "UnInstall finished!"'
check "win98 removes the companion product" contains "$out" "Removed product {5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"
check "win98 closes the companion window" contains "$out" 'Closed window "Quorbe"'
check "dry run writes nothing" diff -r "$examples/win98" "$work/win98"

out=$("$sim" "$work/win98"); rc=$?
check "win98 run exits 0" test $rc -eq 0
lacks() { ! grep -qF -- "$2" "$1"; }
check "the removed product is written back" lacks "$work/win98/registry.reg" '{5B0E7A13-2C64'
check "the closed window is written back" lacks "$work/win98/machine.txt" 'window "Quorbe"'
check "the registry keeps the rest" grep -qF 'VID_1234&PID_5678' "$work/win98/registry.reg"
out=$("$sim" "$work/win98"); rc=$?
check "a second run still exits 0" test $rc -eq 0
check "a second run finds no companion window" test -z "$(grep -F 'Closed window' <<<"$out")"

cp -r "$examples/win2000-sp3" "$work/sp3"
out=$("$sim" --trace --dry-run "$work/sp3" 2>"$work/trace"); rc=$?
check "sp3 exits 0" test $rc -eq 0
check "--trace prints every call" grep -qF 'GetVersionExA(size 148) = TRUE' "$work/trace"

# Broken machines: each names file and line, exits 2 and changes nothing.
broken() { # name, file, line to append, expected text
    local dir="$work/$1"
    rm -rf "$dir" && cp -r "$examples/win98" "$dir"
    printf '%s\n' "$3" >>"$dir/$2"
    cp -r "$dir" "$dir.before"
    out=$("$sim" "$dir" 2>&1); rc=$?
    check "$1: exit code 2" test $rc -eq 2
    check "$1: names the problem" contains "$out" "$4"
    check "$1: nothing written" diff -r "$dir.before" "$dir"
}
broken bad-reg registry.reg '"Orphan"=dword:xyz' "registry.reg:"
broken bad-key machine.txt 'colour blue' 'machine.txt:'
rm -rf "$work/nodrive" && cp -r "$examples/win98" "$work/nodrive" && rm -rf "$work/nodrive/drive_c"
out=$("$sim" "$work/nodrive" 2>&1); rc=$?
check "missing drive folder: exit code 2" test $rc -eq 2
check "missing drive folder: named" contains "$out" "drive_c"
out=$("$sim" "$work/none" 2>&1); rc=$?
check "missing machine: exit code 2" test $rc -eq 2

finish
