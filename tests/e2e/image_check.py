#!/usr/bin/env python3
"""UnInstall.exe as the Windows 98 loader sees it.

    image_check.py --objdump OBJDUMP --exe UnInstall.exe --expected imports.txt
                   --msvcrt msvcrt-exports-win98.txt [--max-size BYTES] [--version X.Y.Z]

Imports: exactly the reviewed list in imports.txt. Every msvcrt.dll import must be one that
Windows 98's msvcrt.dll exports (msvcrt-exports-win98.txt), or the loader refuses the
program. Windows 9x's kernel32 exports most "W" functions only as stubs that fail, so a
kernel32 "W" import must be annotated in imports.txt as "# 9x stub: REASON", saying why the
stub's failure does no harm.

Header: Windows GUI subsystem 4.0 and OS version 4.0, image base 0x400000, section
alignment 0x1000 and file alignment 0x200, no bound or delay imports, and no TLS directory:
Windows 9x runs no TLS callbacks, and the program relies on none. And the file is at most
--max-size bytes.

Version: the VERSIONINFO resource, read back from the file, must carry --version as
FileVersion and ProductVersion (fixed and text), the file's own name as InternalName and
OriginalFilename, a FileDescription, and no CompanyName.
"""

import argparse
import re
import struct
import subprocess
import sys
from pathlib import Path

ENTRY = re.compile(r"^\t[0-9a-fA-F]+\t\s*\d+\s+(\S+)")
DIRECTORY = re.compile(r"^Entry ([0-9a-f]) ([0-9a-fA-F]{8}) ([0-9a-fA-F]{8}) (.*)$")
WIDE = re.compile(r"[a-z0-9]W$")
HEADER = {  # objdump -p field -> required value
    "Subsystem": "00000002",
    "MajorSubsystemVersion": "4", "MinorSubsystemVersion": "0",
    "MajorOSystemVersion": "4", "MinorOSystemVersion": "0",
    "ImageBase": "00400000", "SectionAlignment": "00001000", "FileAlignment": "00000200",
}
ABSENT_DIRECTORIES = {"9": "TLS directory", "b": "bound imports", "d": "delay imports"}


def read_image(text):
    """(imports as DLL!name, header fields, data directories {index: (rva, size)})."""
    imports, header, directories, dll = set(), {}, {}, None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 2 and fields[0] in HEADER:
            header[fields[0]] = fields[1]
        m = DIRECTORY.match(line)
        if m:
            directories[m.group(1)] = (int(m.group(2), 16), int(m.group(3), 16))
        if line.strip().startswith("DLL Name:"):
            dll = line.split(":", 1)[1].strip().upper()
        elif dll and ENTRY.match(line):
            imports.add("%s!%s" % (dll, ENTRY.match(line).group(1)))
        elif not line.strip():
            dll = None
    return imports, header, directories


def read_reviewed(text):
    """DLL!name -> its comment, from imports.txt."""
    reviewed = {}
    for line in text.splitlines():
        entry, _, comment = line.partition("#")
        entry = entry.strip()
        if entry:
            dll, _, func = entry.partition("!")
            reviewed["%s!%s" % (dll.upper(), func)] = comment.strip()
    return reviewed


def import_failures(imports, reviewed, msvcrt_exports):
    failures = []
    if not imports:
        failures.append("no imports found")
    for item in sorted(set(imports) - set(reviewed)):
        failures.append("imported but not reviewed: %s" % item)
    for item in sorted(set(reviewed) - set(imports)):
        failures.append("reviewed but no longer imported: %s" % item)
    for item in sorted(imports):
        dll, _, func = item.partition("!")
        if dll == "MSVCRT.DLL" and func not in msvcrt_exports:
            failures.append("%s: not exported by Windows 98's msvcrt.dll" % item)
        note = reviewed.get(item, "")
        if dll == "KERNEL32.DLL" and WIDE.search(func) and not re.match(r"9x stub: \S", note):
            failures.append("%s: a Windows 9x stub, not annotated \"# 9x stub: REASON\"" % item)
    return failures


def header_failures(header, directories):
    failures = []
    for field, value in HEADER.items():
        if header.get(field, "").lower() != value:
            failures.append("%s is %s, Windows 98 needs %s" % (field, header.get(field), value))
    for index, what in ABSENT_DIRECTORIES.items():
        if directories.get(index, (0, 0)) != (0, 0):
            failures.append("the image has %s (data directory %s)" % (what, index))
    return failures


def version_failures(image, version, name):
    """What the VERSIONINFO resource gets wrong: its fixed file and product versions (found by
    their signature) and its strings (UTF-16, each key followed by its padding and value)."""
    at = image.find(struct.pack("<I", 0xFEEF04BD))
    if at < 0 or "VS_VERSION_INFO".encode("utf-16-le") not in image[max(0, at - 40):at]:
        return ["the image has no version resource"]
    words = struct.unpack_from("<4I", image, at + 8)
    fixed = ["%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
             for ms, ls in (words[:2], words[2:])]
    text = image[at:].decode("utf-16-le", "replace")
    strings = {k: v for k, v in re.findall(r"([A-Za-z]+)\0+([^\0]+)\0", text[:text.find("VarFileInfo")])
               if k.lower().endswith(("name", "version", "description"))}
    print("version resource: %s; %s" % (fixed[0], "; ".join("%s %s" % i for i in strings.items())))
    want = {"FileVersion": version, "ProductVersion": version, "InternalName": name,
            "OriginalFilename": name}
    failures = ["the fixed version is %s, not %s.0" % (v, version) for v in fixed
                if v != version + ".0"]
    failures += ["%s is %r, not %r" % (k, strings.get(k), v) for k, v in want.items()
                 if strings.get(k) != v]
    if not strings.get("FileDescription") or "CompanyName" in strings:
        failures.append("the version resource needs a FileDescription and no CompanyName")
    return failures


def check(objdump, exe, expected, msvcrt, max_size, version=None):
    text = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True,
                          check=True).stdout
    imports, header, directories = read_image(text)
    exports = set(Path(msvcrt).read_text().split())
    failures = import_failures(imports, read_reviewed(Path(expected).read_text()), exports)
    failures += header_failures(header, directories)
    if version:
        failures += version_failures(Path(exe).read_bytes(), version, Path(exe).name)
    size = Path(exe).stat().st_size
    if max_size and size > max_size:
        failures.append("%d bytes, more than %d" % (size, max_size))
    for f in failures:
        print("FAIL:", f)
    print("%d imports and the PE header checked, %d bytes: %s"
          % (len(imports), size, "FAIL" if failures else "pass"))
    return 1 if failures else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--expected", required=True)
    parser.add_argument("--msvcrt", required=True)
    parser.add_argument("--max-size", type=int, default=0)
    parser.add_argument("--version")
    args = parser.parse_args(argv)
    try:
        return check(args.objdump, args.exe, args.expected, args.msvcrt, args.max_size,
                     args.version)
    except (OSError, subprocess.SubprocessError) as error:
        print("ERROR:", error)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
