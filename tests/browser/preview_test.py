#!/usr/bin/python3
"""preview.html in headless Chromium, opened from file://, against uninstall-sim.

    preview_test.py --page preview.html --sim uninstall-sim --examples DIR --artifacts DIR

Every example capture, given as a folder, a zip and a floppy image: the page's report must
be the command line's, its zip kit must unpack to the files, bytes and dates of --undo DIR,
and its image kit must be the bytes of --undo KIT.img. Then a hostile image must show the
command line's refusal, a capture whose device description is HTML must show it as text
and run nothing, and Chromium's network log must hold no request but the page's own.
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import NoAlertPresentException, TimeoutException
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

os.environ["TZ"] = "UTC"  # zip and FAT keep local time: the page's and unzip's must agree
time.tzset()
MTOOLS = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null")
XSS = "<img src=x onerror=alert(1)>"


def listing(folder):
    """Each file's path, bytes and date to FAT's and zip's even second."""
    return sorted((p.relative_to(folder).as_posix(), p.read_bytes(), int(p.stat().st_mtime) // 2)
                  for p in folder.rglob("*") if p.is_file())


def inputs(capture, into):
    """The capture as a folder, a zip and a floppy image, each named for it."""
    name = capture.name
    folder = into / "folder" / name
    shutil.copytree(capture, folder)
    zipped = into / "zip" / (name + ".zip")
    zipped.parent.mkdir()
    with zipfile.ZipFile(zipped, "w") as z:
        for path in sorted(folder.rglob("*")):
            z.write(path, path.relative_to(folder.parent).as_posix())
    image = into / "image" / (name + ".img")
    image.parent.mkdir()
    subprocess.run(["mformat", "-C", "-i", image, "-f", "1440", "::"], env=MTOOLS, check=True)
    subprocess.run(["mcopy", "-s", "-m", "-i", image, *sorted(folder.iterdir()), "::"],
                   env=MTOOLS, check=True)
    return {"folder": folder, "zip": zipped, "image": image}


def cli(sim, given, work):
    """uninstall-sim's report, kit folder and kit image for `given`, from where it lies;
    a zip is unpacked (keeping its dates) and the folder run."""
    run_dir = Path(tempfile.mkdtemp(dir=work))
    target = run_dir / given.name
    if given.suffix == ".zip":
        subprocess.run(["unzip", "-q", given, "-d", run_dir], check=True)
        target = run_dir / given.stem
    elif given.is_dir():
        shutil.copytree(given, target)
    else:
        shutil.copy2(given, target)
    report = subprocess.run([sim, "--undo", "kit", target.name], cwd=run_dir,
                            capture_output=True, text=True)
    subprocess.run([sim, "--undo", "kit.img", target.name], cwd=run_dir, capture_output=True)
    image = run_dir / "kit.img"
    return report, run_dir / "kit", image.read_bytes() if image.exists() else None


class Page:
    def __init__(self, url, downloads):
        options = webdriver.ChromeOptions()
        for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                    "--window-size=1024,768"):
            options.add_argument(arg)
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        self.driver = webdriver.Chrome(options=options)
        self.downloads = downloads
        self.driver.execute_cdp_cmd("Page.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": str(downloads)})
        self.driver.get(url)
        self.wait_state("ready")

    def wait_state(self, state, seconds=60):
        try:
            WebDriverWait(self.driver, seconds).until(
                lambda d: d.find_element(By.TAG_NAME, "body").get_attribute("data-state") == state)
        except TimeoutException:
            raise RuntimeError("the page did not get to %s: %s" % (state, self.text("status")))

    def open(self, kind, path):
        self.driver.execute_script("document.body.dataset.state = 'sent'")
        self.driver.find_element(By.ID, "folder" if kind == "folder" else "file").send_keys(
            str(path))
        self.wait_state("report")
        return self.driver.execute_script("return document.getElementById('report').textContent")

    def download(self, button, name):
        target = self.downloads / name
        target.unlink(missing_ok=True)
        self.driver.find_element(By.ID, button).click()
        WebDriverWait(self.driver, 60).until(lambda d: target.exists())
        time.sleep(0.2)
        return target

    def text(self, element_id):
        return self.driver.execute_script(
            "return document.getElementById(arguments[0]).textContent", element_id)


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ("--page", "--sim", "--examples", "--artifacts"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    page_path, sim = Path(args.page).resolve(), str(Path(args.sim).resolve())
    artifacts = Path(args.artifacts).resolve()
    artifacts.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="preview-test-"))
    failures = []
    page = Page(page_path.as_uri(), work / "downloads")
    try:
        for capture in sorted(Path(args.examples, "captures").iterdir()):
            for kind, given in inputs(capture, work / capture.name).items():
                what = "%s as a %s" % (capture.name, kind)
                report, kit, image = cli(sim, given, work)
                shown = page.open(kind, given)
                if shown != report.stdout:
                    failures.append("%s: the report is not the command line's" % what)
                    (artifacts / ("%s-%s.page.txt" % (capture.name, kind))).write_text(shown)
                    (artifacts / ("%s-%s.cli.txt" % (capture.name, kind))).write_text(
                        report.stdout + report.stderr)
                unpacked = work / ("unpacked-%s-%s" % (capture.name, kind))
                with zipfile.ZipFile(page.download("kit-zip", "undo-kit.zip")) as z:
                    z.extractall(unpacked)
                    for info in z.infolist():  # extractall does not keep dates
                        stamp = time.mktime(info.date_time + (0, 0, -1))
                        os.utime(unpacked / info.filename, (stamp, stamp))
                if listing(unpacked) != listing(kit):
                    failures.append("%s: the zip kit is not --undo DIR's" % what)
                if page.download("kit-img", "undo-kit.img").read_bytes() != image:
                    failures.append("%s: the image kit is not --undo KIT.img's" % what)
                if capture.name == "win98" and kind == "folder":
                    page.driver.execute_script("window.scrollTo(0, 0)")
                    page.driver.save_screenshot(str(artifacts / "preview-win98.png"))

        hostile = work / "hostile.img"
        shutil.copy(work / "win98" / "image" / "win98.img", hostile)
        os.truncate(hostile, 1000000)
        report, _, _ = cli(sim, hostile, work)
        page.open("image", hostile)
        if page.text("refused") != report.stderr.rstrip("\n"):
            failures.append("the hostile image: the page shows %r, the command line says %r"
                            % (page.text("refused"), report.stderr))

        xss = work / "xss" / "win98"
        shutil.copytree(Path(args.examples, "captures", "win98"), xss)
        registry = xss / "registry.reg"
        registry.write_bytes(registry.read_bytes().replace(
            b'"DeviceDesc"="USB Card Reader"', b'"DeviceDesc"="' + XSS.encode() + b'"'))
        page.open("folder", xss)
        try:
            page.driver.switch_to.alert
            failures.append("the capture's HTML ran a script")
        except NoAlertPresentException:
            pass
        if XSS not in page.text("groups") or page.driver.find_elements(By.TAG_NAME, "img"):
            failures.append("the capture's HTML is not shown as text")

        requests = set()
        for entry in page.driver.get_log("performance"):
            if '"Network.requestWillBeSent"' in entry["message"]:
                url = entry["message"].split('"url":"', 1)[1].split('"', 1)[0]
                requests.add(url if url.startswith("file:") else url.split(":", 1)[0] + ":")
        if requests - {page_path.as_uri(), "blob:"}:
            failures.append("requests other than the page's own: %s" % sorted(requests))
        print("network log: %s" % ", ".join(sorted(requests)))
    finally:
        page.driver.quit()
    for f in failures:
        print("FAIL:", f)
    print("preview.html in Chromium: %s" % ("FAIL" if failures else "pass"))
    shutil.rmtree(work, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
