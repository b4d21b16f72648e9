#!/usr/bin/env python3
"""Makes the large capture the page and the command line are measured on: the example
Windows 98 capture with KEYS more device keys below HKLM\\Enum (38 MB for 120,000),
none of them the package's, as a PC with a long device history would have.

    make_big_capture.py OUT [--keys 120000]
"""

import argparse
import shutil
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
SYSTEM = "{4D36E97D-E325-11CE-BFC1-08002BE10318}"


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("out")
    parser.add_argument("--keys", type=int, default=120000)
    args = parser.parse_args()
    out = Path(args.out)
    shutil.copytree(REPO / "examples" / "captures" / "win98", out)
    lines = []
    for bus in range((args.keys + 99) // 100):
        parent = "HKEY_LOCAL_MACHINE\\Enum\\ROOT\\HISTORY%05d" % bus
        lines.append("[%s]\r\n\r\n" % parent)
        for n in range(min(100, args.keys - bus * 100)):
            lines.append(
                "[%s\\%04d]\r\n\"ClassGUID\"=\"%s\"\r\n\"Class\"=\"System\"\r\n"
                "\"DeviceDesc\"=\"Device %d of an earlier installation\"\r\n"
                "\"HardwareID\"=\"ROOT\\\\HISTORY%05d\\\\%04d,*PNP0C01\"\r\n\"Mfg\"=\"(Standard system devices)\"\r\n"
                "\"Driver\"=\"System\\\\%05d\"\r\n\"ConfigFlags\"=hex:00,00,00,00\r\n\r\n"
                % (parent, n, SYSTEM, bus * 100 + n, bus, n, bus * 100 + n))
    with open(out / "registry.reg", "a", newline="") as f:
        f.write("".join(lines))
    print("%s: %d more keys, registry.reg %.1f MB" % (
        out, args.keys, (out / "registry.reg").stat().st_size / 1e6))


if __name__ == "__main__":
    main()
