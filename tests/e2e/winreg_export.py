"""Reading and writing registry exports as `regedit /E` writes them ("Windows Registry Editor
Version 5.00") and registry files in the older REGEDIT4 format.

A parsed export is a dict that maps the lower-cased key path below the root that was exported
(HKEY_LOCAL_MACHINE, for example) to a RegKey, in the order of the file (for an export, the
order in which the registry enumerates the keys).  Values are normalised so that two exports of
the same data compare equal:

    ("sz", text)            a value written as "text"
    ("dword", number)       dword:xxxxxxxx
    ("hex", type, bytes)    hex:... (type 3) or hex(N):...; the string types (REG_SZ,
                            REG_EXPAND_SZ, REG_MULTI_SZ) in UTF-16LE as version 5 writes them,
                            REGEDIT4's ANSI bytes converted
"""

from dataclasses import dataclass, field

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3
REG_MULTI_SZ = 7
STRING_TYPES = (REG_SZ, REG_EXPAND_SZ, REG_MULTI_SZ)
HEADER5 = "Windows Registry Editor Version 5.00"
HEADER4 = "REGEDIT4"


@dataclass
class RegKey:
    path: str  # as spelled in the export, relative to the root
    values: dict = field(default_factory=dict)  # lower-cased name -> (name, value)


def sz(text):
    return ("sz", text)


def expand_sz(text):
    """REG_EXPAND_SZ data as an ANSI program stores it with its terminating zero."""
    return ("hex", REG_EXPAND_SZ, (text + "\0").encode("utf-16-le"))


def dword(number):
    return ("dword", number)


def describe(value):
    if value is None:
        return "(missing)"
    if value[0] == "hex" and value[1] in (REG_SZ, REG_EXPAND_SZ):
        text = value[2].decode("utf-16-le", errors="replace")
        return "REG_%sSZ %r (%d bytes)" % ("EXPAND_" if value[1] == 2 else "", text, len(value[2]))
    if value[0] == "sz":
        return "REG_SZ %r" % value[1]
    if value[0] == "dword":
        return "REG_DWORD 0x%08x" % value[1]
    return "hex(%d) %s" % (value[1], value[2].hex(","))


def _unescape(text, start):
    """Reads a quoted string starting after the opening quote; returns (text, index after the
    closing quote)."""
    out = []
    i = start
    escapes = {"\\": "\\", '"': '"', "n": "\n", "r": "\r", "0": "\0"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            out.append(escapes.get(text[i + 1], text[i + 1]))
            i += 2
            continue
        if c == '"':
            return "".join(out), i + 1
        out.append(c)
        i += 1
    raise ValueError("unterminated string: %r" % text)


def _parse_data(data, ansi=False):
    if data.startswith('"'):
        text, end = _unescape(data, 1)
        if data[end:].strip():
            raise ValueError("trailing text after string: %r" % data)
        return ("sz", text)
    if data.startswith("dword:"):
        return ("dword", int(data[6:], 16))
    if data.startswith("hex"):
        kind, _, body = data.partition(":")
        vtype = REG_BINARY if kind == "hex" else int(kind[4:-1], 16)
        body = bytes(int(b, 16) for b in body.replace(",", " ").split())
        if ansi and vtype in STRING_TYPES:
            body = body.decode("cp1252").encode("utf-16-le")
        return ("hex", vtype, body)
    raise ValueError("unknown value data: %r" % data)


def parse_export_text(text, root="HKEY_LOCAL_MACHINE", other_roots="error"):
    """Keys below `root`; keys of other roots raise ValueError, or are skipped with
    other_roots="skip".  A [-key] line deletes that key with everything below it."""
    lines = text.splitlines()
    header = lines[0].lstrip("\ufeff") if lines else ""
    if header.startswith("Windows Registry Editor"):
        ansi = False
    elif header == HEADER4:
        ansi = True
    else:
        raise ValueError("not a registry export")
    # Join continuation lines (a trailing backslash outside a string, used by hex data).
    logical = []
    pending = ""
    for line in lines[1:]:
        if pending:
            line = pending + line.strip()
            pending = ""
        if line.endswith("\\") and "=hex" in line:
            pending = line[:-1]
            continue
        logical.append(line)
    keys = {}
    current = None
    prefix = root.lower()
    for line in logical:
        if not line.strip():
            continue
        if line.lstrip().startswith(";"):
            continue
        if line.startswith("[") and line.endswith("]"):
            full = line[1:-1]
            remove = full.startswith("-")
            full = full.lstrip("-")
            if full.lower() == prefix:
                path = ""
            elif full.lower().startswith(prefix + "\\"):
                path = full[len(prefix) + 1 :]
            elif other_roots == "skip":
                current = SKIPPED
                continue
            else:
                raise ValueError("key outside %s: %s" % (root, full))
            if remove:
                for lower in [p for p in keys if under(p, path)]:
                    del keys[lower]
                current = SKIPPED
                continue
            current = keys.setdefault(path.lower(), RegKey(path))
            continue
        if current is SKIPPED:
            continue
        if current is None:
            raise ValueError("value before any key: %r" % line)
        if line.startswith("@="):
            name, data = "", line[2:]
        elif line.startswith('"'):
            name, end = _unescape(line, 1)
            if line[end : end + 1] != "=":
                raise ValueError("bad value line: %r" % line)
            data = line[end + 1 :]
        else:
            raise ValueError("bad line: %r" % line)
        current.values[name.lower()] = (name, _parse_data(data, ansi))
    return keys


SKIPPED = RegKey("(a key of another root)")


def read_export(path, root="HKEY_LOCAL_MACHINE", other_roots="error"):
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    elif raw.startswith(HEADER4.encode()):
        text = raw.decode("cp1252")
    else:
        text = raw.decode("utf-8")
    return parse_export_text(text, root, other_roots)


def _escape(text):
    return text.replace("\\", "\\\\").replace('"', '\\"')


def _value_line(name, value):
    head = "@=" if name == "" else '"%s"=' % _escape(name)
    if value[0] == "sz":
        return head + '"%s"' % _escape(value[1])
    if value[0] == "dword":
        return head + "dword:%08x" % value[1]
    kind = "hex:" if value[1] == REG_BINARY else "hex(%x):" % value[1]
    return head + kind + ",".join("%02x" % b for b in value[2])


def write_export(keys, root="HKEY_LOCAL_MACHINE"):
    """Parsed keys as regedit writes an export: version 5, UTF-16LE with its byte-order mark."""
    lines = [HEADER5, ""]
    for key in keys.values():
        lines.append("[%s]" % (root + ("\\" + key.path if key.path else "")))
        lines += [_value_line(name, value) for name, value in key.values.values()]
        lines.append("")
    return b"\xff\xfe" + "\r\n".join(lines + [""]).encode("utf-16-le")


def under(path, root):
    """True when key path lies at or below root (both relative, any case)."""
    path, root = path.lower(), root.lower()
    return path == root or path.startswith(root + "\\")
