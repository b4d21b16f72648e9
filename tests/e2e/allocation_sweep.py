#!/usr/bin/env python3
"""Out of memory at every allocation of a real run, under Wine.

    allocation_sweep.py SCENARIO --work DIR --exe UnInstall-oom.exe

UnInstall-oom.exe is UnInstall.exe with a malloc in front of msvcrt's that fails the
allocation numbered by UNINSTALL_FAIL_ALLOCATION (fixtures/fail_allocation.c). The sweep
installs the scenario in a copy of the template prefix once, then for N = 1, 2, ... puts its
registry fixtures and files back and runs the program with allocation N failing, until a run
makes fewer than N allocations. Every run must:

  - end by itself with exit code 0: a box other than the final message would keep it waiting;
  - show the final message only when the failure came after it;
  - leave every fixture file either as it was or as a whole run leaves it (a patch is never
    half-written) and no temporary file beside them.
"""

import argparse
import shutil
import subprocess
import sys
from pathlib import Path

import e2e
import scenarios

MARKER = "C:\\e2e\\allocation-failed.txt"
LIMIT = 400  # far above the allocations of any scenario's run


def run_once(wine, n):
    """Runs the program with allocation n failing: (exit code or None, box shown, failed)."""
    marker = wine.host(MARKER)
    if marker.exists():
        marker.unlink()
    wine.env["UNINSTALL_FAIL_ALLOCATION"] = str(n)
    rc, box = e2e.run_answering_box(wine)
    return rc, box, marker.exists()


def sweep(name, work, exe):
    e2e.require_tools()
    scenario = scenarios.get(name)
    data = e2e.HERE / "data"
    run_dir, prefix = e2e.fresh_prefix(work, "oom-" + name)

    failures = []
    with e2e.Xvfb(run_dir / "xvfb.log") as x:
        wine = e2e.Wine(prefix, x.display, run_dir / "wine.log")
        try:
            shutil.copy2(exe, wine.host("C:\\e2e") / "UnInstall.exe")
            installed = scenario.install(wine, data)
            after = dict(scenario.file_expectations(data))
            folders = {wine.host(path).parent for path in installed}
            listing = {f: sorted(p.name for p in f.iterdir()) for f in folders}
            n = 0
            while n < LIMIT:
                n += 1
                rc, box, failed = run_once(wine, n)
                where = "allocation %d" % n if failed else "no failure (%d allocations)" % (n - 1)
                if rc != 0:
                    failures.append("%s: exit code %r, expected 0 (a box kept it waiting?)"
                                    % (where, rc))
                if not failed and not box:
                    failures.append("%s: the final message never appeared" % where)
                for path, (content, _) in installed.items():
                    host = wine.host(path)
                    now = host.read_bytes() if host.exists() else None
                    allowed = {content, after.get(path, content)}
                    if path in scenario.expect_deleted_files:
                        allowed.add(None)
                    if now not in allowed:
                        failures.append("%s: %s is neither as before nor as after a run"
                                        % (where, path))
                for folder, names in listing.items():
                    extra = sorted(set(p.name for p in folder.iterdir()) - set(names))
                    if extra:
                        failures.append("%s: left in %s: %s" % (where, folder, extra))
                        for stray in extra:
                            (folder / stray).unlink()
                e2e.log("%s: exit %r, final message %s" % (where, rc, "shown" if box else "not shown"))
                if not failed:
                    break
                scenario.install(wine, data)
            else:
                failures.append("still failing allocations after %d runs" % LIMIT)
        finally:
            wine.kill_server()

    for f in failures:
        e2e.log("FAIL:", f)
    e2e.log("scenario %s: %d allocations swept: %s" % (name, n - 1, "FAIL" if failures else "pass"))
    if not failures:
        shutil.rmtree(run_dir, ignore_errors=True)
    return 1 if failures else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", choices=scenarios.names())
    parser.add_argument("--work", required=True)
    parser.add_argument("--exe", required=True)
    args = parser.parse_args(argv)
    try:
        return sweep(args.scenario, Path(args.work).resolve(), Path(args.exe).resolve())
    except (e2e.HarnessError, subprocess.SubprocessError, OSError) as error:
        e2e.log("ERROR:", error)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
