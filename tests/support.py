"""Helpers the test files share: the getter names, hostile argument types, a
call that passes keyword names as given, and the binding failures that both
the leak tests and the allocation sweep drive.

Nothing here imports the native modules: the sweep loads this file before it
times their first import.
"""

import contextlib
import ctypes
import types

GETTERS = ("files", "file_masks", "paths", "path_masks", "env_names", "env_name_masks")


class Boom(Exception):
    pass


class SubStr(str):
    pass


class SubList(list):
    pass


class EqBoomStr(str):
    """A keyword name that cannot be compared."""

    __hash__ = str.__hash__

    def __eq__(self, other):
        raise Boom("compared")


class EqBoom:
    """A list entry that cannot be compared."""

    __hash__ = None

    def __eq__(self, other):
        raise Boom("compared")


_vectorcall = ctypes.pythonapi.PyObject_Vectorcall
_vectorcall.restype = ctypes.py_object
_vectorcall.argtypes = [ctypes.py_object, ctypes.POINTER(ctypes.py_object), ctypes.c_size_t, ctypes.py_object]


def vectorcall(function, args, keywords):
    """Calls `function` with keyword names (name, value pairs) exactly as
    given, in order, duplicates and non-strings included: the interpreter's
    own call syntax refuses them before any callee sees them."""
    values = [*args, *(value for _, value in keywords)]
    array = (ctypes.py_object * max(len(values), 1))(*values)
    # An empty tuple, not NULL, when there are none: callees must take both.
    names = tuple(name for name, _ in keywords)
    return _vectorcall(function, array, len(args), names)


def incorrect(argument, expected, got):
    return f"Argument '{argument}' has incorrect type (expected {expected}, got {got})"


UNEXPECTED_FIL = "__init__() got an unexpected keyword argument 'fil'"

# id -> (call of the class and a rule set of it, message): one of each way
# binding fails, with its exact message.
BINDING_FAILURES = {
    "too-many": (lambda cls, x: cls(*[None] * 13), "__init__() takes at most 13 positional arguments (14 given)"),
    "no-self": (lambda cls, x: cls.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    "getter-count": (lambda cls, x: cls.files.fget(x, x), "files() takes exactly 1 positional argument (2 given)"),
    "multiple": (lambda cls, x: cls(None, file="a"), "__init__() got multiple values for keyword argument 'file'"),
    "unexpected": (lambda cls, x: cls(fil="a"), UNEXPECTED_FIL),
    "unexpected-joined": (lambda cls, x: cls(**{"".join(["fi", "l"]): 1}), UNEXPECTED_FIL),
    "is-ignored-multiple": (lambda cls, x: x.is_ignored(None, path=None),
                            "is_ignored() got multiple values for keyword argument 'path'"),
    "list-type": (lambda cls, x: cls(files=()), incorrect("files", "list", "tuple")),
    "list-subclass": (lambda cls, x: cls(file_masks=SubList()), incorrect("file_masks", "list", "SubList")),
    "str-type": (lambda cls, x: cls(env_name=b"a"), incorrect("env_name", "str", "bytes")),
    "str-subclass": (lambda cls, x: x.is_ignored(None, SubStr("X")), incorrect("name", "str", "SubStr")),
}


def load_as(short):
    """A snippet that makes `spec`, an import spec for the installed module
    brindova.<short> under its bare name, without importing the module."""
    return f"""
import importlib.util, json, pathlib, sys
origin = importlib.util.find_spec("brindova.{short}").origin
assert "brindova.{short}" not in sys.modules
spec = importlib.util.spec_from_file_location("{short}", origin)
"""


@contextlib.contextmanager
def code_of(function, replacement):
    old, function.__code__ = function.__code__, replacement.__code__
    try:
        yield
    finally:
        function.__code__ = old


def ordinary():
    # The same code with one more constant: its fingerprint is unknown, so
    # the shortcut steps aside, and the ordinary route runs exactly as before.
    import pathlib._local as local

    code = local._PathParents.__len__.__code__
    return code_of(local._PathParents.__len__, types.SimpleNamespace(__code__=code.replace(
        co_consts=code.co_consts + ("unused",))))
