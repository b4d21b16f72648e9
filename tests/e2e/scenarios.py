"""The machines UnInstall.exe is run on, and what each run must leave behind.

Every scenario installs registry fixtures (data/*.reg, applied with `regedit /S`) and files
below C:\\windows, then states its expectations:

  watched_keys            HKLM subtrees compared before and after the run; apart from the
                          changes below, nothing in them may change
  expect_deleted_keys     keys (with their subkeys) that must be gone
  expect_values           (key, value name) -> value that must hold afterwards
  expect_deleted_files    fixture files that must be gone
  file_expectations()     fixture files that must hold exactly these bytes afterwards;
                          every other fixture file must be unchanged
  expect_removed_devices  instance IDs that the device installer must no longer list;
                          every other device of device_enumerators must still be listed
  box_checks              probe checks that must hold while the final message is shown
"""

from winreg_export import expand_sz, sz

WINDIR = "C:\\windows"
HDC = "{4D36E96A-E325-11CE-BFC1-08002BE10318}"
ENUM = "Enum"
CLASS = "System\\CurrentControlSet\\Services\\Class"
DEVICES = "System\\CurrentControlSet\\Enum"  # where Wine's device installer keeps devices
ICONS = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\DriveIcons"

# Windows 98 driver files, one of them read-only (deleted by the retry after the reset of
# the attributes).
WDM = WINDIR + "\\system32\\drivers\\WDMOEM01.sys"
PDR = WINDIR + "\\system\\iosubsys\\PDROEM01.pdr"
INF_OTHER = WINDIR + "\\inf\\other\\USBOEM01.inf"
INF_MAIN = WINDIR + "\\inf\\USBOEM01.inf"
PNF = WINDIR + "\\inf\\MSZEVUmss.PNF"
# Files next to them that are not the package's.
IOS_OTHER = WINDIR + "\\system\\iosubsys\\SCSI1HLP.VXD"
INF_OTHER_NEIGHBOUR = WINDIR + "\\inf\\other\\ZEVCARD.INF"

# Windows 2000 storage driver.
SP3_DRIVER = WINDIR + "\\System32\\DRIVERS\\USBSTORSP3.SYS"
SYSTEM_DRIVER = WINDIR + "\\System32\\DRIVERS\\USBSTOR.SYS"
USBSTOR_INF = WINDIR + "\\inf\\usbstor.inf"
IMAGE_PATH = expand_sz("System32\\DRIVERS\\USBSTOR.SYS")


def utf16_file(text):
    """Text file as Windows 2000 stores usbstor.inf: UTF-16LE with BOM and CRLF."""
    return b"\xff\xfe" + text.replace("\n", "\r\n").encode("utf-16-le")


def stamp(name, size=512):
    """Recognisable binary content for a driver file."""
    body = ("%s fixture " % name).encode() * (size // (len(name) + 9) + 1)
    return b"MZ" + body[: size - 2]


class Scenario:
    name = ""
    version = None  # Wine version for UnInstall.exe; None leaves the prefix default
    # The version record Wine reports for it, for the simulated machine of the differential
    # check: platform (1 Windows 9x, 2 NT), major, minor, build, service-pack text.
    sim_version = None
    reg_files = ["drive-icons-nt.reg"]
    companion_window = True
    device_enumerators = {"USB", "XBUS", "XDISK"}
    watched_keys = [ENUM, CLASS, DEVICES + "\\USB", DEVICES + "\\XBUS", DEVICES + "\\XDISK",
                    ICONS, "System\\ControlSet001", "System\\ControlSet002",
                    "System\\ControlSet003", "System\\CurrentControlSet\\Services\\USBSTOR",
                    "System\\Setup", "System\\WPA"]
    expect_deleted_keys = []
    expect_values = {}
    expect_deleted_files = []
    expect_removed_devices = set()
    box_checks = {}

    def files(self, data):
        """Windows path -> (bytes, read-only)."""
        return {}

    def file_expectations(self, data):
        """Windows path -> bytes the file must hold after the run."""
        return {}

    def install(self, wine, data):
        for reg in self.reg_files:
            wine.import_reg(data / reg)
        if self.version:
            wine.reg_add("HKCU\\Software\\Wine\\AppDefaults\\UnInstall.exe", "Version",
                         self.version)
        installed = self.files(data)
        for path, (content, read_only) in installed.items():
            host = wine.host(path)
            host.parent.mkdir(parents=True, exist_ok=True)
            host.write_bytes(content)
            # Wine shows a file without write permission as FILE_ATTRIBUTE_READONLY.
            host.chmod(0o444 if read_only else 0o644)
        return installed


def win98_files(data, with_inf=True, pnf_read_only=False):
    files = {
        WDM: (stamp("WDMOEM01"), True),
        PDR: (stamp("PDROEM01"), False),
        PNF: (stamp("MSZEVUmss", 300), pnf_read_only),
        IOS_OTHER: (stamp("SCSI1HLP"), False),
        INF_OTHER_NEIGHBOUR: (b"[Version]\r\nSignature=\"$Chicago$\"\r\n", False),
    }
    if with_inf:
        inf = (data / "USBOEM01.inf").read_bytes()
        files[INF_OTHER] = (inf, False)
        files[INF_MAIN] = (inf, False)
    return files


def win2k_files(data):
    text = (data / "usbstor.inf.txt").read_text(encoding="utf-8")
    return {
        SP3_DRIVER: (stamp("USBSTORSP3"), True),
        SYSTEM_DRIVER: (stamp("USBSTOR"), False),
        USBSTOR_INF: (utf16_file(text), False),
    }


# Drive icons, Windows 98: RegDeleteKey removes a letter key with everything below it.  Not
# in Wine, for Y: its Windows 9x RegDeleteKey deletes DefaultIcon, stops at DefaultLabel (a
# name not shorter than the one before) and fails; the program then empties the label's
# default value, as it does wherever a marked entry can't be deleted.  The differential
# check names the partial delete as Wine's own.
ICONS_98_DELETED = [ICONS + "\\E", ICONS + "\\Z", ICONS + "\\[", ICONS + "\\`",
                    ICONS + "\\Y\\DefaultIcon"]
ICONS_98_VALUES = {(ICONS + "\\Y\\DefaultLabel", ""): sz("")}

# Drive icons, NT: a letter key that has subkeys (ZEVDRIVE at least) cannot be deleted, so
# the default values of its DefaultIcon and DefaultLabel keys become empty strings.  No
# DefaultLabel key is created where there was none (Z).
ICONS_NT_VALUES = {
    (ICONS + "\\E\\DefaultIcon", ""): sz(""),
    (ICONS + "\\E\\DefaultLabel", ""): sz(""),
    (ICONS + "\\Z\\DefaultIcon", ""): sz(""),
    (ICONS + "\\[\\DefaultLabel", ""): sz(""),
    (ICONS + "\\`\\DefaultLabel", ""): sz(""),
}


class Win98(Scenario):
    """Windows 98 with the package's devices, their disks, driver keys and driver files.

    The INF lists USB\\VID_1234&PID_5678, USB\\VID_1234&PID_9ABC, USB\\VID_DEAD&PID_BEEF (no
    Enum key) and XBUS\\DISK.  Their Enum subkeys give the candidate instance IDs; the
    present devices of class HDC among them become records, in the order the device
    installer lists them:

      0  USB\\VID_1234&PID_5678\\0001      pairing VID_1234&PID_5678&0001, no disk
      1  USB\\VID_1234&PID_5678\\5&1A2B3C&0&1  disk ...&5&1A2B3C&0&100 (drive G)
      2  USB\\VID_1234&PID_9ABC\\7&ABC&0&2  no disk, no sibling
      3  XBUS\\DISK\\USB&VID_1234&PID_5678&0001  pairing VID_1234&PID_5678&0001,
                                             disk XBUS&DISK&...&000100 (drive H)

    Not records: 8&FFF&0&3 (USB class), 9&abc&0&4 (the device installer reports 9&ABC&0&4;
    instance IDs compare case-sensitively), GONE (not present), VID_0BDA (not in the INF).

    Removal, device by device:
      0: no drive letter, so the keys of its sibling 3 are purged: Enum\\<3>, Enum\\<disk of 3>,
         Class\\DiskDrive\\0002, Class\\HDC\\0004 and Class\\<Driver of Enum\\USB\\VID_1234&
         PID_5678\\0001> = HDC\\0002.  Its own Enum key stays.
      1: own keys: Enum\\<1> with its subkey, Enum\\<disk of 1>, DiskDrive\\0001, HDC\\0001,
         USB\\0001 (Driver of Enum\\USB\\VID_1234&PID_5678\\5\\1A2B3C\\0\\1).
      2: own keys: Enum\\<2>, HDC\\0003, USB\\0003 (the disk paths end in "(null)").
      3: own keys again, already gone.
    """

    name = "win98"
    version = "win98"
    sim_version = (1, 4, 10, 2222, " A ")
    reg_files = ["drive-icons-98.reg", "win98-devices.reg"]

    D0 = "USB\\VID_1234&PID_5678\\0001"
    D1 = "USB\\VID_1234&PID_5678\\5&1A2B3C&0&1"
    D2 = "USB\\VID_1234&PID_9ABC\\7&ABC&0&2"
    D3 = "XBUS\\DISK\\USB&VID_1234&PID_5678&0001"
    DISK1 = "XDISK\\GENERIC\\USB&VID_1234&PID_5678&5&1A2B3C&0&100"
    DISK3 = "XDISK\\GENERIC\\XBUS&DISK&USB&VID_1234&PID_5678&000100"

    expect_deleted_keys = [
        ENUM + "\\" + D3, ENUM + "\\" + DISK3, CLASS + "\\DiskDrive\\0002", CLASS + "\\HDC\\0004",
        CLASS + "\\HDC\\0002",
        ENUM + "\\" + D1, ENUM + "\\" + DISK1, CLASS + "\\DiskDrive\\0001", CLASS + "\\HDC\\0001",
        CLASS + "\\USB\\0001",
        ENUM + "\\" + D2, CLASS + "\\HDC\\0003", CLASS + "\\USB\\0003",
        # The device installer's own keys of the removed devices; Wine also drops the
        # hardware-ID and enumerator keys that are left empty.
        DEVICES + "\\" + D0, DEVICES + "\\" + D1, DEVICES + "\\USB\\VID_1234&PID_5678",
        DEVICES + "\\" + D2, DEVICES + "\\XBUS",
    ] + ICONS_98_DELETED
    expect_values = ICONS_98_VALUES
    expect_removed_devices = {D0, D1, D2, D3}
    expect_deleted_files = [WDM, PDR, INF_OTHER, INF_MAIN, PNF]
    box_checks = {
        # Devices and files are gone before the message; the drive icons are cleared after.
        "file:" + WDM: False,
        "file:" + INF_OTHER: False,
        "key:" + ENUM + "\\" + D1: False,
        "key:" + ICONS + "\\E": True,
    }

    def files(self, data):
        files = win98_files(data)
        files.update(win2k_files(data))  # not the Windows 98 path's business
        return files


class Win98NoInf(Win98):
    """Windows 98 whose driver INF is gone: no hardware IDs, so no device is removed and no
    key is purged.  The driver files still go, except a read-only precompiled INF, which
    gets a single plain delete."""

    name = "win98-noinf"
    expect_deleted_keys = list(ICONS_98_DELETED)
    expect_removed_devices = set()
    expect_deleted_files = [WDM, PDR]
    box_checks = {
        "file:" + WDM: False,
        "key:" + ENUM + "\\" + Win98.D1: True,
        "key:" + ICONS + "\\E": True,
    }

    def files(self, data):
        return win98_files(data, with_inf=False, pnf_read_only=True)


class Win2k(Scenario):
    """Windows 2000 Service Pack 4: every control set's USBSTOR loads USBSTOR.SYS again, the
    first "%12%\\USBSTORSP3.SYS" in usbstor.inf goes back to "%12%\\USBSTOR.SYS", the
    read-only replacement driver is deleted.  Drive icons can only be emptied on NT."""

    name = "win2k"
    version = "win2k"
    sim_version = (2, 5, 0, 2195, "Service Pack 4")
    reg_files = ["drive-icons-nt.reg", "win2k-control-sets.reg"]
    expect_deleted_files = [SP3_DRIVER]
    box_checks = {"file:" + SP3_DRIVER: False}

    expect_values = {
        ("System\\ControlSet001\\Services\\USBSTOR", "ImagePath"): IMAGE_PATH,
        ("System\\ControlSet002\\Services\\USBSTOR", "ImagePath"): IMAGE_PATH,
        # Wine's CurrentControlSet is a key of its own, not a link to ControlSet001.
        ("System\\CurrentControlSet\\Services\\USBSTOR", "ImagePath"): IMAGE_PATH,
        **ICONS_NT_VALUES,
    }

    def file_expectations(self, data):
        return {USBSTOR_INF: utf16_file(
            (data / "usbstor.expected.inf.txt").read_text(encoding="utf-8"))}

    def files(self, data):
        files = win2k_files(data)
        files.update(win98_files(data))  # not the Windows 2000 path's business
        return files


class Win2kSp3(Scenario):
    """Windows 2000 Service Pack 3 (told by the registry, no version override): the storage
    driver is left as it is; only the drive icons are emptied."""

    name = "win2k-sp3"
    sim_version = (2, 5, 0, 2195, "Service Pack 3")  # from win2k-sp3.reg
    reg_files = ["drive-icons-nt.reg", "win2k-control-sets.reg", "win2k-sp3.reg"]
    expect_values = ICONS_NT_VALUES
    box_checks = {"file:" + SP3_DRIVER: True}

    def files(self, data):
        files = win2k_files(data)
        files.update(win98_files(data))
        return files


class WinXp(Scenario):
    """Windows XP, companion application not running: no driver clean-up at all."""

    name = "winxp"
    version = "winxp"
    sim_version = (2, 5, 1, 2600, "Service Pack 3")
    reg_files = ["drive-icons-nt.reg", "win2k-control-sets.reg", "win98-devices.reg"]
    companion_window = False
    expect_values = ICONS_NT_VALUES
    box_checks = {"file:" + SP3_DRIVER: True, "file:" + WDM: True}

    def files(self, data):
        files = win2k_files(data)
        files.update(win98_files(data))
        return files


SCENARIOS = {s.name: s for s in (Win98, Win98NoInf, Win2k, Win2kSp3, WinXp)}


def names():
    return list(SCENARIOS)


def get(name):
    return SCENARIOS[name]()
