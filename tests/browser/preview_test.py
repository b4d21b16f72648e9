#!/usr/bin/python3
"""preview.html in headless Chromium, opened from file://, against uninstall-sim.

    preview_test.py --page preview.html --sim uninstall-sim --examples DIR --artifacts DIR

Every example capture, given as a folder, a zip and a floppy image: the page's report must
be the JSON of `uninstall-sim --json --undo KIT.zip -- NAME`, its groups must hold each change
of that JSON in the group of its kind, and its kits must be the bytes of --undo KIT.zip and
--undo KIT.img. Then inputs past the limits (and a folder named --version) must get the
command line's answer, a hostile image its refusal, a capture whose device description is
HTML must show it as text and run nothing, and Chromium's network log must hold no request
but the page's own.
"""

import argparse
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import time
import zipfile
from pathlib import Path

from selenium import webdriver
from selenium.common.exceptions import (NoAlertPresentException, TimeoutException,
                                        UnexpectedAlertPresentException)
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

os.environ["TZ"] = "UTC"  # zip and FAT keep local time: the page's and the command line's agree
time.tzset()
MTOOLS = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null")
XSS = "<img src=x onerror=alert(1)>"

# The page's group for each kind of change, and the field that names what changed.
GROUP_OF = {
    "removed-device": ("Devices removed", "device"),
    "deleted-key": ("Keys deleted", "key"),
    "created-key": ("Keys created", "key"),
    "set-value": ("Values set or emptied", "key"),
    "deleted-value": ("Values set or emptied", "key"),
    "deleted-file": ("Files deleted", "path"),
    "changed-file": ("Files changed", "path"),
    "created-file": ("Files changed", "path"),
    "attributes": ("Files changed", "path"),
    "message-box": ("Message, Windows Installer and the companion window", "text"),
    "started": ("Message, Windows Installer and the companion window", "path"),
    "removed-product": ("Message, Windows Installer and the companion window", "product"),
    "closed-window": ("Message, Windows Installer and the companion window", "title"),
}

GROUPS_JS = """
return Array.from(document.querySelectorAll('#groups section.group')).map((s) => ({
  title: s.querySelector('h2').textContent,
  items: Array.from(s.querySelector('ul').children).map((li) => ({
    change: Number(li.dataset.change), text: li.firstChild.textContent,
    lines: Array.from(li.querySelectorAll('.lines li')).map((l) => l.textContent)}))}));
"""


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


def cli(sim, given, work, kit="kit.zip", *options):
    """uninstall-sim run as the page runs it: from the folder `given` lies in, with `--`
    before its name. Returns the run and the kit's bytes (None when none was written)."""
    out = Path(tempfile.mkdtemp(dir=work)) / kit
    run = subprocess.run([sim, *options, "--undo", out, "--", given.name], cwd=given.parent,
                         capture_output=True, text=True)
    return run, out.read_bytes() if out.exists() else None


def same_report(page_json, cli_json):
    """The two reports, equal but for the kit's path, which each run chose."""
    try:
        page, line = json.loads(page_json), json.loads(cli_json)
    except ValueError:
        return False
    for r in (page, line):
        r.get("kit", {}).pop("path", None)
    return page == line


def lines_shown(lines, shown):
    """Each changed line as it was, then as it will be."""
    return len(shown) == 2 * len(lines) and all(
        l["before"] in shown[2 * k] and l["after"] in shown[2 * k + 1] for k, l in enumerate(lines))


def group_faults(report, shown):
    """How the page's groups differ from the report's changes: each change in the group of
    its kind, named by its field, with a changed file's lines; each group's count its own."""
    faults = []
    where = {item["change"]: (group["title"], item) for group in shown for item in group["items"]}
    expected = {}
    for i, change in enumerate(report["changes"]):
        title, field = GROUP_OF[change["kind"]]
        expected[title] = expected.get(title, 0) + 1
        at, item = where.get(i, (None, None))
        if at is None or not at.startswith(title + " ("):
            faults.append("change %d (%s) is in %r, not in %s" % (i, change["kind"], at, title))
        elif change[field] not in item["text"]:
            faults.append("change %d shows %r, without %r" % (i, item["text"], change[field]))
        elif not lines_shown(change.get("lines", []), item["lines"]):
            faults.append("change %d shows the lines %s" % (i, item["lines"]))
    counts = {g["title"]: len(g["items"]) for g in shown}
    if counts != {"%s (%d)" % (t, n): n for t, n in expected.items()}:
        faults.append("the groups are %s where the report has %s" % (counts, expected))
    return faults


def crafted_zip(path, entries):
    """A zip of stored entries (name, declared size, bytes) whose headers declare the size
    given, whatever the bytes that follow: a zip bomb's promise without its weight."""
    body, central = b"", b""
    for name, size, data in entries:
        name = name.encode()
        fields = struct.pack("<HHHHHIIIHH", 20, 0, 0, 0, 0x21, 0, size, size, len(name), 0)
        central += (b"PK\1\2" + struct.pack("<H", 20) + fields +
                    struct.pack("<HHHII", 0, 0, 0, 0, len(body)) + name)
        body += b"PK\3\4" + fields + name + data
    end = struct.pack("<HHHHIIH", 0, 0, len(entries), len(entries), len(central), len(body), 0)
    path.write_bytes(body + central + b"PK\5\6" + end)
    return path


def many_entries_zip(path, count):
    with zipfile.ZipFile(path, "w") as z:
        z.writestr("many/registry.reg", "REGEDIT4\r\n")
        for i in range(count - 1):
            z.writestr("many/%d" % i, "")
    return path


def deep_folder(path, capture, depth):
    shutil.copytree(capture, path)
    (path.joinpath(*["d"] * depth)).mkdir(parents=True)
    path.joinpath(*["d"] * depth, "bottom.txt").write_text("deep")
    return path


def big_folder(path, capture):
    """The capture with a sparse file that takes it past 1 GiB: read whole, it would take the
    tab a second and a gigabyte."""
    shutil.copytree(capture, path)
    with open(path / "big.bin", "wb") as f:
        f.truncate((1 << 30) + 1)
    return path


# Inputs past the limits, as data: how to make it in a folder, how to give it to the page,
# and the words the refusal must hold (None: a report, as the command line gives).
LIMITS = [
    ("a zip declaring a 2 GiB entry", "file",
     lambda d, c: crafted_zip(d / "bomb.zip", [("bomb/registry.reg", 1 << 31, b"REGEDIT4")]),
     "would unpack to 2147483648 bytes"),
    ("a zip of 65537 entries", "file", lambda d, c: many_entries_zip(d / "many.zip", 65537),
     "65537 entries"),
    ("a zip 512 folders deep", "file",
     lambda d, c: crafted_zip(d / "deep.zip", [("d/" * 512 + "registry.reg", 0, b"")]),
     "more than 511 deep"),
    ("a folder 512 folders deep", "folder", lambda d, c: deep_folder(d / "deep", c, 512),
     "more than 511 deep"),
    ("a folder of more than 1 GiB", "folder", lambda d, c: big_folder(d / "big", c),
     "more than 1024 MiB in all"),
    ("a folder named --version", "folder", lambda d, c: shutil.copytree(c, d / "--version"),
     None),
]


def drop_lines(path, words):
    path.write_bytes(b"".join(l for l in path.read_bytes().splitlines(True) if words not in l))


def icons_untried(capture):
    for name in ("captured.txt", "tried.txt"):
        drop_lines(capture / name, b"DriveIcons")


def package_gone(capture):
    (capture / "registry.reg").write_bytes(b"REGEDIT4\r\n\r\n")
    shutil.rmtree(capture / "windir")
    (capture / "windir").mkdir()  # a chosen folder comes without its empty folders
    (capture / "windir" / "win.ini").write_text("[windows]\r\n")


# Copies of the win98 capture that the preview must warn about, as data: what to do to it.
WARNED = [
    ("without attrib.txt", lambda c: (c / "attrib.txt").unlink()),
    ("with DriveIcons neither captured nor tried", icons_untried),
    ("without the package", package_gone),
]


def warning_faults(report, shown):
    """The page's warnings against the report's: each warning note, each key read outside
    the capture, and nothing to undo, in that order."""
    expected = [n["text"] for n in report["notes"] if n["warning"]]
    expected += [key for key in report["readOutsideCapture"]]
    expected += ["nothing to undo"] if report["nothingToUndo"] else []
    if not expected:
        return ["the report warns of nothing"]
    if len(shown) != len(expected) or any(e not in s for e, s in zip(expected, shown)):
        return ["the page warns %s where the report has %s" % (shown, expected)]
    return []


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

    def wait_state(self, *states, seconds=60):
        body = lambda: self.driver.find_element(By.TAG_NAME, "body").get_attribute("data-state")
        try:
            WebDriverWait(self.driver, seconds).until(lambda d: body() in states)
        except TimeoutException:
            raise RuntimeError("the page did not get to %s: %s" % (states, self.text("status")))
        return body()

    def open(self, kind, path):
        """The JSON the page shows for `path`, "" when it shows a refusal, and the status
        line in place of JSON when the run failed."""
        self.driver.execute_script("document.body.dataset.state = 'sent'")
        self.driver.find_element(By.ID, "folder" if kind == "folder" else "file").send_keys(
            str(path))
        if self.wait_state("report", "failed") == "failed":
            return self.text("status")
        return self.text("report")

    def download(self, button, name):
        target = self.downloads / name
        target.unlink(missing_ok=True)
        self.driver.find_element(By.ID, button).click()
        WebDriverWait(self.driver, 60).until(lambda d: target.exists())
        time.sleep(0.2)
        return target.read_bytes()

    def trace(self):
        """The calls the page shows once its details are opened."""
        self.driver.execute_script("document.getElementById('calls').open = true")
        WebDriverWait(self.driver, 60).until(
            lambda d: not self.text("trace").startswith("Running it again"))
        return self.text("trace")

    def text(self, element_id):
        return self.driver.execute_script(
            "return document.getElementById(arguments[0]).textContent", element_id)


def check_example(page, sim, capture, work, artifacts):
    failures = []
    for kind, given in inputs(capture, work / capture.name).items():
        what = "%s as a %s" % (capture.name, kind)
        report, kit = cli(sim, given, work, "kit.zip", "--json")
        _, image = cli(sim, given, work, "kit.img")
        shown = page.open(kind, given)
        if report.returncode != 0 or not same_report(shown, report.stdout):
            failures.append("%s: the report is not the command line's" % what)
            (artifacts / ("%s-%s.page.json" % (capture.name, kind))).write_text(shown)
            (artifacts / ("%s-%s.cli.json" % (capture.name, kind))).write_text(
                report.stdout + report.stderr)
            continue
        parsed = json.loads(report.stdout)
        failures += ["%s: %s" % (what, f)
                     for f in group_faults(parsed, page.driver.execute_script(GROUPS_JS))]
        if parsed["machine"]["windowsDirectory"] not in page.text("machine"):
            failures.append("%s: the machine line is %r" % (what, page.text("machine")))
        if page.download("kit-zip", "undo-kit.zip") != kit:
            failures.append("%s: the zip kit is not --undo KIT.zip's" % what)
        if page.download("kit-img", "undo-kit.img") != image:
            failures.append("%s: the image kit is not --undo KIT.img's" % what)
        if capture.name == "win98" and kind == "folder":
            page.driver.execute_script("window.scrollTo(0, 0)")
            page.driver.save_screenshot(str(artifacts / "preview-win98.png"))
            if calls(page.trace()) != calls(cli_trace(sim, given)):
                failures.append("%s: the calls shown are not --trace's" % what)
    return failures


def cli_trace(sim, given):
    run = subprocess.run([sim, "--dry-run", "--trace", "--", given.name], cwd=given.parent,
                         capture_output=True, text=True)
    return run.stderr


def calls(trace):
    """The functions called, in order: a structure's size differs between the 32-bit page
    (as on Windows) and a 64-bit command line."""
    return [line.split("(", 1)[0] for line in trace.splitlines()]


def check_answer(page, sim, kind, given, work, words):
    """The page answers `given` as the command line does: the same refusal, or a report."""
    report, _ = cli(sim, given, work, "kit.zip", "--json")
    shown = page.open(kind, given)
    # A folder's refusal names its path: the command line's from where it ran, the page's
    # from its working folder /input.
    expected = report.stderr.rstrip("\n").replace(str(given.parent), "/input")
    if words is None:
        if report.returncode != 0 or not same_report(shown, report.stdout):
            return ["the page's report is not the command line's (exit %d: %s)"
                    % (report.returncode, report.stderr.strip())]
        return []
    if report.returncode != 2 or words not in report.stderr:
        return ["the command line says (exit %d) %r, not %r"
                % (report.returncode, report.stderr, words)]
    if shown or page.text("refused") != expected:
        return ["the page shows %r, the command line says %r" % (page.text("refused"), expected)]
    return []


def check_warnings(page, sim, examples, work):
    failures = []
    for name, change in WARNED:
        given = Path(tempfile.mkdtemp(dir=work)) / "win98"
        shutil.copytree(examples / "captures" / "win98", given)
        change(given)
        faults = check_answer(page, sim, "folder", given, work, None)
        if not faults:
            faults = warning_faults(json.loads(page.text("report")), page.driver.execute_script(
                "return Array.from(document.querySelectorAll('#warnings li'), (l) => l.textContent)"))
        failures += ["the capture %s: %s" % (name, f) for f in faults]
    return failures


def check_xss(page, examples, work):
    xss = work / "xss" / "win98"
    shutil.copytree(examples / "captures" / "win98", xss)
    registry = xss / "registry.reg"
    registry.write_bytes(registry.read_bytes().replace(
        b'"DeviceDesc"="USB Card Reader"', b'"DeviceDesc"="' + XSS.encode() + b'"'))
    try:
        page.open("folder", xss)
        page.driver.switch_to.alert.accept()
    except NoAlertPresentException:
        pass
    except UnexpectedAlertPresentException:
        return ["the capture's HTML ran a script"]
    else:
        return ["the capture's HTML ran a script"]
    if XSS not in page.text("groups") or page.driver.find_elements(By.TAG_NAME, "img"):
        return ["the capture's HTML is not shown as text"]
    return []


def requests_made(page):
    requests = set()
    for entry in page.driver.get_log("performance"):
        if '"Network.requestWillBeSent"' in entry["message"]:
            url = entry["message"].split('"url":"', 1)[1].split('"', 1)[0]
            requests.add(url if url.startswith("file:") else url.split(":", 1)[0] + ":")
    return requests


def main(argv):
    parser = argparse.ArgumentParser()
    for option in ("--page", "--sim", "--examples", "--artifacts"):
        parser.add_argument(option, required=True)
    args = parser.parse_args(argv)
    page_path, sim = Path(args.page).resolve(), str(Path(args.sim).resolve())
    examples, artifacts = Path(args.examples), Path(args.artifacts).resolve()
    artifacts.mkdir(parents=True, exist_ok=True)
    work = Path(tempfile.mkdtemp(prefix="preview-test-"))
    failures = []
    page = Page(page_path.as_uri(), work / "downloads")
    try:
        for capture in sorted((examples / "captures").iterdir()):
            failures += check_example(page, sim, capture, work, artifacts)

        for name, kind, make, words in LIMITS:
            into = Path(tempfile.mkdtemp(dir=work))
            given = make(into, examples / "captures" / "win98")
            failures += ["%s: %s" % (name, f)
                         for f in check_answer(page, sim, kind, given, work, words)]
            print("limits: %s: %s" % (name, "refused" if words else "a report"))

        failures += check_warnings(page, sim, examples, work)
        hostile = work / "hostile.img"
        shutil.copy(work / "win98" / "image" / "win98.img", hostile)
        os.truncate(hostile, 1000000)
        failures += ["the hostile image: " + f
                     for f in check_answer(page, sim, "image", hostile, work, "truncated")]
        failures += check_xss(page, examples, work)

        requests = requests_made(page)
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
