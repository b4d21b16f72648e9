#!/usr/bin/env bash
# Text from the machine never becomes a line of its own, or a command, in an
# undo kit: each character that splits or starts a command in command.com,
# cmd.exe or regedit, in each field the machine supplies, is either left out
# of undo.bat or kept inside one line of undo.reg, as data.
set -u
sim="$1"
examples="$2"
source "$(dirname "$0")/common.sh"

to_utf8() { # UTF-16 with its byte-order mark, or ANSI
    if [ "$(head -c2 "$1" | od -An -tx1 | tr -d ' ')" = fffe ]; then
        iconv -f UTF-16 -t UTF-8 "$1"
    else
        iconv -f CP1252 -t UTF-8 "$1"
    fi | tr -d '\r'
}
# Adds REGEDIT text (UTF-8, \n) to a UTF-16 registry.reg.
append_reg() {
    { to_utf8 "$1"; printf '%s\n' "$2"; } | sed 's/$/\r/' | iconv -f UTF-8 -t UTF-16LE >"$1.new"
    { printf '\xff\xfe'; cat "$1.new"; } >"$1" && rm "$1.new"
}
# Every line undo.bat may hold, by shape; paths and labels only of safe characters.
safe='("[][A-Za-z0-9 ._~#$'"'"'(){}@\\:-]+"|[A-Za-z0-9._~\\:-]+)'
count='set UF[0-9NR]+=((%UF[0-9N]+%)?[x0-9]*|[a-z]+[0-9]*)'
shapes="^(@echo off|rem .*|echo [A-Za-z0-9 ._:/'()\\\\,-]*|$count|:[a-z]+[0-9]*|goto [a-z]+[0-9]*|goto %UFR%|\
[A-Z]:|cd \\\\|cd $safe|attrib [-+arhs ]+ $safe( > nul)?|attrib $safe > nul|copy /y $safe $safe( > nul)?|\
if not errorlevel 1 (if exist $safe )?goto [a-z]+[0-9]*|if (not )?exist $safe (goto [a-z0-9]+|del $safe|md $safe|rd $safe)|\
if (not )?\"(%UF[0-9NR]+%)+\"==\"[x0-9a-z]*\" (if \"%UF[0-9]+%\"==\"\" )?(goto [a-z]+|$count|echo (1 step|%UFN% steps) failed\\.)|\
echo long> UNDOLONGNAME.TMP|del UNDOLONGNAME.TMP|start /w regedit /s undo.reg|start /w regedit /e undoreg.tmp $safe|\
type undoreg.tmp \\| find /i $safe > nul|reg query $safe( /ve| /v $safe)?( > nul| \\| find $safe > nul))\$"
labels='^\[(-?HKEY_LOCAL_MACHINE\\(SYSTEM\\(CurrentControlSet|ControlSet00[12])\\Services\\USBSTOR|SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons(\\[A-Z](\\[^]]*)?)?))\]$'

n=0
for char in $'\r' $'\n' '"' '%' '&' '|' '<' '>' '^'; do
    shown=$(printf '%q' "$char")
    esc=$(sed -e 's/\\/\\\\/g' -e 's/"/\\"/g' -e 's/\r/\\r/g' <<<"$char" | sed -z 's/\n$//; s/\n/\\n/g')
    injected="Service Pack 4${esc}del /q C:\\\\WINNT\\\\system32\\\\*.dll${esc}[HKEY_LOCAL_MACHINE\\\\INJECTED]${esc}echo"
    for field in service-pack label windows-directory; do
        n=$((n + 1))
        m="$work/m$n" kit="$work/k$n"
        cp -r "$examples/win2000-sp4" "$m"
        case $field in
        service-pack)
            sed -i '/^version /d' "$m/machine.txt"
            append_reg "$m/registry.reg" "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion]
\"CurrentVersion\"=\"5.0\"
\"CurrentBuildNumber\"=\"2195\"
\"CSDVersion\"=\"$injected\"" ;;
        label) # names are the unit test's: HostileNamesNeitherBreakNorAddLines
            append_reg "$m/registry.reg" "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons\\E\\DefaultLabel]
@=\"$injected\"" ;;
        windows-directory)
            # The folder must exist on drive C:, and machine.txt holds one line a fact.
            [ "$char" = $'\n' ] || [ "$char" = $'\r' ] && continue
            dir="WIN${char}NT"
            mv "$m/drive_c/WINNT" "$m/drive_c/$dir" 2>/dev/null || continue
            sed -i "s#C:\\\\WINNT#C:\\\\$(sed 's/[&\\]/\\&/g' <<<"$dir")#g" "$m/machine.txt" ;;
        esac
        out=$("$sim" --undo "$kit" "$m" 2>&1); rc=$?
        what="$field with $shown"
        if [ $rc -ne 0 ]; then
            # Refused as a whole is safe too, when it says why and writes nothing.
            check "$what: refused with a reason, no kit" test $rc -eq 2 -a ! -e "$kit" -a -n "$out"
            continue
        fi
        bad=$(tr -d '\r' <"$kit/undo.bat" | grep -vE "$shapes")
        check "$what: undo.bat holds only its own lines" test -z "$bad"
        [ -n "$bad" ] && echo "$bad" | head -3
        bad=$(to_utf8 "$kit/undo.reg" | grep -E '^\[' | grep -vE "$labels")
        check "$what: undo.reg makes no key it was not meant to" test -z "$bad"
        [ -n "$bad" ] && echo "$bad" | head -3
        check "$what: no line of undo.reg starts a command" \
            test -z "$(to_utf8 "$kit/undo.reg" | grep -E '^(del|echo) ')"
    done
done
finish
