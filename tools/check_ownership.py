#!/usr/bin/env python3
"""Module code owns Python objects only through the core's handles.

Outside native/core/, C++ holds references as xcore::ref and buffers as
xcore::BufferView; nothing counts references by hand, releases a buffer by
hand, or keeps a pybind11 object on a call path (module set-up, the
XALO_MODULE body, may use pybind11's API freely). Prints each breach and exits
with 1 when there is one.

    tools/check_ownership.py [FILE...]     (default: every module source)
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]
NATIVE = ROOT / "native"

RULES = [
    (re.compile(r"\bPy_X?(?:INC|DEC)REF\b|\bPy_CLEAR\b|\bPy_X?SETREF\b|\bPy_X?NewRef\b|\.(?:inc|dec)_ref\("),
     "raw reference counting: hold an xcore::ref"),
    (re.compile(r"\breinterpret_(?:steal|borrow)\b"), "pybind11 ownership cast: use ref::steal / ref::borrow"),
    (re.compile(r"\bPyObject_GetBuffer\b|\bPyBuffer_Release\b"), "hand-held buffer: use xcore::BufferView"),
    (re.compile(r"\bpy::object\b"), "pybind11 object on a call path: use xcore::ref"),
]

# (file relative to native/, rule text start, why it cannot be otherwise).
# Empty: every module source keeps the rules.
ALLOWED: set = set()


def code_only(text):
    """The source with comments and string literals blanked, lines kept."""
    pattern = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'', re.S)
    return pattern.sub(lambda m: re.sub(r"[^\n]", " ", m.group(0)), text)


def set_up_lines(code):
    """Line numbers of the XALO_MODULE body, where pybind11's API may be used."""
    lines = set()
    start = code.find("XALO_MODULE(")
    if start < 0:
        return lines
    brace = code.find("{", code.find(")", start))
    depth, end = 0, len(code)
    for i in range(brace, len(code)):
        depth += {"{": 1, "}": -1}.get(code[i], 0)
        if depth == 0:
            end = i
            break
    first = code.count("\n", 0, start) + 1
    return set(range(first, code.count("\n", 0, end) + 2))


def breaches(path):
    code = code_only(path.read_text())
    set_up = set_up_lines(code)
    try:
        name = str(path.resolve().relative_to(NATIVE))
    except ValueError:
        name = str(path)
    for number, line in enumerate(code.splitlines(), 1):
        for rule, why in RULES:
            if rule.search(line) and not (why.startswith("pybind11 object") and number in set_up):
                if (name, why.split(":")[0]) not in ALLOWED:
                    yield f"{name}:{number}: {why}"


def module_sources():
    return sorted(p for p in NATIVE.rglob("*") if p.suffix in (".cpp", ".hpp") and "core" not in p.parts)


def main(argv):
    paths = [pathlib.Path(a) for a in argv] or module_sources()
    found = [b for p in paths for b in breaches(p)]
    for b in found:
        print(b)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
