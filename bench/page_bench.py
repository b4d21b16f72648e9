#!/usr/bin/python3
"""preview.html against the command line on one large capture, in one run on one machine.

    page_bench.py --page preview.html --sim uninstall-sim [--keys 120000]

Makes the capture (make_big_capture.py), times on it the run the page makes
(`uninstall-sim --json --undo kit.zip -- big`), then in headless Chromium: page load to ready,
and choosing the capture folder to the report shown, with the tab's peak memory (the largest
VmHWM of Chromium's renderer processes) as a multiple of the capture's bytes, and the same
less what an empty tab (about:blank) peaks at, Chromium's own.
"""

import argparse
import subprocess
import sys
import tempfile
import time
from pathlib import Path

from selenium import webdriver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait


def state(driver, want, seconds=600):
    WebDriverWait(driver, seconds, poll_frequency=0.02).until(
        lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") == want)


def renderer_peak_kib():
    peak = 0
    for proc in Path("/proc").iterdir():
        try:
            if b"--type=renderer" in (proc / "cmdline").read_bytes():
                for line in (proc / "status").read_text().splitlines():
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]))
        except OSError:
            pass
    return peak


def main(argv):
    parser = argparse.ArgumentParser()
    parser.add_argument("--page", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--keys", type=int, default=120000)
    args = parser.parse_args(argv)
    work = Path(tempfile.mkdtemp(prefix="page-bench-"))
    capture = work / "big"
    subprocess.run([sys.executable, Path(__file__).with_name("make_big_capture.py"), capture,
                    "--keys", str(args.keys)], check=True)
    start = time.perf_counter()
    subprocess.run([Path(args.sim).resolve(), "--json", "--undo", work / "kit.zip", "--", capture.name],
                   cwd=work, check=True, capture_output=True)
    cli = time.perf_counter() - start

    options = webdriver.ChromeOptions()
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(arg)
    driver = webdriver.Chrome(options=options)
    try:
        driver.get("about:blank")
        blank = renderer_peak_kib()
    finally:
        driver.quit()
    driver = webdriver.Chrome(options=options)
    try:
        start = time.perf_counter()
        driver.get(Path(args.page).resolve().as_uri())
        state(driver, "ready")
        ready = time.perf_counter() - start
        driver.execute_script("document.body.dataset.state = 'sent'")
        start = time.perf_counter()
        driver.find_element(By.ID, "folder").send_keys(str(capture))
        state(driver, "report")
        page = time.perf_counter() - start
        peak = renderer_peak_kib()
        refused = driver.execute_script("return document.getElementById('refused').textContent")
        if refused:
            sys.exit("the page refused the capture: " + refused)
    finally:
        driver.quit()
    size = sum(p.stat().st_size for p in capture.rglob("*") if p.is_file())
    print("capture: %d more keys, %.1f MB in all" % (args.keys, size / 1e6))
    print("uninstall-sim --json --undo kit.zip: %.2f s" % cli)
    print("page: load to ready %.2f s; capture chosen to report shown %.2f s (%.1fx the "
          "command line)" % (ready, page, page / cli))
    print("tab's peak memory %d MiB, %.1fx the capture; an empty tab's %d MiB; the page's own "
          "%d MiB, %.1fx the capture" % (peak // 1024, peak * 1024 / size, blank // 1024,
                                         (peak - blank) // 1024, (peak - blank) * 1024 / size))
    subprocess.run(["rm", "-rf", work])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
