#!/usr/bin/env python3
"""End-to-end runs of UnInstall.exe under Wine.

    e2e.py template --work DIR --fixtures DIR --wxs FILE
        Makes the template prefix DIR/template once per test run: a fresh 32-bit prefix with
        the companion MSI installed and the fixture programs copied to C:\\e2e.

    e2e.py run SCENARIO --work DIR --artifacts DIR --exe UnInstall.exe
        Copies the template to a prefix of its own, installs the scenario's fixture, runs
        the program under its own Xvfb display, answers the final message box (keeping a
        screenshot of it) and checks what the run left on the machine.

    e2e.py diff SCENARIO --work DIR --sim uninstall-sim
        Runs the scenario's machine in the simulator and compares its result with the result
        that `run` kept of the Wine run (differential.py).
"""

import argparse
import os
import select
import shutil
import subprocess
import sys
import time
from pathlib import Path

import differential
import scenarios
import winreg_export

HERE = Path(__file__).resolve().parent
PRODUCT_CODE = "{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"
COMPANION_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE
COMPANION_FILE = "Program Files/Quorbe/readme.txt"  # below drive_c
BOX_TITLE = " Success!"
BOX_TEXT = "UnInstall finished!"
TOOLS = ["wine", "wineserver", "Xvfb", "import", "identify", "timeout"]


class HarnessError(Exception):
    """The harness itself could not do its job (not a finding about the program)."""


def log(*args):
    print(*args, flush=True)


def require_tools(extra=()):
    missing = [t for t in list(TOOLS) + list(extra) if shutil.which(t) is None]
    if missing:
        raise HarnessError("missing tools: " + ", ".join(missing))


class Xvfb:
    """A private X display, numbered by Xvfb itself (-displayfd) so parallel runs never clash."""

    def __init__(self, logfile):
        self.logfile = logfile
        self.proc = None
        self.display = None

    def __enter__(self):
        read_end, write_end = os.pipe()
        with open(self.logfile, "ab") as out:
            self.proc = subprocess.Popen(
                ["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                 "-nolisten", "tcp"],
                pass_fds=(write_end,), stdout=out, stderr=out, stdin=subprocess.DEVNULL)
        os.close(write_end)
        number = b""
        deadline = time.time() + 30
        while not number.endswith(b"\n"):
            ready, _, _ = select.select([read_end], [], [], max(0.1, deadline - time.time()))
            if not ready or time.time() > deadline:
                break
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip():
            self.__exit__(None, None, None)
            raise HarnessError("Xvfb did not report a display")
        self.display = ":" + number.decode().strip()
        return self

    def __exit__(self, *exc):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()


class Wine:
    """Runs programs in one 32-bit prefix on one display."""

    def __init__(self, prefix, display, logfile):
        self.prefix = Path(prefix)
        self.logfile = logfile
        self.env = {k: v for k, v in os.environ.items() if not k.startswith("WINE")}
        self.env.update(WINEPREFIX=str(self.prefix), WINEARCH="win32", WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", TZ="UTC", DISPLAY=display)

    def host(self, windows_path):
        """Host path of a C:\\ path (components matched without regard to case)."""
        return differential.host_path(self.prefix / "drive_c", windows_path)

    def run(self, args, timeout=120, check=True, capture=False):
        with open(self.logfile, "ab") as out:
            out.write(("$ wine %s\n" % " ".join(args)).encode())
            out.flush()
            proc = subprocess.run(["wine"] + list(args), env=self.env, timeout=timeout,
                                  stdin=subprocess.DEVNULL,
                                  stdout=subprocess.PIPE if capture else out, stderr=out)
        if check and proc.returncode != 0:
            raise HarnessError("wine %s exited with %d" % (" ".join(args), proc.returncode))
        return proc

    def popen(self, args, **kwargs):
        out = open(self.logfile, "ab")
        kwargs.setdefault("stdout", out)
        kwargs.setdefault("stdin", subprocess.DEVNULL)
        return subprocess.Popen(["wine"] + list(args), env=self.env, stderr=out, **kwargs)

    def reg_add(self, key, name, data, vtype="REG_SZ"):
        self.run(["reg", "add", key, "/v", name, "/t", vtype, "/d", data, "/f"])

    def import_reg(self, reg_file):
        self.run(["regedit", "/S", str(reg_file)])

    def export_hklm(self, out_file):
        self.run(["regedit", "/E", str(out_file), "HKEY_LOCAL_MACHINE"])
        return winreg_export.read_export(out_file)

    def wait_server(self, seconds=60):
        """Waits until every process of the prefix has ended; True when it did in time."""
        rc = subprocess.run(["timeout", str(seconds), "wineserver", "-w"], env=self.env).returncode
        return rc == 0

    def kill_server(self):
        subprocess.run(["wineserver", "-k"], env=self.env, stderr=subprocess.DEVNULL)
        subprocess.run(["timeout", "30", "wineserver", "-w"], env=self.env)


# ---------------------------------------------------------------------------------------------
# Template prefix


def make_template(work, fixtures, wxs):
    require_tools(["wixl"])
    work = Path(work)
    template = work / "template"
    if template.exists():
        shutil.rmtree(template)
    work.mkdir(parents=True, exist_ok=True)
    logfile = work / "template.log"
    logfile.write_bytes(b"")
    with Xvfb(logfile) as x:
        wine = Wine(template, x.display, logfile)
        try:
            wine.run(["wineboot", "--init"], timeout=300)
            wine.wait_server(120)
            # Windows get a title bar without a window manager.
            wine.reg_add("HKCU\\Software\\Wine\\X11 Driver", "Managed", "N")
            wine.reg_add("HKCU\\Software\\Wine\\WineDbg", "ShowCrashDialog", "0", "REG_DWORD")

            msi = work / "companion.msi"
            subprocess.run(["wixl", "-o", str(msi), str(Path(wxs).resolve())],
                           cwd=str(Path(wxs).resolve().parent), check=True)
            wine.run(["msiexec", "/i", str(msi), "/qn"], timeout=180)
            query = wine.run(["reg", "query", "HKLM\\" + COMPANION_KEY], check=False)
            if query.returncode != 0 or not (template / "drive_c" / COMPANION_FILE).is_file():
                raise HarnessError("the companion MSI did not install")

            tools = wine.host("C:\\e2e")
            tools.mkdir(parents=True, exist_ok=True)
            for name in ("quorbe.exe", "probe.exe"):
                shutil.copy2(Path(fixtures) / name, tools / name)
            if not wine.wait_server(60):
                raise HarnessError("template prefix did not settle")
        finally:
            wine.kill_server()
    (template / ".complete").write_text("ok\n")
    log("template prefix ready:", template)
    return 0


# ---------------------------------------------------------------------------------------------
# One scenario


class Findings:
    def __init__(self):
        self.failures = []
        self.notes = []

    def check(self, ok, message):
        if not ok:
            self.failures.append(message)
        return ok

    def note(self, message):
        self.notes.append(message)


def read_probe(proc, deadline):
    """Reads the box probe's lines until it waits for its answer or ends."""
    lines = []
    fd = proc.stdout.fileno()
    buffer = b""
    while time.time() < deadline:
        ready, _, _ = select.select([fd], [], [], 0.5)
        if not ready:
            if proc.poll() is not None:
                break
            continue
        chunk = os.read(fd, 4096)
        if not chunk:
            break
        buffer += chunk
        while b"\n" in buffer:
            line, buffer = buffer.split(b"\n", 1)
            line = line.decode("latin-1").rstrip("\r")
            lines.append(line)
            if line in ("box waiting", "box none"):
                return lines
    return lines


def fresh_prefix(work, name):
    """work/NAME made anew with a copy of the template prefix in it: (folder, prefix)."""
    template = Path(work) / "template"
    if not (template / ".complete").is_file():
        raise HarnessError("no template prefix in %s (run the template step first)" % work)
    run_dir = Path(work) / name
    if run_dir.exists():
        shutil.rmtree(run_dir)
    run_dir.mkdir(parents=True)
    prefix = run_dir / "prefix"
    subprocess.run(["cp", "-a", str(template), str(prefix)], check=True)
    return run_dir, prefix


def run_answering_box(wine, seconds=60):
    """Runs UnInstall.exe, answering the final message box if it shows one; waits until the
    prefix is idle. Returns (exit code or None when it did not end in time, box shown)."""
    probe = wine.popen(["C:\\e2e\\probe.exe", "box", BOX_TITLE, str(seconds)],
                       stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    program = wine.popen(["C:\\e2e\\UnInstall.exe"])
    box = False
    pending = b""
    deadline = time.time() + seconds
    while program.poll() is None and time.time() < deadline:
        ready, _, _ = select.select([probe.stdout.fileno()], [], [], 0.2)
        if ready:
            pending += os.read(probe.stdout.fileno(), 4096)
            if not box and b"box waiting" in pending:
                box = True
                probe.stdin.write(b"answer\n")
                probe.stdin.flush()
    rc = program.poll()
    for proc in (program, probe):
        if proc.poll() is None:
            proc.kill()
        proc.wait()
    wine.wait_server(60)
    return rc, box


def list_devices(wine):
    proc = wine.run(["C:\\e2e\\probe.exe", "devices"], capture=True, timeout=60)
    devices = {}
    for line in proc.stdout.decode("latin-1").splitlines():
        parts = line.strip().split(" ")
        if len(parts) == 3 and parts[0] == "device":
            devices[parts[1]] = parts[2]
    return devices


def check_box(findings, probe_lines, probe_rc, expected_checks):
    lines = probe_lines
    if not findings.check("box appeared" in lines, "the \"%s\" message box never appeared"
                          % BOX_TITLE):
        return
    owner = next((l[len("box process "):] for l in lines if l.startswith("box process ")), "")
    findings.check(owner.lower().endswith("\\uninstall.exe"),
                   "the message box belongs to %r, not to UnInstall.exe" % owner)
    controls = [l[len("box control "):] for l in lines if l.startswith("box control ")]
    statics = [c.split(" ", 2) for c in controls if c.lower().startswith("static ")]
    buttons = [c.split(" ", 2) for c in controls if c.lower().startswith("button ")]
    findings.check(any(len(s) == 3 and s[2] == BOX_TEXT for s in statics),
                   "message box text is not %r: %r" % (BOX_TEXT, controls))
    findings.check([(b[1], b[2] if len(b) > 2 else "") for b in buttons] == [("1", "OK")],
                   "message box should have exactly one OK button (MB_OK): %r" % buttons)
    seen = {}
    for l in lines:
        if l.startswith("check "):
            name, _, state = l[len("check "):].rpartition(" ")
            seen[name] = state
    for name, want in expected_checks.items():
        findings.check(seen.get(name) == ("1" if want else "0"),
                       "while the message box was shown, %s should be %s (probe said %r)"
                       % (name, "present" if want else "absent", seen.get(name)))
    findings.check("box answered" in lines and probe_rc == 0,
                   "the message box was not answered (probe exit %r, output %r)"
                   % (probe_rc, lines[-3:]))


def check_registry(findings, scenario, pre, post):
    """Everything below the scenario's watched keys must be as before, except the expected
    deletions and value changes, which must all have happened."""
    watched = scenario.watched_keys
    deleted = scenario.expect_deleted_keys
    values = {(k.lower(), n.lower()): v for (k, n), v in scenario.expect_values.items()}
    spelled = {(k.lower(), n.lower()): "%s\\%s" % (k, n or "@")
               for (k, n) in scenario.expect_values}

    for key in deleted:
        findings.check(key.lower() in pre, "fixture does not create key %s" % key)
    for (key, name), value in values.items():
        before = pre.get(key, winreg_export.RegKey(key)).values.get(name, (name, None))[1]
        findings.check(before != value, "fixture already holds %s = %s" %
                       (spelled[key, name], winreg_export.describe(value)))

    def is_deleted(path):
        return any(winreg_export.under(path, d) for d in deleted)

    for path, key in sorted(pre.items()):
        if not any(winreg_export.under(path, w) for w in watched):
            continue
        after = post.get(path)
        if is_deleted(path):
            findings.check(after is None, "key should have been deleted: %s" % key.path)
            continue
        if not findings.check(after is not None, "key should still exist: %s" % key.path):
            continue
        for lname, (name, value) in key.values.items():
            if (path, lname) in values:
                continue
            got = after.values.get(lname, (name, None))[1]
            findings.check(got == value, "value %s\\%s changed: %s -> %s" % (
                key.path, name or "@", winreg_export.describe(value),
                winreg_export.describe(got)))
        for lname, (name, value) in after.values.items():
            if lname not in key.values and (path, lname) not in values:
                findings.check(False, "unexpected new value %s\\%s = %s" % (
                    key.path, name or "@", winreg_export.describe(value)))

    for path, key in sorted(post.items()):
        if path not in pre and any(winreg_export.under(path, w) for w in watched):
            findings.check(False, "unexpected new key: %s" % key.path)

    for (key, name), value in sorted(values.items()):
        got = post.get(key, winreg_export.RegKey(key)).values.get(name, (name, None))[1]
        findings.check(got == value, "%s should be %s, is %s" % (
            spelled[key, name], winreg_export.describe(value), winreg_export.describe(got)))


def check_files(findings, scenario, wine, installed):
    deleted = {p.lower() for p in scenario.expect_deleted_files}
    expected_bytes = scenario.file_expectations(HERE / "data")
    changed = {p.lower(): b for p, b in expected_bytes.items()}
    for path in list(scenario.expect_deleted_files) + list(expected_bytes):
        findings.check(path.lower() in {p.lower() for p in installed},
                       "fixture does not install %s" % path)
    for path, (data, _) in sorted(installed.items()):
        host = wine.host(path)
        if path.lower() in deleted:
            findings.check(not host.exists(), "file should have been deleted: %s" % path)
        elif not findings.check(host.is_file(), "file should still exist: %s" % path):
            pass
        elif path.lower() in changed:
            want = changed[path.lower()]
            got = host.read_bytes()
            findings.check(got == want, "%s has %d bytes that differ from the expected %d "
                           "bytes; first difference at offset %s" % (
                               path, len(got), len(want), first_difference(got, want)))
        else:
            findings.check(host.read_bytes() == data, "file changed: %s" % path)


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b)) if len(a) != len(b) else None


def check_devices(findings, scenario, pre, post):
    def ours(devices):
        return {i: g for i, g in devices.items()
                if i.split("\\", 1)[0].upper() in scenario.device_enumerators}

    pre, post = ours(pre), ours(post)
    for dev in scenario.expect_removed_devices:
        findings.check(dev in pre, "fixture device not listed before the run: %s" % dev)
    want = {i: g for i, g in pre.items() if i not in scenario.expect_removed_devices}
    for dev in sorted(set(want) - set(post)):
        findings.check(False, "device should still be present: %s" % dev)
    for dev in sorted(set(post) - set(want)):
        findings.check(False, "device should have been removed: %s" % dev)


def screenshot(display, out_png, findings):
    rc = subprocess.run(["import", "-display", display, "-window", "root", str(out_png)],
                        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
    if not findings.check(rc == 0 and out_png.is_file(), "screenshot failed"):
        return
    colours = subprocess.run(["identify", "-format", "%k", str(out_png)],
                             capture_output=True, text=True).stdout.strip()
    findings.check(colours.isdigit() and int(colours) > 2,
                   "the screenshot is blank (%s colours)" % colours)


def run_scenario(name, work, artifacts, exe):
    require_tools()
    scenario = scenarios.get(name)
    template = Path(work) / "template"
    if not (template / ".complete").is_file():
        raise HarnessError("no template prefix in %s (run the template step first)" % work)
    run_dir = Path(work) / name
    prefix = run_dir / "prefix"
    out_dir = Path(artifacts) / name
    for d in (run_dir, out_dir):
        if d.exists():
            shutil.rmtree(d)
        d.mkdir(parents=True)
    logfile = run_dir / "wine.log"
    subprocess.run(["cp", "-a", str(template), str(prefix)], check=True)

    findings = Findings()
    started = time.time()
    with Xvfb(run_dir / "xvfb.log") as x:
        wine = Wine(prefix, x.display, logfile)
        quorbe = probe = program = None
        try:
            shutil.copy2(exe, wine.host("C:\\e2e") / "UnInstall.exe")
            installed = scenario.install(wine, HERE / "data")

            if scenario.companion_window:
                quorbe = wine.popen(["C:\\e2e\\quorbe.exe"])
                ready = wine.host("C:\\quorbe-ready.txt")
                deadline = time.time() + 60
                while not ready.exists() and time.time() < deadline and quorbe.poll() is None:
                    time.sleep(0.2)
                if not ready.exists():
                    raise HarnessError("the Quorbe window did not come up")

            # Listing the devices makes Wine add a "Class" value to their keys, so list them
            # before the registry is taken down.
            pre_devices = list_devices(wine)
            pre = wine.export_hklm(run_dir / "before.reg")
            listing = differential.list_fixture_dirs(wine.host, installed)
            if not (COMPANION_KEY.lower() in pre
                    and (prefix / "drive_c" / COMPANION_FILE).is_file()):
                raise HarnessError("the companion product is not installed before the run")

            checks = ["key:" + COMPANION_KEY, "window:Quorbe"] + list(scenario.box_checks)
            probe = wine.popen(["C:\\e2e\\probe.exe", "box", BOX_TITLE, "60"] + checks,
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE)
            program = wine.popen(["C:\\e2e\\UnInstall.exe"])
            probe_lines = read_probe(probe, time.time() + 90)
            if "box waiting" in probe_lines:
                screenshot(x.display, out_dir / "message-box.png", findings)
                probe.stdin.write(b"answer\n")
                probe.stdin.flush()
            probe_lines += [l.decode("latin-1").rstrip("\r") for l in
                            probe.communicate(timeout=30)[0].splitlines()]
            (out_dir / "probe.txt").write_text("\n".join(probe_lines) + "\n")
            expected_checks = {"key:" + COMPANION_KEY: True,
                               "window:Quorbe": scenario.companion_window}
            expected_checks.update(scenario.box_checks)
            check_box(findings, probe_lines, probe.returncode, expected_checks)

            try:
                rc = program.wait(60)
            except subprocess.TimeoutExpired:
                rc = None
            findings.check(rc == 0, "UnInstall.exe exit code: %r (expected 0)" % rc)
            if quorbe is not None:
                try:
                    quorbe_rc = quorbe.wait(60)
                except subprocess.TimeoutExpired:
                    quorbe_rc = None
                findings.check(quorbe_rc == 0, "Quorbe did not close (exit %r)" % quorbe_rc)
            findings.check(wine.wait_server(60),
                           "processes of the prefix still running 60 s after the run")

            post = wine.export_hklm(run_dir / "after.reg")
            post_devices = list_devices(wine)
            wine.wait_server(60)

            closed = wine.host("C:\\quorbe-closed.txt")
            if scenario.companion_window:
                text = closed.read_text() if closed.exists() else "(nothing)"
                findings.check(text == "WM_CLOSE wParam=0 lParam=0 sent=1\n",
                               "Quorbe should get exactly one sent WM_CLOSE(0, 0); it got: %r"
                               % text)
            findings.check(not wine.host("C:\\quorbe-timeout.txt").exists(),
                           "Quorbe waited in vain for WM_CLOSE")
            findings.check(COMPANION_KEY.lower() not in post,
                           "the companion product is still registered (%s)" % COMPANION_KEY)
            findings.check(not (prefix / "drive_c" / COMPANION_FILE).exists(),
                           "the companion product's file is still installed")

            check_registry(findings, scenario, pre, post)
            check_files(findings, scenario, wine, installed)
            check_devices(findings, scenario, pre_devices, post_devices)
            differential.save_wine_result(run_dir, wine.host, installed, listing, {
                "message_box": "box appeared" in probe_lines,
                "exit_code": rc,
                "window_closed": closed.exists() and "WM_CLOSE" in closed.read_text()})
        finally:
            for proc in (probe, program, quorbe):
                if proc is not None and proc.poll() is None:
                    proc.kill()
            wine.kill_server()

    report = ["scenario %s: %s in %.0f s" % (name, "FAIL" if findings.failures else "pass",
                                             time.time() - started)]
    report += ["  FAIL: " + f for f in findings.failures]
    (out_dir / "report.txt").write_text("\n".join(report) + "\n")
    log("\n".join(report))
    log("artifacts:", out_dir)
    if findings.failures:
        log("prefix kept for inspection:", prefix)
        return 1
    if not os.environ.get("E2E_KEEP_PREFIX"):
        shutil.rmtree(prefix, ignore_errors=True)
    return 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = parser.add_subparsers(dest="command", required=True)
    t = sub.add_parser("template")
    t.add_argument("--work", required=True)
    t.add_argument("--fixtures", required=True)
    t.add_argument("--wxs", required=True)
    r = sub.add_parser("run")
    r.add_argument("scenario", choices=scenarios.names())
    r.add_argument("--work", required=True)
    r.add_argument("--artifacts", required=True)
    r.add_argument("--exe", required=True)
    d = sub.add_parser("diff")
    d.add_argument("scenario", choices=scenarios.names())
    d.add_argument("--work", required=True)
    d.add_argument("--sim", required=True)
    args = parser.parse_args(argv)
    for name in ("work", "artifacts", "fixtures", "wxs", "exe", "sim"):
        if getattr(args, name, None):
            setattr(args, name, str(Path(getattr(args, name)).resolve()))
    try:
        if args.command == "template":
            return make_template(args.work, args.fixtures, args.wxs)
        if args.command == "diff":
            return differential.check(scenarios.get(args.scenario), HERE / "data", args.work,
                                       args.sim)
        if not Path(args.exe).is_file():
            raise HarnessError("program not built: %s" % args.exe)
        return run_scenario(args.scenario, args.work, args.artifacts, args.exe)
    except (HarnessError, differential.HarnessError, subprocess.SubprocessError, OSError,
            ValueError) as e:
        log("ERROR:", e)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
