#!/usr/bin/env python3
"""An undo kit for a Windows directory whose paths no command.com line can hold, carried out
by Wine's cmd.exe.

    undo_paths.py --work DIR --sim uninstall-sim

examples/win98 with its Windows directory moved to a 99-character path: uninstall-sim writes
the kit and the machine as the run leaves it; that machine's files go into a prefix, and
undo.bat, run twice, must put back every deleted file with its bytes and read-only attribute
and end with "Done.". With one of the kit's files gone it must name that step and end with
how many failed instead; before, with an undo.reg regedit cannot read, the registry step.
"""

import argparse
import re
import shutil
import subprocess
import sys
from pathlib import Path

import differential
import e2e

REPO = Path(__file__).resolve().parents[2]
WINDIR = ("C:\\OEM Preinstalled Windows 98 System Folder\\Kept for this machine by its maker "
          "OEM\\98\\WINDOWS.0001")
TOP = WINDIR.split("\\")[1]


def files_below(root):
    return {str(p.relative_to(root)): (p.read_bytes(), bool(p.stat().st_mode & 0o200))
            for p in sorted(Path(root).rglob("*")) if p.is_file()}


def undo(wine):
    # Its exit code is that of the last program it ran, not a verdict: its words are.
    proc = wine.run(["cmd", "/c", "cd /d C:\\kit && undo.bat"], timeout=300, capture=True,
                    check=False)
    wine.wait_server(60)
    return [l for l in proc.stdout.decode("cp1252").replace("\r", "").split("\n") if l]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--work", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args(argv)
    run_dir, prefix = e2e.fresh_prefix(Path(args.work).resolve(), "undo-paths")
    machine, kit, after = run_dir / "machine", run_dir / "kit", run_dir / "after"
    shutil.copytree(REPO / "examples" / "win98", machine)
    (machine / "drive_c" / "WINDOWS").rename(run_dir / "windows")
    target = differential.host_path(machine / "drive_c", WINDIR)
    target.parent.mkdir(parents=True)
    (run_dir / "windows").rename(target)
    text = (machine / "machine.txt").read_text()
    (machine / "machine.txt").write_text(text.replace("C:\\WINDOWS", WINDIR))
    sim = subprocess.run([args.sim, "--undo", str(kit), "--result", str(after), str(machine)],
                         capture_output=True, text=True, timeout=120)
    if sim.returncode != 0:
        print("uninstall-sim failed:", sim.stderr)
        return 2
    longest = max(len(l) for l in (kit / "undo.bat").read_text().splitlines())
    exported = re.search(r'^start /w regedit /e undoreg\.tmp "(.*)"\r?$',
                         (kit / "undo.bat").read_text(), re.M)

    failures = []
    wine = e2e.Wine(prefix, "", run_dir / "wine.log")
    try:
        shutil.copytree(after / "drive_c" / TOP, wine.host("C:\\") / TOP)
        shutil.copytree(kit, wine.host("C:\\") / "kit")
        # The key it exports is one the run left.
        wine.run(["reg", "add", exported.group(1), "/f"])
        reg = wine.host("C:\\kit") / "undo.reg"
        kept = reg.read_bytes()
        reg.write_bytes(b"not a registry file\r\n")
        said = undo(wine)
        if "The registry step failed: regedit did not import undo.reg. See README.txt." not in \
                said or any(l.startswith("Done.") for l in said):
            failures.append("an undo.reg regedit cannot read: undo.bat said %r" % said[-4:])
        reg.write_bytes(kept)
        want = files_below(machine / "drive_c" / TOP)
        # The read-only attribute of the machine folder is a line of machine.txt.
        for line in (machine / "machine.txt").read_text().splitlines():
            if line.startswith("attributes ") and " readonly" in line:
                path = line.split('"')[1]
                rel = str(differential.host_path(machine / "drive_c", path).relative_to(
                    machine / "drive_c" / TOP))
                want[rel] = (want[rel][0], False)
        for attempt in ("first", "second"):
            said = undo(wine)
            if said[-1:] != ["Done. Restart Windows now."]:
                failures.append("%s run: ended with %r" % (attempt, said[-3:]))
            got = files_below(wine.host("C:\\") / TOP)
            for path in sorted(set(want) | set(got)):
                if want.get(path) != got.get(path):
                    failures.append("%s run: %s is not as before" % (attempt, path))
        if any(p.suffix.lower() == ".tmp" for p in wine.host("C:\\kit").iterdir()):
            failures.append("undo.bat left a file of its own in the kit")
        (wine.host("C:\\kit") / "files" / "2").unlink()
        said = undo(wine)
        if "Step 2 failed: see README.txt." not in said or "1 step failed." not in said or \
                any(l.startswith("Done.") for l in said):
            failures.append("a failed copy: undo.bat said %r" % said[-4:])
    finally:
        wine.kill_server()
    print("undo kit for a %d-character Windows directory, longest line %d: %s" % (
        len(WINDIR), longest, "FAIL" if failures else "pass"))
    for f in failures:
        print("  FAIL:", f)
    if not failures:
        shutil.rmtree(prefix, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
