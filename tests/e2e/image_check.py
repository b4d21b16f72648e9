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

Version: the VERSIONINFO resource, read back from the file as Windows' version functions
read it, must carry --version as FileVersion and ProductVersion (fixed and text), the file's
own name as InternalName and OriginalFilename, a FileDescription, and no CompanyName.
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


RT_VERSION = 16


def resource_version(image):
    """The VERSIONINFO resource as (fixed versions (file, product), {string name: text})."""
    pe = struct.unpack_from("<I", image, 0x3C)[0]
    sections, optional_size = struct.unpack_from("<H12xH", image, pe + 6)
    optional = pe + 24
    rsrc_rva = struct.unpack_from("<I", image, optional + 96 + 2 * 8)[0]
    if not rsrc_rva:
        raise ValueError("the image has no resources")
    offsets = []  # (rva, size, file offset) of each section
    for i in range(sections):
        size, rva, _, raw = struct.unpack_from("<IIII", image, optional + optional_size + 40 * i + 8)
        offsets.append((rva, size, raw))

    def at(rva):
        return next(raw + rva - start for start, size, raw in offsets if start <= rva < start + size)

    def entries(directory, want):
        named, ids = struct.unpack_from("<HH", image, at(rsrc_rva + directory) + 12)
        for i in range(named + ids):
            key, target = struct.unpack_from("<II", image, at(rsrc_rva + directory) + 16 + 8 * i)
            if want is None or key == want:
                return target & 0x7FFFFFFF
        raise ValueError("the image has no version resource")

    leaf = entries(entries(entries(0, RT_VERSION), 1), None)
    data_rva, data_size = struct.unpack_from("<II", image, at(rsrc_rva + leaf))
    data = image[at(data_rva):at(data_rva) + data_size]

    def block(offset):
        """(key, value bytes, children offsets, end) of the block at offset."""
        length, value_length, text = struct.unpack_from("<HHH", data, offset)
        end = data.index(b"\0\0", offset + 6)
        while (end - offset) % 2:
            end = data.index(b"\0\0", end + 1)
        key = data[offset + 6:end].decode("utf-16-le")
        value = (end + 2 + 3) & ~3
        value_end = value + value_length * (2 if text else 1)
        children, child = [], (value_end + 3) & ~3
        while child < offset + length:
            children.append(child)
            child = (child + struct.unpack_from("<H", data, child)[0] + 3) & ~3
        return key, data[value:value_end], children

    key, fixed, children = block(0)
    signature, _, file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<6I", fixed)
    if key != "VS_VERSION_INFO" or signature != 0xFEEF04BD:
        raise ValueError("the version resource is malformed")
    versions = tuple("%d.%d.%d.%d" % (ms >> 16, ms & 0xFFFF, ls >> 16, ls & 0xFFFF)
                     for ms, ls in ((file_ms, file_ls), (product_ms, product_ls)))
    strings = {}
    for child in children:
        if block(child)[0] == "StringFileInfo":
            for table in block(child)[2]:
                for entry in block(table)[2]:
                    name, text, _ = block(entry)
                    strings[name] = text.decode("utf-16-le").rstrip("\0")
    return versions, strings


def version_failures(versions, strings, version, name):
    failures = []
    for what, fixed in zip(("file", "product"), versions):
        if fixed != version + ".0":
            failures.append("the fixed %s version is %s, not %s.0" % (what, fixed, version))
    expected = {"FileVersion": version, "ProductVersion": version, "InternalName": name,
                "OriginalFilename": name}
    for field, text in expected.items():
        if strings.get(field) != text:
            failures.append("%s is %r, not %r" % (field, strings.get(field), text))
    if not strings.get("FileDescription"):
        failures.append("the version resource has no FileDescription")
    if "CompanyName" in strings:
        failures.append("the version resource names a company")
    return failures


def check(objdump, exe, expected, msvcrt, max_size, version=None):
    text = subprocess.run([objdump, "-p", str(exe)], capture_output=True, text=True,
                          check=True).stdout
    imports, header, directories = read_image(text)
    exports = set(Path(msvcrt).read_text().split())
    failures = import_failures(imports, read_reviewed(Path(expected).read_text()), exports)
    failures += header_failures(header, directories)
    if version:
        try:
            versions, strings = resource_version(Path(exe).read_bytes())
            failures += version_failures(versions, strings, version, Path(exe).name)
            print("version resource: %s" % "; ".join(
                "%s %s" % item for item in sorted(strings.items())))
        except (ValueError, struct.error, StopIteration) as error:
            failures.append("version resource: %s" % (error or "out of bounds"))
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
