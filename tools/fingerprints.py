"""Prints the fingerprint of each function that the paths shortcut trusts, as
found in the running interpreter's pathlib and posixpath, in the order of the table in
src/brindova/talvesh/verdict.cpp.

A row of that table lists the fingerprints of one function in each verified
release. To verify another 3.13 release: read its pathlib functions named
here against the reasoning in ancestry.cpp and resolve.cpp, run this script under
it, and add each fingerprint that is new to its row. A row that repeats a
fingerprint leaves that release's code out on purpose (3.13.5's
`PurePath.__init__`, which imports a module), and --check names it.

    python tools/fingerprints.py          # one line per function
    python tools/fingerprints.py --check  # exit 1 unless the table knows them all
"""

import argparse
import pathlib
import posixpath
import re
import struct
import sys
from pathlib import _local

# (searched on the parents sequence?, start index in its order, name, kind)
ROWS = [
    (False, 0, "__eq__", "function"), (False, 0, "_str_normcase", "property"),
    (False, 0, "__str__", "function"), (False, 0, "parents", "property"),
    (False, 0, "drive", "property"), (False, 0, "root", "property"), (False, 0, "_tail", "property"),
    (False, 0, "_from_parsed_parts", "function"), (False, 0, "_from_parsed_string", "function"),
    (False, 0, "_format_parsed_parts", "classmethod"), (False, 0, "with_segments", "function"),
    (False, 0, "__new__", "staticmethod"), (False, 0, "__init__", "function"),
    (False, 2, "__init__", "function"), (False, 0, "_raw_path", "property"),
    (False, 0, "_parse_path", "classmethod"), (True, 0, "__init__", "function"),
    (True, 0, "__len__", "function"), (True, 0, "__getitem__", "function"),
    (True, 0, "__contains__", "function"), (True, 0, "__iter__", "function"),
    (False, 0, "resolve", "function"), (False, 0, "__fspath__", "function"),
]
# The functions of posixpath that `resolve` and the first `str()` reach.
MODULE_FUNCTIONS = ["realpath", "join", "_get_sep", "splitdrive"]


class Hash:
    """64-bit FNV-1a over the same tagged stream as fingerprint.cpp."""

    def __init__(self):
        self.value = 0xCBF29CE484222325

    def raw(self, data):
        for b in data:
            self.value = ((self.value ^ b) * 0x100000001B3) & 0xFFFFFFFFFFFFFFFF

    def u32(self, v):
        self.raw(struct.pack("<I", v & 0xFFFFFFFF))

    def u64(self, v):
        self.raw(struct.pack("<Q", v & 0xFFFFFFFFFFFFFFFF))

    def bytes(self, b):
        self.u32(len(b))
        self.raw(b)

    def text(self, s):
        self.u32(len(s))
        self.raw(s.encode("utf-32-le", "surrogatepass"))


def add_names(h, names):
    h.u32(len(names))
    for name in names:
        h.text(name)


def add_const(h, c, depth):
    if c is None or c is True or c is False:
        h.raw({None: b"N", True: b"T", False: b"F"}[c])
    elif type(c) is int:
        if not -(2**63) <= c < 2**63:
            raise ValueError("an int constant beyond 64 bits has no fingerprint")
        h.raw(b"I")
        h.u64(c)
    elif type(c) is str:
        h.raw(b"S")
        h.text(c)
    elif type(c) is bytes:
        h.raw(b"B")
        h.bytes(c)
    elif type(c) is tuple and depth <= 8:
        h.raw(b"U")
        h.u32(len(c))
        for item in c:
            add_const(h, item, depth + 1)
    elif type(c) is type(add_const.__code__) and depth <= 8:
        add_code(h, c, depth + 1)
    else:
        raise ValueError(f"a constant of type {type(c).__name__} has no fingerprint")


def add_code(h, co, depth=0):
    h.raw(b"C")
    for field in (co.co_argcount, co.co_posonlyargcount, co.co_kwonlyargcount, co.co_flags):
        h.u32(field)
    h.text(co.co_qualname)
    h.bytes(co.co_code)
    h.bytes(co.co_exceptiontable)
    for names in (co.co_names, co.co_varnames, co.co_cellvars, co.co_freevars):
        add_names(h, names)
    h.u32(len(co.co_consts))
    for c in co.co_consts:
        add_const(h, c, depth)


def fingerprint(code):
    h = Hash()
    add_code(h, code)
    return h.value


def functions():
    for on_parents, start, name, kind in ROWS:
        mro = (_local._PathParents if on_parents else _local.PosixPath).__mro__
        found = next(vars(cls)[name] for cls in mro[start:] if name in vars(cls))
        yield {"function": found, "property": getattr(found, "fget", None),
               "classmethod": getattr(found, "__func__", None),
               "staticmethod": getattr(found, "__func__", None)}[kind]
    for name in MODULE_FUNCTIONS:
        yield getattr(posixpath, name)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="compare with the table in verdict.cpp")
    args = parser.parse_args()
    rows = []
    print(f"# CPython {sys.version.split()[0]}, pathlib from {pathlib.__file__}")
    for function in functions():
        rows.append(fingerprint(function.__code__))
        print(f"{function.__code__.co_qualname:32} 0x{rows[-1]:016x}")
    if args.check:
        source = (pathlib.Path(__file__).parent.parent / "src/brindova/talvesh/verdict.cpp").read_text()
        table = re.findall(r"\{(0x[0-9a-f]+), (0x[0-9a-f]+)\}\}", source)[: len(rows)]
        unknown = [i for i, print_ in enumerate(rows) if f"0x{print_:016x}" not in table[i]]
        for i in unknown:
            name = ROWS[i][2] if i < len(ROWS) else MODULE_FUNCTIONS[i - len(ROWS)]
            print(f"row {i} ({name}): not in the table", file=sys.stderr)
        return 1 if unknown or len(table) != len(rows) else 0
    return 0


if __name__ == "__main__":
    sys.exit(main())
