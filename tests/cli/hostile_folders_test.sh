#!/usr/bin/env bash
# uninstall-sim on machine folders from elsewhere: links, special files and
# names Windows can't hold are refused up front (path named, exit code 2,
# nothing written), nothing outside the folder is touched, and what the
# folder holds reaches the terminal only as printable text.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"
# Kind, size, time and content of everything in a folder, without following links.
state() {
    (cd "$1" && find . -printf '%p %y %s %T@ %l\n' | sort &&
        find . -type f -exec sha256sum {} + | sort)
}

# A canary outside every machine folder, where a link can lead.
outside="$work/outside"
mkdir -p "$outside/drivers"
echo canary >"$outside/drivers/WDMOEM01.sys"
echo canary >"$outside/usbstor.inf"
touch -d 2001-01-01 "$outside/drivers/WDMOEM01.sys" "$outside/usbstor.inf"
canary=$(state "$outside")

refused() { # name, example, expected text, command that spoils the folder (run inside it)
    local dir="$work/$1"
    rm -rf "$dir" && cp -r "$examples/$2" "$dir"
    (cd "$dir" && eval "$4")
    local before
    before=$(state "$dir")
    out=$("$sim" "$dir" 2>&1)
    rc=$?
    check "$1: exit code 2" test $rc -eq 2
    check "$1: names it" contains "$out" "$3"
    check "$1: nothing written" test "$before" = "$(state "$dir")"
    check "$1: nothing outside touched" test "$canary" = "$(state "$outside")"
    check "$1: nothing left beside it" test -z "$(ls -A "$work" | grep saving)"
}

W98=drive_c/WINDOWS
refused dir-link win98 "drivers: refused: a symbolic link" \
    "rm -r $W98/system32/drivers && ln -s '$outside/drivers' $W98/system32/drivers"
refused relative-file-link win2000-sp4 "usbstor.inf: refused: a symbolic link" \
    "rm drive_c/WINNT/inf/usbstor.inf && ln -s ../../../../outside/usbstor.inf drive_c/WINNT/inf/usbstor.inf"
refused registry-link win98 "registry.reg: refused: a symbolic link" \
    "mv registry.reg ../registry-elsewhere.reg && ln -s ../registry-elsewhere.reg registry.reg"
refused dangling-link win98 "gone: refused: a symbolic link" "ln -s nowhere $W98/gone"
refused looping-link win98 "loop: refused: a symbolic link" "ln -s loop $W98/loop"
refused hard-link win2000-sp4 "usbstor.inf: refused: a file with another name" \
    "rm drive_c/WINNT/inf/usbstor.inf && ln '$outside/usbstor.inf' drive_c/WINNT/inf/usbstor.inf"
refused fifo win98 "pipe: refused: a FIFO" "mkfifo $W98/pipe"
refused socket win98 "sock: refused: a socket" \
    "python3 -c 'import socket; socket.socket(socket.AF_UNIX).bind(\"$W98/sock\")'"
if mknod "$work/probe-device" c 1 3 2>/dev/null; then
    refused device win98 "null: refused: a device file" "mknod $W98/null c 1 3"
fi
refused reserved-name win98 "AUX.inf: refused: a reserved device name" "touch $W98/inf/AUX.inf"
refused forbidden-character win98 "refused: a name with a character Windows forbids" \
    "touch '$W98/inf/a:b'"
refused trailing-dot win98 "refused: a name ending in a dot" "touch $W98/inf/x."
refused case-twins win98 "only in case" "touch $W98/inf/usboem01.INF $W98/inf/USBOEM01.inf"
refused too-deep win98 "refused: folders more than 511 deep" \
    "mkdir -p $W98/\$(printf 'd/%.0s' \$(seq 520))"
refused too-large win98 "refused: more than 1024 MiB in all" "truncate -s 1025M $W98/big.bin"
refused too-many win98 "refused: more than 65536 files and folders in all" \
    "mkdir $W98/many && (cd $W98/many && seq 65600 | xargs touch)"

# Terminal escapes in a device description are shown escaped; Latin-1 stays readable.
dir="$work/escapes"
cp -r "$examples/win98" "$dir"
sed -i 's/^"DeviceDesc"="USB Card Reader"/"DeviceDesc"="USB Card \x1b]0;owned\x07\x1b[31mReader \xe9t\xe9"/' \
    "$dir/registry.reg"
out=$("$sim" --trace --dry-run "$dir" 2>&1)
check "escapes: the run goes on" contains "$out" "Exit code 0"
check "escapes: no raw control character" test -z "$(tr -d '\n' <<<"$out" | tr -d '[:print:]\200-\377')"
check "escapes: shown escaped" contains "$out" 'USB Card \x1b]0;owned\x07\x1b[31mReader'
check "escapes: Latin-1 readable" contains "$out" "Reader été)"

# A run writes new files: a name of the old registry.reg still holds the old bytes.
dir="$work/replaced"
cp -r "$examples/win2000-sp4" "$dir"
exec 3<"$dir/registry.reg"
old=$(sha256sum <"$dir/registry.reg")
"$sim" "$dir" >/dev/null
check "replaced: the run changed the registry" test "$old" != "$(sha256sum <"$dir/registry.reg")"
check "replaced: the old file was not written into" test "$old" = "$(sha256sum <&3)"
exec 3<&-

finish
