#!/usr/bin/env python3
"""A real machine's way through capture, preview and undo, on a Wine prefix.

    capture_roundtrip.py SCENARIO --work DIR --exe UnInstall.exe --sim uninstall-sim

In a copy of the template prefix with the scenario installed:
  1. tools/capture.bat runs (wine cmd /c) and must change nothing in the prefix outside its
     folder; its registry must equal the prefix's below every key it says it exported;
  2. uninstall-sim reads the capture as it is: --undo makes the undo kit, and --result the
     predicted after-state; the capture copied onto a floppy image (mtools), as a virtual
     machine's A: would hold it, must preview the same;
  3. the real UnInstall.exe runs; the prediction must equal what Wine's registry and files
     show below the captured keys, but for the named Wine differences;
  4. the kit's undo.bat runs; the captured keys and the package's files must be back byte
     for byte, with their read-only attribute.
"""

import argparse
import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

import differential
import e2e
import scenarios
import winreg_export as reg

REPO = Path(__file__).resolve().parents[2]
CAPTURE = "C:\\capture"
KIT = "C:\\kit"
# Windows 98's live device tree: one node per present device, naming its Enum key.
DYN_ENUM = "HKEY_DYN_DATA\\Config Manager\\Enum"
# What Wine itself rewrites whenever it starts a prefix's first program (its display driver's
# keys and dates, the service list's counter): changes that are not the capture's.
WINE_AT_START = ["System\\CurrentControlSet\\Control\\Video",
                 "System\\CurrentControlSet\\Control\\Class\\{4D36E968-E325-11CE-BFC1-08002BE10318}",
                 "System\\CurrentControlSet\\Control\\ServiceCurrent"]


def wine_input_device(path):
    """Wine's own mouse and keyboard (HID, vendor 845E) get their device interface keys when
    its device service brings them up, which may be while the capture runs."""
    return path.lower().startswith("system\\currentcontrolset\\control\\deviceclasses\\") and \
        "#hid#vid_845e&" in path.lower()


def read_joined(path):
    """A capture's registry.reg: regedit exports joined byte for byte, each with its own
    byte-order mark and header. Keys below HKEY_LOCAL_MACHINE."""
    raw = Path(path).read_bytes()
    text = raw.decode("utf-16-le") if raw.startswith(b"\xff\xfe") else raw.decode("cp1252")
    lines = [l.lstrip("\ufeff") for l in text.splitlines()]
    header = lines[0]
    body = [l for l in lines[1:] if l != header]
    return reg.parse_export_text("\n".join([header] + body), other_roots="skip")


def captured_keys(capture):
    keys = []
    for line in (Path(capture) / "captured.txt").read_text(encoding="cp1252").splitlines():
        key = line.strip().strip('"')
        if key.upper().startswith("HKEY_LOCAL_MACHINE\\"):
            keys.append(key[len("HKEY_LOCAL_MACHINE\\"):])
    return keys


def captured_file(capture, path):
    """Where the capture keeps a copy of C:\\windows\\PATH: windir\\PATH."""
    return differential.host_path(capture / "windir", "C:\\" + path.split("\\", 2)[2])


def files_state(root):
    """Relative path -> (digest, writable) of every file below root."""
    out = {}
    for p in sorted(Path(root).rglob("*")):
        if p.is_file():
            out[str(p.relative_to(root)).lower()] = (
                hashlib.sha256(p.read_bytes()).hexdigest(), bool(p.stat().st_mode & 0o200))
    return out


def prepare(wine, scenario, data):
    """Installs the scenario the way a real machine of its kind would show it to a capture.
    Returns the fixture files and, for Windows 98, Wine's devices that have an Enum key."""
    installed = scenario.install(wine, data)
    listed = {}
    if scenario.version:
        # cmd's own ver then names the scenario's Windows, as it would on that machine.
        wine.reg_add("HKCU\\Software\\Wine\\AppDefaults\\cmd.exe", "Version", scenario.version)
    if scenario.sim_version and scenario.sim_version[0] == 1:
        # Windows 98 keeps a device's values in its Enum key and names each present device's
        # Enum key in its live device tree; Wine keeps them in its own device tree. Put them
        # where Windows 98 has them, for the devices whose Enum key has the same spelling, as
        # the differential check does.
        view = wine.export_hklm(wine.host("C:\\e2e") / "devices.reg")
        present = {d.lower() for d in e2e.list_devices(wine)}
        listed = {low: spelled for low, spelled in differential.device_keys(view).items()
                  if low in present}
        as98, unmatched = differential.windows98_view(view, listed)
        keys = {p: as98[p] for p in as98 if p.startswith("enum\\") and
                p[len("enum\\"):] in listed and p[len("enum\\"):] not in
                {u.lower() for u in unmatched}}
        enum = wine.host("C:\\e2e") / "enum-98.reg"
        enum.write_bytes(reg.write_export(keys))
        wine.import_reg(enum)
        lines = ["REGEDIT4", ""]
        for n, path in enumerate(sorted(keys)):
            lines += ["[%s\\%08X]" % (DYN_ENUM, 0xC1000000 + n),
                      '"HardWareKey"="%s"' % keys[path].path[len("Enum\\"):].replace(
                          "\\", "\\\\"), ""]
        dyn = wine.host("C:\\e2e") / "dyn-data.reg"
        dyn.write_text("\r\n".join(lines) + "\r\n", encoding="cp1252")
        wine.import_reg(dyn)
        listed = {low: spelled for low, spelled in listed.items() if "enum\\" + low in keys}
    elif scenario.sim_version:
        wine.run(["reg", "add", "HKLM\\System\\CurrentControlSet\\Control\\Windows", "/v",
                  "CSDVersion", "/t", "REG_DWORD", "/d", "1024", "/f"])
    return installed, listed


def report_body(report):
    """The preview's report without the lines that name its input or its kit."""
    return "\n".join(line for line in report.splitlines() if not line.startswith(
        ("Machine ", "Read from ", "Undo kit written ")) and "is a capture of a real" not in line)


def preview_from_image(sim, capture, image):
    """The report of uninstall-sim on the capture copied onto a new floppy image, with the
    read-only attribute that Wine gives a file as its host mode."""
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1", MTOOLSRC="/dev/null", TZ="UTC")
    run = lambda *args: subprocess.run(args, env=env, check=True, capture_output=True)
    run("mformat", "-C", "-i", str(image), "-f", "1440", "-v", "CAPTURE", "::")
    run("mcopy", "-s", "-m", "-i", str(image), *map(str, sorted(capture.iterdir())), "::")
    for path in sorted(capture.rglob("*")):
        if path.is_file() and not path.stat().st_mode & 0o200:
            run("mattrib", "-i", str(image), "+r", "::/" + path.relative_to(capture).as_posix())
    preview = subprocess.run([str(sim), "--dry-run", str(image)], capture_output=True, text=True,
                             timeout=120)
    return report_body(preview.stdout + preview.stderr)


def roundtrip(name, work, exe, sim):
    e2e.require_tools(["mformat", "mcopy", "mattrib"])
    scenario = scenarios.get(name)
    data = e2e.HERE / "data"
    run_dir, prefix = e2e.fresh_prefix(work, "capture-" + name)
    failures, wine_own = [], []

    with e2e.Xvfb(run_dir / "xvfb.log") as x:
        wine = e2e.Wine(prefix, x.display, run_dir / "wine.log")
        try:
            shutil.copy2(exe, wine.host("C:\\e2e") / "UnInstall.exe")
            shutil.copy2(REPO / "tools" / "capture.bat", wine.host("C:\\e2e") / "capture.bat")
            installed, listed = prepare(wine, scenario, data)
            windows = wine.host("C:\\windows")

            # 1. The capture only reads.
            before = wine.export_hklm(run_dir / "before-capture.reg")
            files_before = files_state(windows)
            # Wine keeps HKEY_DYN_DATA only while its server runs, and the server ends a few
            # seconds after its last process, sooner than a loaded machine gets here: the
            # live device tree goes in again in the capture's own cmd, which keeps it running.
            dyn = wine.host("C:\\e2e") / "dyn-data.reg"
            first = "start /w regedit /S C:\\e2e\\dyn-data.reg & " if dyn.exists() else ""
            wine.run(["cmd", "/c", first + "C:\\e2e\\capture.bat " + CAPTURE], timeout=300)
            wine.wait_server(60)
            after_capture = wine.export_hklm(run_dir / "after-capture.reg")
            for path, d in differential.compare_views(before, after_capture, None,
                                                      ("before", "after")):
                if any(differential.under(path, k) for k in WINE_AT_START) or \
                        wine_input_device(path):
                    wine_own.append("  prefix start: " + path)
                else:
                    failures.append("the capture changed the registry: " + d)
            if files_state(windows) != files_before:
                failures.append("the capture changed files below C:\\windows")
            capture = run_dir / "capture"
            shutil.copytree(wine.host(CAPTURE), capture)
            keys = captured_keys(capture)
            captured = read_joined(capture / "registry.reg")
            for d in differential.compare_views(captured, before, keys, ("the capture", "Wine")):
                failures.append("the capture is not the machine: " + d[1])

            # 2. The preview and the kit.
            kit = run_dir / "kit"
            preview = subprocess.run([str(sim), "--undo", str(kit), str(capture)],
                                     capture_output=True, text=True, timeout=120)
            (run_dir / "preview.txt").write_text(preview.stdout + preview.stderr)
            if preview.returncode != 0:
                raise e2e.HarnessError("uninstall-sim --undo failed: " + preview.stderr[-400:])
            predicted = run_dir / "predicted"
            subprocess.run([str(sim), "--result", str(predicted), str(capture)],
                           capture_output=True, check=True, timeout=120)
            sim_after = reg.read_export(predicted / "registry.reg", other_roots="skip")
            on_image = preview_from_image(sim, capture, run_dir / "capture.img")
            if on_image != report_body(preview.stdout):
                failures.append("the capture on a floppy image previews otherwise:\n" + on_image)

            # 3. The real run, compared with the prediction.
            rc, box = e2e.run_answering_box(wine)
            if rc != 0 or not box:
                failures.append("UnInstall.exe: exit %r, final message %s" % (rc, box))
            after = wine.export_hklm(run_dir / "after-run.reg")
            wine_after = after
            adjust = differential.Adjustments()
            if listed:
                # Wine's device installer removes its own device keys, where Windows 98's
                # removes the device's Enum key: seen as Windows 98 would show it.
                fixture = differential.fixture_view(scenario, data)
                roots = scenario.watched_keys
                wine_before, _ = differential.windows98_view(differential.drop_class_values(
                    before, fixture, roots, adjust, "before"), listed)
                wine_after, _ = differential.windows98_view(differential.drop_class_values(
                    after, fixture, roots, adjust, "after"), listed, adjust)
                wine_after = differential.adjust_9x_deletes(captured, sim_after, wine_before,
                                                            wine_after, adjust)
            wine_own += adjust.lines()
            for d in differential.compare_views(sim_after, wine_after, keys,
                                                ("the preview", "Wine")):
                failures.append("the preview is not the run: " + d[1])
            for path in installed:
                rel = differential.windows_to_relative(path)
                if not captured_file(capture, path).exists():
                    continue  # not one of the files the program may touch
                host, predicted_file = wine.host(path), differential.host_path(
                    predicted / "drive_c", path)
                if host.exists() != predicted_file.exists() or (
                        host.exists() and host.read_bytes() != predicted_file.read_bytes()):
                    failures.append("the preview is not the run: file %s" % rel)

            # 4. The kit puts it back.
            shutil.copytree(kit, wine.host(KIT))
            wine.run(["cmd", "/c", "cd /d %s && undo.bat" % KIT], timeout=300)
            wine.wait_server(60)
            restored = wine.export_hklm(run_dir / "after-undo.reg")
            # Not the companion product: Windows Installer removed it, and only its own
            # setup can put it back (the kit's README says so).
            for path, d in differential.compare_views(restored, before, keys,
                                                      ("after the undo", "before the run")):
                if not differential.under(path, differential.PRODUCT_KEY):
                    failures.append("the undo kit did not restore " + d)
            for path, (content, read_only) in installed.items():
                if not captured_file(capture, path).exists():
                    continue
                host = wine.host(path)
                if not host.exists() or host.read_bytes() != content:
                    failures.append("the undo kit did not restore the bytes of %s" % path)
                elif bool(host.stat().st_mode & 0o200) == read_only:
                    failures.append("the undo kit did not restore the attributes of %s" % path)
        finally:
            wine.kill_server()

    report = ["capture round trip %s: %s (%d captured keys)" % (
        name, "FAIL" if failures else "pass", len(keys) if "keys" in dir() else 0)]
    if wine_own:
        report.append("taken out of Wine's result as Wine's own:")
        report += wine_own
    report += ["  FAIL: " + f for f in failures]
    (run_dir / "report.txt").write_text("\n".join(report) + "\n")
    e2e.log("\n".join(report))
    if not failures:
        shutil.rmtree(prefix, ignore_errors=True)
    return 1 if failures else 0


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenario", choices=scenarios.names())
    parser.add_argument("--work", required=True)
    parser.add_argument("--exe", required=True)
    parser.add_argument("--sim", required=True)
    args = parser.parse_args(argv)
    if not Path(args.sim).is_file():
        print("SKIP: uninstall-sim is not built at %s" % args.sim)
        return differential.SKIP
    try:
        return roundtrip(args.scenario, Path(args.work).resolve(), Path(args.exe).resolve(),
                         Path(args.sim).resolve())
    except (e2e.HarnessError, differential.HarnessError, subprocess.SubprocessError, OSError,
            ValueError) as error:
        e2e.log("ERROR:", error)
        return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
