"""The differential check's own logic on made-up registry exports and files: each named Wine
difference takes out exactly its own pattern, and everything else is reported."""

import json
import tempfile
import unittest
from pathlib import Path

import differential as d
import winreg_export as reg

DEV = "System\\CurrentControlSet\\Enum"
HDC = '"ClassGUID"="{4D36E96A-E325-11CE-BFC1-08002BE10318}"'
ICONS = "Software\\Icons"


def view(text):
    keys = reg.parse_export_text("REGEDIT4\n" + text.replace("HKLM", "HKEY_LOCAL_MACHINE"))
    return d.with_parents(keys)


class Exports(unittest.TestCase):
    def test_writing_and_reading_keep_every_value(self):
        v = view('[HKLM\\A\\B]\n@=""\n"S"="x\\\\y \\"q\\""\n"N"=dword:0000001f\n'
                 '"E"=hex(2):41,42,00\n"R"=hex:01,ff\n[-HKLM\\A\\C]\n')
        self.assertEqual(list(v), ["a", "a\\b"])
        back = reg.parse_export_text(reg.write_export(v)[2:].decode("utf-16-le"))
        self.assertEqual(back, v)
        # REGEDIT4's ANSI string bytes read as version 5's UTF-16.
        self.assertEqual(v["a\\b"].values["e"][1], ("hex", 2, "AB\0".encode("utf-16-le")))
        with self.assertRaises(ValueError):
            reg.parse_export_text("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n")
        self.assertEqual(reg.parse_export_text("REGEDIT4\n[HKEY_CURRENT_USER\\X]\n"
                                               '"a"="b"\n', other_roots="skip"), {})

    def test_a_reg_sz_compares_by_its_text_other_strings_by_every_character(self):
        self.assertEqual(d.canonical(("hex", 1, b"")), d.canonical(("sz", "")))
        self.assertEqual(d.canonical(("hex", 1, "a\0".encode("utf-16-le"))),
                         d.canonical(("sz", "a")))
        self.assertNotEqual(d.canonical(("hex", 2, "a\0".encode("utf-16-le"))),
                            d.canonical(("hex", 2, "a".encode("utf-16-le"))))
        sim = view('[HKLM\\W\\K]\n"A"="1"\n"B"=dword:1\n[HKLM\\W\\Only]\n')
        wine = view('[HKLM\\W\\K]\n"A"="2"\n"C"="3"\n[HKLM\\Other]\n"X"="y"\n')
        found = [text for _, text in d.compare_views(sim, wine, ["W"])]
        self.assertEqual(len(found), 4, found)
        self.assertIn("key W\\Only: the simulator has it, Wine has not", found)
        self.assertIn("value W\\K\\A: the simulator REG_SZ '1', Wine REG_SZ '2'", found)


class DeviceTree(unittest.TestCase):
    FIXTURE = ('[HKLM\\Enum\\USB\\V\\1]\n"Driver"="HDC\\\\0001"\n'
               '[HKLM\\Enum\\USB\\V\\abc]\n"Driver"="HDC\\\\0002"\n'
               '[HKLM\\Enum\\USB\\V\\1\\Device Parameters]\n'
               '[HKLM\\Enum\\USB\\W\\2]\n"Driver"="HDC\\\\0003"\n')
    WINE = ('[HKLM\\%s\\USB\\V\\1]\n%s\n"Class"="HDC"\n[HKLM\\%s\\USB\\V\\ABC]\n%s\n'
            '[HKLM\\%s\\USB\\W\\2]\n%s\n"Class"="Mine"\n' % (DEV, HDC, DEV, HDC, DEV, HDC))

    def test_class_values_go_only_where_wine_wrote_them(self):
        fixture = view(self.FIXTURE + '[HKLM\\%s\\USB\\W\\2]\n%s\n"Class"="Mine"\n' % (DEV, HDC))
        adjust = d.Adjustments()
        out = d.drop_class_values(view(self.WINE), fixture, [DEV + "\\USB\\V"], adjust, "after")
        self.assertNotIn("class", out[(DEV + "\\USB\\V\\1").lower()].values)
        self.assertIn("class", out[(DEV + "\\USB\\W\\2").lower()].values)  # not watched
        self.assertEqual(adjust.items["class-value"], [DEV + "\\USB\\V\\1"])
        out = d.drop_class_values(view(self.WINE), fixture, [DEV], d.Adjustments(), "after")
        self.assertIn("class", out[(DEV + "\\USB\\W\\2").lower()].values)  # the fixture's

    def test_windows98_view_merges_by_spelling_and_drops_removed_devices(self):
        both = view(self.FIXTURE + self.WINE)
        listed = d.device_keys(both)
        self.assertEqual(sorted(listed.values()), ["USB\\V\\1", "USB\\V\\ABC", "USB\\W\\2"])
        out, unmatched = d.windows98_view(both, listed)
        self.assertEqual(unmatched, ["USB\\V\\ABC"])
        self.assertFalse(any(reg.under(p, DEV) for p in out))
        self.assertEqual(out["enum\\usb\\v\\1"].values["classguid"][1][1][:9], "{4D36E96A")
        self.assertNotIn("classguid", out["enum\\usb\\v\\abc"].values)

        after = {p: k for p, k in both.items() if not reg.under(p, DEV + "\\USB\\V\\1")}
        adjust = d.Adjustments()
        out, _ = d.windows98_view(after, listed, adjust)
        self.assertNotIn("enum\\usb\\v\\1", out)
        self.assertNotIn("enum\\usb\\v\\1\\device parameters", out)
        self.assertIn("enum\\usb\\v", out)
        self.assertEqual(adjust.items["device-tree"], ["removed USB\\V\\1"])

    def test_only_parents_a_removal_emptied_may_vanish(self):
        before = view(self.WINE + '[HKLM\\%s\\XBUS\\DISK\\1]\n%s\n' % (DEV, HDC))
        listed = d.device_keys(before)
        gone = ("usb\\v\\1", "usb\\v\\abc", "xbus\\disk\\1", "xbus\\disk", "xbus", "usb\\v")
        after = {p: k for p, k in before.items()
                 if p not in [(DEV + "\\" + g).lower() for g in gone]}
        adjust = d.Adjustments()
        roots = [DEV + "\\USB", DEV + "\\XBUS"]
        self.assertEqual(d.wine_device_tree_changes(before, after, listed, roots, adjust), [])
        self.assertEqual(sorted(adjust.items["emptied-parents"]),
                         [DEV + "\\USB\\V", DEV + "\\XBUS", DEV + "\\XBUS\\DISK"])

        # USB\W also held a key that is no device: losing it is no emptied parent.  Nor are
        # a new key or a changed value Wine's habits.
        before.update(view("[HKLM\\%s\\USB\\W\\Info]\n" % DEV))
        for key in ("USB\\W", "USB\\W\\2"):
            after.pop((DEV + "\\" + key).lower())
        after[(DEV + "\\USB\\New").lower()] = reg.RegKey(DEV + "\\USB\\New")
        after[(DEV + "\\USB").lower()] = reg.RegKey(DEV + "\\USB", {"x": ("X", ("sz", "1"))})
        problems = d.wine_device_tree_changes(before, after, listed, roots, d.Adjustments())
        self.assertEqual(sorted(problems), [
            "Wine changed the values of its device tree key %s\\USB" % DEV,
            "Wine's device tree gained %s\\USB\\New" % DEV,
            "Wine's device tree lost %s\\USB\\W, which no device removal emptied" % DEV,
            "Wine's device tree lost %s\\USB\\W\\Info, which no device removal emptied" % DEV])


class Windows9xDelete(unittest.TestCase):
    TREE = ('[HKLM\\%s\\E\\DefaultIcon]\n@="e.ico"\n[HKLM\\%s\\E\\DefaultLabel]\n@="E"\n'
            '[HKLM\\%s\\E\\ZEVDRIVE]\n[HKLM\\%s\\F\\DefaultIcon]\n[HKLM\\%s\\F\\ZEVDRIVE]\n'
            % ((ICONS,) * 5))

    def test_the_model_stops_at_a_name_not_shorter_than_the_one_before(self):
        v = view(self.TREE)
        gone = set()
        self.assertFalse(d.wine9x_delete(v, ICONS + "\\E", gone))
        self.assertEqual(gone, {(ICONS + "\\E\\DefaultIcon").lower()})
        self.assertTrue(d.wine9x_delete(v, ICONS + "\\F", gone))
        self.assertIn((ICONS + "\\F").lower(), gone)
        nested = view("[HKLM\\T\\K\\Sub\\AB]\n[HKLM\\T\\K\\Sub\\CD]\n")
        self.assertFalse(d.wine9x_delete(nested, "T\\K", set()))

    def test_wine_keeping_exactly_what_the_model_keeps_is_taken_out(self):
        before = view(self.TREE)
        sim_after = {p: k for p, k in before.items() if not reg.under(p, ICONS + "\\E")
                     and not reg.under(p, ICONS + "\\F")}
        kept = {p: k for p, k in before.items() if p not in (
            (ICONS + "\\E\\DefaultIcon").lower(), (ICONS + "\\F").lower(),
            (ICONS + "\\F\\DefaultIcon").lower(), (ICONS + "\\F\\ZEVDRIVE").lower())}
        # What the model keeps, with the label the program empties after the failed delete.
        emptied = d.copy_view(kept)
        emptied[(ICONS + "\\E\\DefaultLabel").lower()].values[""] = ("", ("sz", ""))
        adjust = d.Adjustments()
        out = d.adjust_9x_deletes(before, sim_after, before, emptied, adjust)
        self.assertEqual(d.compare_views(sim_after, out, [ICONS]), [])
        self.assertEqual(adjust.items["9x-delete"], [ICONS + "\\E"])

        # A label left as it was means the program did not answer the failed delete.
        out = d.adjust_9x_deletes(before, sim_after, before, kept, d.Adjustments())
        self.assertEqual(len(d.compare_views(sim_after, out, [ICONS])), 3)

        # Other values, or a key more than the model keeps, are a difference again.
        changed = d.copy_view(kept)
        changed[(ICONS + "\\E\\DefaultLabel").lower()].values[""] = ("", ("sz", "X"))
        out = d.adjust_9x_deletes(before, sim_after, before, changed, d.Adjustments())
        self.assertEqual(len(d.compare_views(sim_after, out, [ICONS])), 3)
        out = d.adjust_9x_deletes(before, sim_after, before, before, d.Adjustments())
        self.assertEqual(len(d.compare_views(sim_after, out, [ICONS])), 7)


class FilesAndObservations(unittest.TestCase):
    def test_presence_bytes_read_only_and_created_files(self):
        with tempfile.TemporaryDirectory() as tmp:
            machine, run = Path(tmp) / "m", Path(tmp) / "run"
            for rel, data in (("windows/inf/a.inf", b"same"), ("windows/inf/b.inf", b"sim"),
                              ("windows/inf/new.txt", b"x"), ("windows/c.sys", b"c")):
                (machine / "drive_c" / rel).parent.mkdir(parents=True, exist_ok=True)
                (machine / "drive_c" / rel).write_bytes(data)
            (machine / "machine.txt").write_text('attributes "C:\\windows\\c.sys" readonly\n')
            for rel, data in (("windows/inf/a.inf", b"same"), ("windows/inf/b.inf", b"wine"),
                              ("windows/c.sys", b"c")):
                (run / d.WINE_FILES / rel).parent.mkdir(parents=True, exist_ok=True)
                (run / d.WINE_FILES / rel).write_bytes(data)
            wine = {"files": {
                "C:\\windows\\inf\\A.INF": {"present": True, "read_only": False,
                                           "copy": "windows/inf/a.inf"},
                "C:\\windows\\inf\\b.inf": {"present": True, "read_only": False,
                                           "copy": "windows/inf/b.inf"},
                "C:\\windows\\c.sys": {"present": True, "read_only": False,
                                      "copy": "windows/c.sys"},
                "C:\\windows\\gone.sys": {"present": False}},
                "created": {"C:\\windows\\inf\\wine.pnf": {"present": True}}}
            found = d.compare_files(machine, json.loads(json.dumps(wine)), run)
        self.assertEqual(found, [
            "file C:\\windows\\c.sys: read-only in the simulator only",
            "file C:\\windows\\inf\\b.inf: the simulator leaves 3 bytes, Wine 4; first "
            "difference at offset 0",
            "file C:\\windows\\inf\\new.txt: created by the simulator, not by Wine",
            "file C:\\windows\\inf\\wine.pnf: created by Wine, not by the simulator"])

    def test_message_box_window_and_exit_code(self):
        out = 'Message box " Success!": "UnInstall finished!"\nClosed window "Quorbe"\n'
        wine = {"message_box": True, "exit_code": 0, "window_closed": True}
        self.assertEqual(d.compare_observations(out, 0, wine), [])
        wine = {"message_box": False, "exit_code": 1, "window_closed": False}
        self.assertEqual(len(d.compare_observations(out, 0, wine)), 3)


if __name__ == "__main__":
    unittest.main()
