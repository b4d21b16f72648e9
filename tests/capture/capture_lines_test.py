#!/usr/bin/env python3
"""Every line of tools/capture.bat must fit command.com.

    capture_lines_test.py [CAPTURE.BAT]

command.com cuts a batch line, once %0..%9 and %NAME% are put in, at 127 characters, and a
DOS program (START.EXE, ATTRIB.EXE) gets a command tail of at most 126, its leading blank
included. Each line is expanded as command.com would for the top-level run and for every
`call %0 ...` it makes, with the names and folders at the bounds the header promises.
"""

import re
import sys
from pathlib import Path

BAT = Path(__file__).resolve().parents[2] / "tools" / "capture.bat"
LINE, TAIL = 127, 126
# Windows 98's own programs that a batch line starts as DOS programs.
EXTERNAL = {"start", "attrib", "xcopy", "move", "find", "more", "sort"}
LONG_WINDIR = "C:\\OEM Preinstalled Windows 98 System Folder\\WINDOWS 98 SECOND EDI"
# (what, %0 as typed, OUTDIR, %windir%)
BOUNDS = [
    ("a floppy, the usual names", "capture", "A:", "C:\\WINDOWS"),
    ("the longest names", "A:\\TOOLS\\CAPTURE", "C:\\CAPTURES\\MACHINE1", LONG_WINDIR),
    ("a long start name", "A:\\TOOLS\\CAPTURE", "A:", LONG_WINDIR),
]
assert [len(b[1]) for b in BOUNDS[1:]] == [16, 16] and len(BOUNDS[1][2]) == 20
assert len(LONG_WINDIR) == 66  # the longest folder MS-DOS can have: X:\ and 63 more


def expand(line, args, env):
    """The line as command.com runs it: %% is %, %0..%9 the arguments, %NAME% the
    environment (empty when unset)."""
    def one(m):
        text = m.group(0)
        if text == "%%":
            return "%"
        if text[1:].isdigit():
            n = int(text[1:])
            return args[n] if n < len(args) else ""
        return env.get(text[1:-1].lower(), "")
    return re.sub(r"%%|%[0-9]|%[A-Za-z_][A-Za-z0-9_]*%", one, line)


def words(text):
    """Batch parameters: split at blanks, commas, semicolons and equal signs, but not
    inside double quotes, which stay part of the parameter."""
    return re.findall(r'(?:"[^"]*"|[^\s,;="])+', text)


def command(line):
    """The command a line runs, past @ and any if conditions: (name, tail)."""
    rest = line.lstrip().lstrip("@")
    while True:
        m = re.match(r'(?i)if\s+(not\s+)?(exist\s+("[^"]*"|\S+)|"[^"]*"=="[^"]*"|\S+==\S+)\s+',
                     rest)
        if not m:
            break
        rest = rest[m.end():]
    m = re.match(r"(\S+)(.*)", rest)
    return (m.group(1).lower(), m.group(2)) if m else ("", "")


def runs(line, args, env):
    """The commands a line runs: itself, or a for loop's command once per item."""
    m = re.match(r"(?i)\s*for\s+%(%?\w)\s+in\s+\(([^)]*)\)\s+do\s+(.*)", line)
    if not m:
        return [expand(line, args, env)]
    var, items, body = m.groups()
    return [expand(body.replace("%" + var, item), args, env) for item in words(items)]


def reachable(lines, args, env):
    """Numbers of the lines a run with these arguments may reach: `if "%1"=="/x"` is
    decided, any other condition may go either way."""
    labels = {l.strip()[1:].lower(): i for i, l in enumerate(lines) if l.startswith(":")}
    seen, todo = set(), [0]
    while todo:
        i = todo.pop()
        if i >= len(lines) or i in seen:
            continue
        seen.add(i)
        line = expand(lines[i], args, env).strip()
        m = re.match(r'(?i)(?:if\s+(not\s+)?(\S+==\S+|exist\s+("[^"]*"|\S+))\s+)?goto\s+(\S+)$',
                     line)
        if not m:
            todo.append(i + 1)
            continue
        negated, condition, _, label = m.groups()
        jump = labels.get(label.lower(), len(lines))
        if condition is None:
            todo.append(jump)
        elif "==" in condition:
            a, b = condition.split("==", 1)
            todo.append(jump if (a == b) != bool(negated) else i + 1)
        else:
            todo += [jump, i + 1]
    return sorted(seen)


def check(bat, zero, outdir, windir):
    lines = bat.read_text(encoding="ascii").splitlines()
    env = {"windir": windir}
    invocations, problems = [[zero, outdir]], set()
    for args in invocations:
        for i in reachable(lines, args, env):
            expanded = expand(lines[i], args, env)
            if len(expanded) > LINE:
                problems.add("line %d is %d characters: %s" % (i + 1, len(expanded), expanded))
            for run in runs(lines[i], args, env):
                name, tail = command(run)
                if name in EXTERNAL and len(tail) > TAIL:
                    problems.add("line %d gives %s a tail of %d: %s"
                                 % (i + 1, name, len(tail), run))
                if name == "call" and words(tail) not in invocations:
                    invocations.append(words(tail))
    return sorted(problems), len(invocations)


def main(bat):
    failed = False
    for what, zero, outdir, windir in BOUNDS:
        problems, calls = check(bat, zero, outdir, windir)
        for p in problems:
            print("FAIL (%s): %s" % (what, p))
        print("%s: %d runs of capture.bat, %s" % (
            what, calls, "%d lines too long" % len(problems) if problems else "every line fits"))
        failed = failed or bool(problems)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(Path(sys.argv[1]) if len(sys.argv) > 1 else BAT))
