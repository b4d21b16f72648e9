"""The image checks on made-up objdump output and maps: that each rule can fail."""

import unittest

import image_check
import isa_check

DISASSEMBLY = """
00401000 <_WinMainCRTStartup>:
  401000:\tpush   %ebp
  401001:\tcmove  %ebx,%ecx
  401004:\tmovd   %mm0,%eax
00402000 <_Format>:
  402000:\trdtsc
  402002:\tprefetchnta (%eax)
  402005:\tbswap  %eax
  402007:\tcmpxchg %ecx,(%edx)
  40200a:\tfcomip %st(1),%st
"""

MAP = """Linker script and memory map

 .text          0x00401000       0x10 CMakeFiles/x.dir/src/runtime/startup.cpp.obj
                0x00401000                WinMainCRTStartup
 .text$_Z6Formatv
                0x00402000       0x20 /usr/lib/x/libstdc++.a(string-inst.o)
                0x00402000                Format()
                0x00402004                Later()
"""


class IsaTest(unittest.TestCase):
    def test_hits_named_by_function_and_object(self):
        count, hits = isa_check.scan(DISASSEMBLY)
        self.assertEqual(count, 8)
        # bswap and cmpxchg are the 486's own; the rest are not.
        self.assertEqual([h[0] for h in hits], [0x401001, 0x401004, 0x402000, 0x402002,
                                                 0x40200a])
        link_map = isa_check.LinkMap(MAP)
        self.assertEqual(link_map.find(0x401001),
                         ("startup.cpp.obj", "WinMainCRTStartup"))
        self.assertEqual(link_map.find(0x402006), ("libstdc++.a(string-inst.o)", "Later()"))
        self.assertEqual(link_map.find(0x403000), (None, None))


class ImageTest(unittest.TestCase):
    def test_import_rules(self):
        imports = {"MSVCRT.DLL!malloc", "MSVCRT.DLL!_vscprintf", "KERNEL32.DLL!LoadLibraryW",
                   "KERNEL32.DLL!GetModuleHandleW", "USER32.DLL!MessageBoxA"}
        reviewed = image_check.read_reviewed(
            "MSVCRT.DLL!malloc\nMSVCRT.DLL!_vscprintf\n"
            "KERNEL32.DLL!LoadLibraryW  # 9x stub: the A call is tried first\n"
            "KERNEL32.DLL!GetModuleHandleW  # needed\nSHELL32.DLL!ShellExecuteA\n")
        failures = image_check.import_failures(imports, reviewed, {"malloc"})
        self.assertEqual(failures, [
            "imported but not reviewed: USER32.DLL!MessageBoxA",
            "reviewed but no longer imported: SHELL32.DLL!ShellExecuteA",
            "KERNEL32.DLL!GetModuleHandleW: a Windows 9x stub, not annotated "
            "\"# 9x stub: REASON\"",
            "MSVCRT.DLL!_vscprintf: not exported by Windows 98's msvcrt.dll"])

    def test_header_rules(self):
        text = ("ImageBase\t\t10000000\nSectionAlignment\t00001000\nFileAlignment\t\t00000200\n"
                "MajorOSystemVersion\t4\nMinorOSystemVersion\t0\nMajorSubsystemVersion\t5\n"
                "MinorSubsystemVersion\t0\nSubsystem\t\t00000002\t(Windows GUI)\n"
                "Entry 9 00009000 00000018 Thread Storage Directory [.tls]\n"
                "Entry b 00000000 00000000 Bound Import Directory\n")
        _, header, directories = image_check.read_image(text)
        self.assertEqual(image_check.header_failures(header, directories), [
            "MajorSubsystemVersion is 5, Windows 98 needs 4",
            "ImageBase is 10000000, Windows 98 needs 00400000",
            "the image has TLS directory (data directory 9)"])


if __name__ == "__main__":
    unittest.main()
