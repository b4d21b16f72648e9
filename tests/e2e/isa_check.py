#!/usr/bin/env python3
"""No instruction newer than the 486 in UnInstall.exe.

    isa_check.py --objdump OBJDUMP --exe UnInstall.exe [--map UnInstall.map]

Windows 98 runs on a 486DX, and most of its machines have a Pentium, Pentium MMX or K6:
none of them has the Pentium Pro's CMOV, FCMOV or FCOMI, and the 486 lacks the Pentium's
CMPXCHG8B, RDTSC and MSRs too. One such instruction anywhere in the program's code faults
there with an invalid opcode. Only the code sections are disassembled (never data such as
.eh_frame or .gcc_except_table). Each hit is named by its function and, with the linker's
map, by the object or library member it came from. Exit code 1 on any hit.
"""

import argparse
import bisect
import re
import subprocess
import sys
from pathlib import Path

FORBIDDEN_MNEMONIC = re.compile(
    r"^(cmov\w+|fcmov\w+|fcomip?|fucomip?|cmpxchg(8|16)b|rdtscp?|rdpmc|rdmsr|wrmsr|cpuid"
    r"|sysenter|sysexit|syscall|sysret|[lms]fence|prefetch\w*|movnt\w*|popcnt\w*|lzcnt\w*"
    r"|tzcnt\w*|movbe\w*|crc32\w*|emms|femms|fxsave\w*|fxrstor\w*|ldmxcsr|stmxcsr|fisttp\w*"
    r"|clflush\w*)$")
# MMX, SSE and AVX registers; AVX-512 mask registers.
FORBIDDEN_OPERAND = re.compile(r"%(mm\d|[xyz]mm\d+|k[0-7]\b)")

INSTRUCTION = re.compile(r"^\s*([0-9a-f]+):\t(\S+)\s*(.*)$")
LABEL = re.compile(r"^([0-9a-f]+) <(.+)>:$")


def code_sections(objdump, exe):
    text = subprocess.run([objdump, "-h", str(exe)], capture_output=True, text=True,
                          check=True).stdout
    sections, name = [], None
    for line in text.splitlines():
        fields = line.split()
        if len(fields) >= 7 and fields[0].isdigit():
            name = fields[1]
        elif name and "CODE" in line:
            sections.append(name)
            name = None
    return sections


def scan(disassembly):
    """(instructions seen, [(address, instruction, label or None)]) of the forbidden ones."""
    count, hits, label = 0, [], None
    for line in disassembly.splitlines():
        m = LABEL.match(line)
        if m:
            label = m.group(2)
            continue
        m = INSTRUCTION.match(line)
        if not m or m.group(2) == "(bad)":
            continue
        count += 1
        mnemonic, operands = m.group(2), m.group(3)
        if FORBIDDEN_MNEMONIC.match(mnemonic) or FORBIDDEN_OPERAND.search(operands):
            hits.append((int(m.group(1), 16), (mnemonic + " " + operands).strip(), label))
    return count, hits


class LinkMap:
    """Input sections and symbols of a GNU ld map: which object and function an address is in."""

    def __init__(self, text):
        self.sections = []  # (start, end, object)
        self.symbols = []  # (address, name)
        lines = text.splitlines()
        try:
            lines = lines[lines.index("Linker script and memory map") + 1:]
        except ValueError:
            pass
        whole = re.compile(r"^ \S+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
        continued = re.compile(r"^\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s+(\S.*)$")
        symbol = re.compile(r"^\s+0x([0-9a-f]+)\s+(\S.*)$")
        for line in lines:
            m = whole.match(line) or continued.match(line)
            if m:
                start, size = int(m.group(1), 16), int(m.group(2), 16)
                if size and start:
                    self.sections.append((start, start + size, self._short(m.group(3))))
                continue
            m = symbol.match(line)
            if m and int(m.group(1), 16):
                self.symbols.append((int(m.group(1), 16), m.group(2)))
        self.sections.sort()
        self.symbols.sort()
        self._starts = [s[0] for s in self.sections]
        self._addresses = [s[0] for s in self.symbols]

    @staticmethod
    def _short(obj):
        # ".../libstdc++.a(string-inst.o)" -> "libstdc++.a(string-inst.o)"
        path, paren, member = obj.partition("(")
        return Path(path).name + paren + member

    def find(self, address):
        """(object, function) holding address; either may be None."""
        obj = function = None
        i = bisect.bisect_right(self._starts, address) - 1
        if i >= 0 and address < self.sections[i][1]:
            start, _, obj = self.sections[i]
            j = bisect.bisect_right(self._addresses, address) - 1
            if j >= 0 and self.symbols[j][0] >= start:
                function = self.symbols[j][1]
        return obj, function


def check(objdump, exe, map_file=None):
    sections = code_sections(objdump, exe)
    if not sections:
        print("FAIL: no code section found in %s" % exe)
        return 1
    args = [objdump, "-d", "--no-show-raw-insn"] + ["-j" + s for s in sections] + [str(exe)]
    disassembly = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    count, hits = scan(disassembly)
    link_map = LinkMap(Path(map_file).read_text()) if map_file else None
    by_origin = {}
    for address, instruction, label in hits:
        obj, function = link_map.find(address) if link_map else (None, None)
        function = function or label or "?"
        print("FAIL: %08x  %-28s in %s%s" % (address, instruction, function,
                                             " from " + obj if obj else ""))
        key = obj or function
        by_origin[key] = by_origin.get(key, 0) + 1
    for origin, n in sorted(by_origin.items(), key=lambda item: -item[1]):
        print("  %4d in %s" % (n, origin))
    if count == 0:
        print("FAIL: no instruction disassembled in %s" % ", ".join(sections))
        return 1
    print("%d instructions in %s checked: %d newer than the 486: %s"
          % (count, ", ".join(sections), len(hits), "FAIL" if hits else "pass"))
    return 1 if hits else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--objdump", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--map")
    args = parser.parse_args(argv)
    try:
        return check(args.objdump, args.exe, args.map)
    except (OSError, subprocess.SubprocessError) as error:
        print("ERROR:", error)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
