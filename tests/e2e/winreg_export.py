"""Reading registry exports written by `regedit /E` (format "Windows Registry Editor 5.00").

A parsed export is a dict that maps the lower-cased key path below the root that was exported
(HKEY_LOCAL_MACHINE, for example) to a RegKey.  Values are normalised so that two exports of the
same data compare equal:

    ("sz", text)            a value written as "text"
    ("dword", number)       dword:xxxxxxxx
    ("hex", type, bytes)    hex:... (type 3) or hex(N):...
"""

from dataclasses import dataclass, field

REG_SZ = 1
REG_EXPAND_SZ = 2
REG_BINARY = 3


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


def _parse_data(data):
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
        body = body.replace(",", " ").split()
        return ("hex", vtype, bytes(int(b, 16) for b in body))
    raise ValueError("unknown value data: %r" % data)


def parse_export_text(text, root="HKEY_LOCAL_MACHINE"):
    lines = text.splitlines()
    if not lines or not lines[0].lstrip("\ufeff").startswith("Windows Registry Editor"):
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
        if line.startswith("[") and line.endswith("]"):
            full = line[1:-1]
            if full.lower() == prefix:
                path = ""
            elif full.lower().startswith(prefix + "\\"):
                path = full[len(prefix) + 1 :]
            else:
                raise ValueError("key outside %s: %s" % (root, full))
            current = keys.setdefault(path.lower(), RegKey(path))
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
        current.values[name.lower()] = (name, _parse_data(data))
    return keys


def read_export(path, root="HKEY_LOCAL_MACHINE"):
    raw = open(path, "rb").read()
    if raw.startswith(b"\xff\xfe"):
        text = raw[2:].decode("utf-16-le")
    else:
        text = raw.decode("utf-8")
    return parse_export_text(text, root)


def under(path, root):
    """True when key path lies at or below root (both relative, any case)."""
    path, root = path.lower(), root.lower()
    return path == root or path.startswith(root + "\\")
