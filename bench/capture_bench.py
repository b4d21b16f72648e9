#!/usr/bin/env python3
"""uninstall-sim on one large capture, against reading the capture once, in one run.

    capture_bench.py --sim uninstall-sim [--keys 120000] [--runs 5]

Makes the capture (make_big_capture.py), then takes turns: `sha256sum registry.reg` and
`uninstall-sim --undo kit CAPTURE`, RUNS times each. Prints the medians, the run's time
as a multiple of sha256sum's, and its peak memory (the largest resident set of any run)
as a multiple of the capture's bytes. Exits 1 if a run fails.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path


def timed(argv, cwd):
    """Wall seconds and peak resident bytes of one process."""
    start = time.perf_counter()
    proc = subprocess.Popen(argv, cwd=cwd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(proc.pid, 0)
    seconds = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit("%s failed: %s" % (argv[0], proc.stderr.read().decode(errors="replace")))
    proc.stderr.close()
    return seconds, usage.ru_maxrss * 1024


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--sim", required=True)
    parser.add_argument("--keys", type=int, default=120000)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args(argv)
    work = Path(tempfile.mkdtemp(prefix="capture-bench-"))
    try:
        capture = work / "big"
        subprocess.run([sys.executable, Path(__file__).with_name("make_big_capture.py"), capture,
                        "--keys", str(args.keys)], check=True, stdout=subprocess.DEVNULL)
        size = sum(p.stat().st_size for p in capture.rglob("*") if p.is_file())
        sha, sim, peak = [], [], 0
        for _ in range(args.runs):
            sha.append(timed(["sha256sum", "registry.reg"], capture)[0])
            shutil.rmtree(work / "kit", ignore_errors=True)
            seconds, resident = timed([Path(args.sim).resolve(), "--undo", "kit", "big"], work)
            sim.append(seconds)
            peak = max(peak, resident)
        sha_s, sim_s = statistics.median(sha), statistics.median(sim)
        print("capture: %d more keys, %.1f MB in all" % (args.keys, size / 1e6))
        print("sha256sum registry.reg: %.3f s (median of %d)" % (sha_s, args.runs))
        print("uninstall-sim --undo kit: %.3f s, %.1fx sha256sum; peak memory %.0f MB, %.2fx "
              "the capture" % (sim_s, sim_s / sha_s, peak / 1e6, peak / size))
    finally:
        shutil.rmtree(work, ignore_errors=True)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
