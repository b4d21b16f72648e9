"""Differential check: every scenario again on the simulated Windows machine.

After `e2e.py run SCENARIO` has run the real UnInstall.exe under Wine, `e2e.py diff SCENARIO`
builds the same machine for `uninstall-sim` from the same fixtures (registry files, files with
their read-only attribute, Windows version, the companion window and product), runs the
simulator on it and compares what each side left behind:

  - the registry below the scenario's watched keys, before the run and after it;
  - the companion product's Uninstall key (the simulated Windows Installer models a product
    as that key alone, so its files and Windows Installer's own keys are left to the Wine
    run's checks);
  - every fixture file (presence, bytes, read-only attribute) and any file a run created next
    to them;
  - the final message box, the closing of the companion window and the exit code.

Wine is not Windows.  Where Wine itself does something Windows does not, its result is
adjusted by one of the differences named in WINE_DIFFERENCES before the comparison, and the
report lists every key and value each adjustment touched.  Everything else must be equal;
where the two still disagree, the one that does not do what Windows does gets fixed (the
simulator) or gets a named difference here (Wine).  NOTES says what is compared as it is.
"""

import json
import re
import shutil
import subprocess
import time
from pathlib import Path

import winreg_export as reg
from winreg_export import RegKey, under

SKIP = 77  # ctest's SKIP_RETURN_CODE for these tests
ENUM = "Enum"
WINE_DEVICES = "System\\CurrentControlSet\\Enum"
PRODUCT_CODE = "{5B0E7A13-2C64-4D9F-9E21-3A7C55D0B8F6}"
PRODUCT_KEY = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + PRODUCT_CODE
NAME_ROOM = 260  # the name buffer of Wine's RegDeleteKeyExA (MAX_PATH characters)
RESULT = "wine-result.json"
WINE_FILES = "wine-files"

WINE_DIFFERENCES = {
    "device-tree":
        "Wine's device installer lists devices from System\\CurrentControlSet\\Enum; Windows 98 "
        "(and the simulator in its Windows 9x mode) lists them from Enum.  The Windows 98 "
        "fixtures keep Windows 98's records under Enum and a copy of each present device where "
        "Wine lists it; that copy's values belong to the Enum key of the same spelling, and a "
        "device Wine removed takes its Enum key with it, as removing a device does on Windows 98",
    "class-value":
        "Wine's SetupDiGetClassDevs writes a Class value into every device key it lists (the "
        "harness lists the devices before and after the run); Windows keeps the device's "
        "class where its installer wrote it and adds nothing",
    "emptied-parents":
        "when Wine removes a device it also deletes each key above the device key that the "
        "removal left without subkeys",
    "9x-delete":
        "Wine's Windows 9x RegDeleteKeyA deletes a tree by enumerating index 0 with a name "
        "length it never resets, so it stops at a subkey whose name is not shorter than the "
        "one deleted before it and the key stays; Windows 98 deletes the whole tree. Where the "
        "delete fails the program empties the icon and label values that are left",
}

NOTES = [
    "CurrentControlSet is a key of its own in Wine and in the fixtures written for it; the "
    "simulated machine takes the fixtures as they are, so both sides agree. On Windows NT it "
    "is a link to the current control set, and the ImagePath the program writes through it "
    "lands in that control set a second time.",
    "A REG_SZ compares by its text: Wine's export shows neither its terminator nor whether it "
    "has one, so no bytes and a lone terminator both read as empty.",
]


class HarnessError(Exception):
    """The check itself could not be made (not a finding)."""


class Adjustments:
    """What the named Wine differences took out of Wine's result, by name."""

    def __init__(self):
        self.items = {name: [] for name in WINE_DIFFERENCES}

    def add(self, name, item):
        self.items[name].append(item)

    def lines(self):
        out = []
        for name, items in self.items.items():
            if items:
                out.append("  %s: %s" % (name, "; ".join(items)))
        return out


# ---------------------------------------------------------------------------------------------
# Registry views: parsed exports (lower-cased path -> RegKey) in enumeration order


def copy_view(view):
    return {p: RegKey(k.path, dict(k.values)) for p, k in view.items()}


def with_parents(view):
    """The view with every key's parent keys, as a registry holds them."""
    out = {}
    for path, key in view.items():
        parts = key.path.split("\\")
        for n in range(1, len(parts)):
            parent = "\\".join(parts[:n])
            out.setdefault(parent.lower(), RegKey(parent))
        out.setdefault(path, RegKey(key.path))
        out[path].values.update(key.values)
    return out


def children(view, path):
    low = path.lower() + "\\"
    return [k.path for p, k in view.items() if p.startswith(low) and "\\" not in p[len(low):]]


def watched(view, roots):
    """The keys below `roots`; every key for roots None."""
    if roots is None:
        return view
    return {p: k for p, k in view.items() if any(under(p, r) for r in roots)}


def device_keys(view):
    """Wine's device keys: lower-cased instance ID -> instance ID as spelled."""
    base = WINE_DEVICES.lower() + "\\"
    return {p[len(base):]: k.path[len(base):] for p, k in view.items()
            if p.startswith(base) and p.count("\\") == base.count("\\") + 2
            and "classguid" in k.values}


def drop_class_values(view, fixture, roots, adjust, phase):
    """Takes out the Class values Wine wrote into its device keys below `roots`."""
    out = copy_view(view)
    base = WINE_DEVICES.lower() + "\\"
    for low in device_keys(view):
        key = out[base + low]
        if not any(under(key.path, r) for r in roots):
            continue
        if "class" in key.values and "class" not in fixture.get(base + low, RegKey("")).values:
            del key.values["class"]
            if phase == "after":
                adjust.add("class-value", key.path)
    return out


def windows98_view(view, listed, adjust=None):
    """A Wine view as Windows 98 would hold it: each listed device's values in the Enum key of
    the same spelling, a removed device's Enum key gone, no System\\CurrentControlSet\\Enum.
    Returns the view and the devices that have no Enum key of their spelling."""
    out = {p: RegKey(k.path, dict(k.values)) for p, k in view.items()
           if not under(p, WINE_DEVICES)}
    base = WINE_DEVICES.lower() + "\\"
    unmatched = []
    for low, spelled in listed.items():
        target = out.get(ENUM.lower() + "\\" + low)
        device = view.get(base + low)
        if device is None and adjust:
            adjust.add("device-tree", "removed " + spelled)
        if target is None or target.path != ENUM + "\\" + spelled:
            unmatched.append(spelled)
        elif device is None:
            for p in [p for p in out if under(p, target.path)]:
                del out[p]
        else:
            target.values.update(device.values)
    return out, unmatched


def wine_device_tree_changes(before, after, listed, roots, adjust):
    """Changes in Wine's own device tree that neither a device removal nor Wine's own habits
    explain; these would be lost when the tree is mapped onto Windows 98's."""
    removed = {WINE_DEVICES.lower() + "\\" + low for low in listed
               if WINE_DEVICES.lower() + "\\" + low not in after}
    problems = []
    for path, key in before.items():
        if not any(under(path, r) for r in roots) or path in removed:
            continue
        if path in after:
            if after[path].values != key.values:
                problems.append("Wine changed the values of its device tree key %s" % key.path)
            continue
        if any(under(path, r) for r in removed):
            continue  # below a removed device
        leaves = [p for p in before if under(p, path) and not children(before, before[p].path)]
        if leaves and all(p in removed for p in leaves):
            adjust.add("emptied-parents", key.path)
        else:
            problems.append("Wine's device tree lost %s, which no device removal emptied"
                            % key.path)
    for path, key in after.items():
        if any(under(path, r) for r in roots) and path not in before:
            problems.append("Wine's device tree gained %s" % key.path)
    return problems


def wine9x_delete(view, path, gone):
    """Wine's Windows 9x RegDeleteKeyA on `path`: True when the key went.  Adds every key it
    deletes to `gone`."""
    room = NAME_ROOM
    for child in children(view, path):
        name = child.rsplit("\\", 1)[1]
        if len(name) >= room:
            return False  # ERROR_MORE_DATA ends the loop; the key keeps its subkeys
        room = len(name)
        if not wine9x_delete(view, child, gone):
            return False
    gone.add(path.lower())
    return True


def after_fallback(view, letter, path):
    """The values `path` holds once the program has answered a failed delete of `letter`:
    as before, but the default values of its DefaultIcon and DefaultLabel keys empty."""
    values = dict(view[path].values)
    if path in ((letter + "\\DefaultIcon").lower(), (letter + "\\DefaultLabel").lower()):
        values[""] = ("", ("sz", ""))
    return values


def adjust_9x_deletes(sim_before, sim_after, wine_before, wine_after, adjust):
    """For each tree the simulator deleted whole but Wine kept part of: when what Wine kept is
    exactly what its Windows 9x RegDeleteKeyA leaves, with its values as they were but for the
    icon and label the program empties after a failed delete, take it out of Wine's result."""
    out = copy_view(wine_after)
    for path, key in sim_before.items():
        parent = key.path.rsplit("\\", 1)[0] if "\\" in key.path else ""
        if path in sim_after or parent.lower() not in sim_after or path not in out:
            continue
        gone = set()
        wine9x_delete(wine_before, key.path, gone)
        predicted = {p for p in wine_before if under(p, key.path)} - gone
        kept = {p for p in out if under(p, key.path)}
        if predicted and kept == predicted and all(
                out[p].values == after_fallback(wine_before, key.path, p) for p in kept):
            for p in kept:
                del out[p]
            adjust.add("9x-delete", key.path)
    return out


def canonical(value):
    if value[0] == "sz":
        return ("REG_SZ", value[1])
    if value[0] == "dword":
        return ("REG_DWORD", value[1])
    _, vtype, data = value
    if vtype in reg.STRING_TYPES:
        text = data.decode("utf-16-le", errors="replace")
        if vtype == reg.REG_SZ:
            return ("REG_SZ", text.rstrip("\0"))
        return ({reg.REG_EXPAND_SZ: "REG_EXPAND_SZ", reg.REG_MULTI_SZ: "REG_MULTI_SZ"}[vtype],
                text)
    return (vtype, data)


def compare_views(sim, wine, roots, names=("the simulator", "Wine")):
    """Differences between two views below `roots`: (key path, text) pairs."""
    sim, wine = watched(sim, roots), watched(wine, roots)
    out = []
    for path in sorted(set(sim) | set(wine)):
        key = sim.get(path) or wine[path]
        if path not in wine or path not in sim:
            out.append((key.path, "key %s: %s has it, %s has not" % (
                key.path, *(names if path in sim else names[::-1]))))
            continue
        a, b = sim[path].values, wine[path].values
        for name in sorted(set(a) | set(b)):
            va = canonical(a[name][1]) if name in a else None
            vb = canonical(b[name][1]) if name in b else None
            if va != vb:
                out.append((key.path, "value %s\\%s: %s %s, %s %s" % (
                    key.path, (a.get(name) or b.get(name))[0] or "@",
                    names[0], reg.describe(a[name][1]) if va else "(missing)",
                    names[1], reg.describe(b[name][1]) if vb else "(missing)")))
    return out


# ---------------------------------------------------------------------------------------------
# Files


def windows_to_relative(path):
    """C:\\windows\\inf\\x.inf -> windows/inf/x.inf"""
    if not path.lower().startswith("c:\\"):
        raise ValueError(path)
    return path[3:].replace("\\", "/")


def host_path(drive_c, path):
    """Host path of a C:\\ path on a drive folder, each name matched without regard to case as
    Windows matches it (a name not there yet keeps the case it is given)."""
    result = Path(drive_c)
    for part in [p for p in windows_to_relative(path.replace("/", "\\")).split("/") if p]:
        match = None
        if result.is_dir():
            match = next((c for c in result.iterdir() if c.name.lower() == part.lower()), None)
        result = match if match is not None else result / part
    return result


def list_fixture_dirs(host, installed):
    """File names in each folder that holds a fixture file: lower-cased folder -> names."""
    listing = {}
    for path in installed:
        folder = path.rsplit("\\", 1)[0]
        d = host(folder)
        listing[folder.lower()] = sorted(e.name for e in d.iterdir() if e.is_file()) \
            if d.is_dir() else []
    return listing


def save_wine_result(run_dir, host, installed, listing_before, observations):
    """Keeps what the differential check needs of a Wine run once its prefix is gone: each
    fixture file's presence, read-only attribute and bytes, the files created next to them, and
    what the run showed."""
    run_dir = Path(run_dir)
    copies = run_dir / WINE_FILES
    if copies.exists():
        shutil.rmtree(copies)

    def record(path):
        h = host(path)
        if not h.is_file():
            return {"present": False}
        rel = windows_to_relative(path)
        (copies / rel).parent.mkdir(parents=True, exist_ok=True)
        (copies / rel).write_bytes(h.read_bytes())
        # Wine shows a file without write permission as FILE_ATTRIBUTE_READONLY.
        return {"present": True, "read_only": not h.stat().st_mode & 0o200, "copy": rel}

    files = {path: record(path) for path in installed}
    created = {}
    for folder, names in list_fixture_dirs(host, installed).items():
        spelled = next(p.rsplit("\\", 1)[0] for p in installed
                       if p.rsplit("\\", 1)[0].lower() == folder)
        for name in names:
            if name not in listing_before.get(folder, []):
                created[spelled + "\\" + name] = record(spelled + "\\" + name)
    result = dict(observations, files=files, created=created)
    (run_dir / RESULT).write_text(json.dumps(result, indent=1, sort_keys=True) + "\n")


def sim_files(machine):
    """Files on the simulated drive C: lower-cased Windows path -> (path, bytes)."""
    out = {}
    root = Path(machine) / "drive_c"
    for f in sorted(root.rglob("*")):
        if f.is_file():
            path = "C:\\" + str(f.relative_to(root)).replace("/", "\\")
            out[path.lower()] = (path, f.read_bytes())
    return out


def sim_attributes(machine):
    """Recorded attributes of the machine file: lower-cased Windows path -> words."""
    out = {}
    for line in (Path(machine) / "machine.txt").read_text().splitlines():
        m = re.match(r'attributes "([^"]*)" (.*)$', line.strip())
        if m:
            out[m.group(1).lower()] = m.group(2).split()
    return out


def first_difference(a, b):
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def compare_files(machine, wine_result, run_dir):
    files = sim_files(machine)
    read_only = {p for p, words in sim_attributes(machine).items() if "readonly" in words}
    out = []

    def compare_one(path, wine):
        sim = files.get(path.lower())
        if not wine["present"] or sim is None:
            if wine["present"] != (sim is not None):
                out.append("file %s: %s by the simulator, %s by Wine" % (
                    path, "kept" if sim else "deleted", "kept" if wine["present"] else "deleted"))
            return
        got = (Path(run_dir) / WINE_FILES / wine["copy"]).read_bytes()
        if sim[1] != got:
            out.append("file %s: the simulator leaves %d bytes, Wine %d; first difference at "
                       "offset %d" % (path, len(sim[1]), len(got), first_difference(sim[1], got)))
        if (path.lower() in read_only) != wine["read_only"]:
            out.append("file %s: read-only in %s only" % (
                path, "Wine" if wine["read_only"] else "the simulator"))

    for path, wine in sorted(wine_result["files"].items()):
        compare_one(path, wine)
    fixtures = {p.lower() for p in wine_result["files"]}
    created = {p.lower(): (p, w) for p, w in wine_result["created"].items()}
    for low, (path, _) in sorted(files.items()):
        if low not in fixtures and low not in created:
            out.append("file %s: created by the simulator, not by Wine" % path)
    for low, (path, wine) in sorted(created.items()):
        if low not in files:
            out.append("file %s: created by Wine, not by the simulator" % path)
        else:
            compare_one(files[low][0], wine)
    return out


# ---------------------------------------------------------------------------------------------
# The simulated machine


def fixture_view(scenario, data):
    """The registry the scenario's .reg files make, in the order regedit applies them."""
    view = {}
    for name in scenario.reg_files:
        for path, key in reg.read_export(Path(data) / name).items():
            view.setdefault(path, RegKey(key.path)).values.update(key.values)
    return with_parents(view)


def build_machine(scenario, data, machine):
    """Writes the machine directory; returns its registry view and notes on the mapping."""
    machine = Path(machine)
    if machine.exists():
        shutil.rmtree(machine)
    (machine / "drive_c" / "windows").mkdir(parents=True)
    view = fixture_view(scenario, data)
    notes = []
    if scenario.sim_version[0] == 1:
        view, unmatched = windows98_view(view, device_keys(view))
        for spelled in unmatched:
            notes.append("device %s: Windows 98's record has no Enum key of that spelling, and "
                         "the simulator names a device by its Enum key, so it does not list it "
                         "(the program compares instance IDs case-sensitively, so Wine's "
                         "listing of it changes nothing either)" % spelled)
    view[PRODUCT_KEY.lower()] = RegKey(PRODUCT_KEY, {"displayname": ("DisplayName",
                                                                     ("sz", "Quorbe"))})
    view = with_parents(view)
    (machine / "registry.reg").write_bytes(reg.write_export(view))

    lines = ["# The %s scenario of the Wine end-to-end tests, for uninstall-sim" % scenario.name]
    platform, major, minor, build, service_pack = scenario.sim_version
    lines.append('version %d %d.%d %d "%s"' % (platform, major, minor, build, service_pack))
    lines.append('windows-directory "C:\\windows"')
    for path, (content, read_only) in sorted(scenario.files(Path(data)).items()):
        target = host_path(machine / "drive_c", path)
        target.parent.mkdir(parents=True, exist_ok=True)
        target.write_bytes(content)
        if read_only:
            lines.append('attributes "%s" readonly archive' % path)
    if scenario.companion_window:
        lines.append('window "Quorbe" class "QuorbeMainWindow"')
    (machine / "machine.txt").write_text("\n".join(lines) + "\n")
    return view, notes


def run_sim(sim, machine, log):
    started = time.time()
    proc = subprocess.run([str(sim), str(machine)], capture_output=True, text=True, timeout=120)
    Path(log).write_text(proc.stdout + proc.stderr)
    # uninstall-sim ends with the program's exit code; anything else (a bad machine, a
    # sanitizer's report) is the simulator's own failure.
    said = re.search(r"^Exit code (-?\d+)", proc.stdout, re.M)
    if not said or int(said.group(1)) != proc.returncode:
        raise HarnessError("uninstall-sim failed (exit %d): %s" % (
            proc.returncode, (proc.stderr or proc.stdout).strip()[-500:]))
    return proc, int(said.group(1)), time.time() - started


def compare_observations(stdout, exit_code, wine):
    out = []
    boxes = re.findall(r'^Message box "(.*)": "(.*)"$', stdout, re.M)
    want = [(" Success!", "UnInstall finished!")] if wine["message_box"] else []
    if boxes != want:
        out.append("message boxes: simulator %r, Wine %r" % (boxes, want))
    if exit_code != wine["exit_code"]:
        out.append("exit code: simulator %r, Wine %r" % (exit_code, wine["exit_code"]))
    closed = 'Closed window "Quorbe"' in stdout
    if closed != wine["window_closed"]:
        out.append("the Quorbe window: %s by the simulator, %s by Wine" % (
            "closed" if closed else "left open", "closed" if wine["window_closed"] else
            "left open"))
    return out


def check(scenario, data, work, sim):
    """Runs the check for one scenario whose Wine run is in work/<name>; returns 0, 1 or SKIP."""
    if not Path(sim).is_file():
        print("SKIP: uninstall-sim is not built at %s (build it with `cmake --preset linux-asan "
              "&& cmake --build --preset linux-asan`, or set E2E_UNINSTALL_SIM)" % sim)
        return SKIP
    run_dir = Path(work) / scenario.name
    if not (run_dir / RESULT).is_file():
        raise HarnessError("no Wine result in %s (run e2e.%s first)" % (run_dir, scenario.name))
    wine = json.loads((run_dir / RESULT).read_text())
    out_dir = run_dir / "sim"
    machine = out_dir / "machine"
    sim_before, notes = build_machine(scenario, data, machine)
    proc, exit_code, seconds = run_sim(sim, machine, out_dir / "uninstall-sim.log")
    sim_after = reg.read_export(machine / "registry.reg", other_roots="skip")

    fixture = fixture_view(scenario, data)
    adjust = Adjustments()
    roots = scenario.watched_keys
    wine_before = drop_class_values(reg.read_export(run_dir / "before.reg"), fixture, roots,
                                    adjust, "before")
    wine_after = drop_class_values(reg.read_export(run_dir / "after.reg"), fixture, roots,
                                   adjust, "after")
    failures = []
    if scenario.sim_version[0] == 1:
        listed = device_keys(wine_before)
        tree = [r for r in roots if under(r, WINE_DEVICES)]
        failures += wine_device_tree_changes(wine_before, wine_after, listed, tree, adjust)
        wine_before, _ = windows98_view(wine_before, listed)
        wine_after, _ = windows98_view(wine_after, listed, adjust)
        wine_after = adjust_9x_deletes(sim_before, sim_after, wine_before, wine_after, adjust)

    failures += ["before the run: " + d for _, d in compare_views(sim_before, wine_before, roots)]
    failures += ["after the run: " + d for _, d in compare_views(sim_after, wine_after, roots)]
    # Wine's registry holds far more than the fixtures (its own keys, Windows Installer's), so
    # only the watched keys are compared; none of Wine's own keys lie below them.  The
    # simulator's registry is the fixtures alone, and it may change nothing outside them.
    failures += ["the simulator changed a key that is not compared: " + d
                 for path, d in compare_views(sim_after, sim_before, None, ("after", "before"))
                 if not any(under(path, r) for r in roots + [PRODUCT_KEY])]
    for side, before, after in (("the simulator", sim_before, sim_after),
                                ("Wine", wine_before, wine_after)):
        if PRODUCT_KEY.lower() not in before:
            failures.append("%s: the companion product is not registered before the run" % side)
        if PRODUCT_KEY.lower() in after:
            failures.append("%s: the companion product is still registered after the run" % side)
    failures += compare_files(machine, wine, run_dir)
    failures += compare_observations(proc.stdout, exit_code, wine)

    compared = len(set(watched(sim_after, roots)) | set(watched(wine_after, roots)))
    report = ["differential %s: %s (uninstall-sim %.1f s; %d keys compared, %d files)" % (
        scenario.name, "FAIL" if failures else "pass", seconds, compared,
        len(wine["files"]) + len(wine["created"]))]
    report.append("machine: %s" % machine)
    adjusted = adjust.lines()
    if adjusted:
        report.append("taken out of Wine's result as Wine's own:")
        report += adjusted
    report += ["note: " + n for n in notes + NOTES]
    report += ["  FAIL: " + f for f in failures]
    (out_dir / "report.txt").write_text("\n".join(report) + "\n")
    print("\n".join(report))
    return 1 if failures else 0
