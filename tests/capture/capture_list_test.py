#!/usr/bin/env python3
"""tools/capture.bat and the program must not drift apart.

    capture_list_test.py UNINSTALL_SIM EXAMPLES_DIR

Runs every example machine in the simulator with --trace and checks that each registry key
the program opens, enumerates, reads, writes or deletes lies below a key that capture.bat
exports (or is a parent it only opens or enumerates on the way there), and that each file
it looks at is one that capture.bat copies. In the other direction, every key and file of
capture.bat is used by the program on some example, or is named below as one the simulator
itself needs.
"""

import re
import subprocess
import sys
import tempfile
import shutil
from pathlib import Path

BAT = Path(__file__).resolve().parents[2] / "tools" / "capture.bat"
# Exported for the simulator, not read by the program: the live device tree (which devices
# are present), the service pack of Windows 2000, the product Windows Installer removes.
FOR_THE_SIMULATOR = {
    "HKEY_DYN_DATA\\CONFIG MANAGER\\ENUM",
    "HKLM\\SYSTEM\\CURRENTCONTROLSET\\CONTROL\\WINDOWS",
    "HKLM\\SOFTWARE\\MICROSOFT\\WINDOWS\\CURRENTVERSION\\UNINSTALL",
}
# Control sets capture.bat tries by name, beyond those the examples have.
UNUSED_CONTROL_SETS = re.compile(r"^HKLM\\SYSTEM\\CONTROLSET00[3-9]\\")
# The program looks for Services\USBSTOR below every subkey of HKLM\SYSTEM; only control sets
# have one, and capture.bat exports it from each of them.
NOT_A_CONTROL_SET = re.compile(r"^HKLM\\SYSTEM\\(SELECT|SETUP|MOUNTEDDEVICES|WPA)\\SERVICES\\USBSTOR$")


def capture_lists():
    text = BAT.read_text(encoding="ascii")
    keys = [k.upper().replace("HKEY_LOCAL_MACHINE", "HKLM")
            for k in re.findall(r'^call %0 /p %1 "?([^"\r\n]+)"?\r?$', text, re.M)]
    files = [(d + "\\" + f).upper()
             for d, f in re.findall(r"^call %0 /f %1 (\S+) (\S+)", text, re.M)]
    return keys, files


def traced(sim, machine):
    """(registry paths, how each was used) and Windows-relative file paths of one run."""
    with tempfile.TemporaryDirectory() as work:
        copy = Path(work) / "m"
        shutil.copytree(machine, copy, symlinks=True)
        run = subprocess.run([sim, "--trace", "--dry-run", str(copy)], capture_output=True,
                             text=True, encoding="latin-1", check=True)
    windir = re.search(r"Windows directory (\S+)", run.stdout).group(1).upper()
    keys, files = {}, set()
    for line in run.stderr.splitlines():
        m = re.match(r'\s+(Reg\w+)\(([^,)]+)(?:, "([^"]*)")?', line)
        if m:
            call, handle, sub = m.groups()
            path = handle.upper() + ("\\" + sub.upper() if sub else "")
            keys.setdefault(path, set()).add(call)
        for path in re.findall(r'"([A-Z]:\\[^"]*)"', line):
            path = path.upper()
            if path.startswith(windir + "\\") and "~WT" not in path and not path.endswith("\\"):
                files.add(path[len(windir) + 1:])
    return keys, files


def main(sim, examples):
    captured, copied = capture_lists()
    failures, used_keys, used_files = [], set(), set()
    for machine in sorted(Path(examples).iterdir()):
        if not (machine / "machine.txt").is_file():
            continue
        keys, files = traced(sim, machine)
        for path, calls in sorted(keys.items()):
            below = [k for k in captured if path == k or path.startswith(k + "\\")]
            used_keys.update(below)
            passing = any(k.startswith(path + "\\") for k in captured) and \
                calls <= {"RegOpenKeyA", "RegEnumKeyA", "RegEnumKeyExA", "RegCloseKey"}
            if not below and not passing and path.startswith("HKLM") and \
                    not NOT_A_CONTROL_SET.match(path):
                failures.append("%s: %s reads %s, which capture.bat does not export"
                                % (machine.name, "/".join(sorted(calls)), path))
        for f in sorted(files):
            if f in copied:
                used_files.add(f)
            else:
                failures.append("%s: the program touches %s, which capture.bat does not copy"
                                % (machine.name, f))
    for k in captured:
        if k not in used_keys and k.upper() not in FOR_THE_SIMULATOR and \
                not UNUSED_CONTROL_SETS.match(k):
            failures.append("capture.bat exports %s, which no example reads" % k)
    for f in copied:
        if f not in used_files:
            failures.append("capture.bat copies %s, which no example touches" % f)
    for f in failures:
        print("FAIL:", f)
    print("%d keys and %d files of capture.bat checked against the program's calls: %s"
          % (len(captured), len(copied), "FAIL" if failures else "pass"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1], sys.argv[2]))
