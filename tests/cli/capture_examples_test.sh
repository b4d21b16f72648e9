#!/usr/bin/env bash
# The example captures are examples/win98 and examples/win2000-sp4 as
# capture.bat leaves them: uninstall-sim must predict the same changes from
# them as from the machine folders, but for the companion window, which a
# capture cannot hold. Bad captures are refused by file and line.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"

# Without the first line, which names the folder, and what the window changes.
changes() { sed -e '/^Machine /d' -e '/ is a capture of a real machine: /d' -e '/^Closed window /d' \
    -e '/^Exit code /d' -e '/^Read outside /d' <<<"$1"; }

for name in win98 win2000-sp4; do
    cp -r "$examples/captures/$name" "$work/$name"
    machine=$("$sim" --dry-run "$examples/$name"); rc1=$?
    capture=$("$sim" --dry-run "$work/$name"); rc2=$?
    check "$name: both exit 0" test $rc1 -eq 0 -a $rc2 -eq 0
    check "$name: the same changes" diff <(changes "$machine") <(changes "$capture")
    check "$name: a dry run writes nothing" diff -r "$examples/captures/$name" "$work/$name"
    eval "capture_${name%%-*}=\$capture"
done
check "win98: the version from ver.txt" contains "$capture_win98" \
    'Windows 9x 4.10 build 2222 "", Windows directory C:\WINDOWS'
check "win98: every key read was captured" test -z "$(grep -F 'Read outside' <<<"$capture_win98")"
check "win2000: the service pack from CSDVersion" contains "$capture_win2000" \
    'Windows NT 5.0 build 2195 "Service Pack 4", Windows directory C:\WINNT'
check "win2000: a key tried and absent is no read outside" \
    test -z "$(grep -F 'Read outside' <<<"$capture_win2000")"

# A capture is the only record of a real machine: a plain run only previews
# it, and says so first; --result keeps what the run would leave.
out=$("$sim" "$work/win2000-sp4"); rc=$?
check "a plain run on a capture exits 0" test $rc -eq 0
check "and says first that it only previews" test "$(head -1 <<<"$out")" = \
    "$work/win2000-sp4 is a capture of a real machine: only previewed, as with --dry-run"
check "and writes nothing" diff -r "$examples/captures/win2000-sp4" "$work/win2000-sp4"
"$sim" --result "$work/after" "$work/win2000-sp4" >/dev/null; rc=$?
check "--result writes the machine as the run left it" test $rc -eq 0 -a \
    -f "$work/after/drive_c/WINNT/inf/usbstor.inf" -a \
    ! -e "$work/after/drive_c/WINNT/system32/drivers/USBSTORSP3.SYS"
out=$("$sim" --undo "$work/again" "$work/after"); rc=$?
check "a machine the run already cleaned: nothing to undo" contains "$out" \
    "the package was not found on this machine: there is nothing to undo"
check "and its kit says so" grep -qF "there is nothing to undo" "$work/again/README.txt"

# Without the live device tree every device of a Windows 98 capture is present.
cp -r "$examples/captures/win98" "$work/nodyn"
sed -i 's/HKEY_DYN_DATA\\Config Manager/HKEY_DYN_DATA\\Other/' "$work/nodyn/registry.reg"
out=$("$sim" --dry-run "$work/nodyn")
check "no device tree: said in one line" test "$(grep -c 'counts as present' <<<"$out")" -eq 1
check "no device tree: the unplugged stick goes too" \
    contains "$out" 'Removed device USB\VID_1234&PID_5678\6&99AA&0&1'

# What the capture knows: a key tried and absent, a key not tried, a folder
# where a file is expected, files whose attributes are not known.
variant() { # name, what to do to a copy of a capture, the capture
    cp -r "$examples/captures/${3:-win98}" "$work/$1" && (cd "$work/$1" && eval "$2")
    out=$("$sim" --dry-run "$work/$1" 2>&1)
}
variant no-icons "sed -i '/DriveIcons/d' captured.txt && awk '/^\\[/ { skip = /DriveIcons/ } !skip' \
    registry.reg >r && mv r registry.reg"
check "no DriveIcons key, tried: no read outside" test -z "$(grep -F 'Read outside' <<<"$out")"
variant untried "sed -i '/DriveIcons/d' captured.txt tried.txt"
check "a key not tried: named" contains "$out" \
    'Read outside the capture: HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\DriveIcons'
variant inf-folder "rm windir/inf/other/USBOEM01.inf && mkdir windir/inf/other/USBOEM01.inf"
check "a folder named like the INF: not deleted" test -z "$(grep -F 'other\USBOEM01.inf' <<<"$out")"
variant no-attrib "rm attrib.txt" win2000-sp4
check "no attrib.txt: said after the machine line" test "$(sed -n 3p <<<"$out")" = \
    "No attrib.txt: the files' attributes are unknown, so the preview takes each file as archive only"
# Copied off a FAT floppy, every short name may be in capitals.
variant capitals "find . -depth -mindepth 1 -execdir sh -c 'mv \"\$1\" \"\$(echo \"\$1\" | tr a-z A-Z)\"' _ {} \\;"
check "names in capitals: the same changes" diff <(changes "$out" | tr a-z A-Z) \
    <(changes "$capture_win98" | tr a-z A-Z)

broken() { # name, what to do to a copy of the win98 capture, expected text
    cp -r "$examples/captures/win98" "$work/$1" && (cd "$work/$1" && eval "$2")
    cp -r "$work/$1" "$work/$1.before"
    out=$("$sim" "$work/$1" 2>&1); rc=$?
    check "$1: exit code 2, named, nothing written" test $rc -eq 2 -a -z "$(diff -r \
        "$work/$1.before" "$work/$1")" -a -n "$(grep -F -- "$3" <<<"$out")"
}
broken other-drive "echo 'windows-directory \"D:\\WINDOWS\"' >>machine.txt" \
    'machine.txt:5: the Windows directory D:\WINDOWS is not on drive C:'
broken bad-attrib "echo 'File not found - C:\\WINDOWS\\X.SYS' >>attrib.txt" 'attrib.txt:5:'
broken no-ver "rm ver.txt" 'ver.txt: missing'
broken windows-name "touch windir/CON" 'reserved device name'
broken case-twins "cp registry.reg REGISTRY.REG" 'only in case'

finish
