import builtins
import contextlib
import json
import sys
import threading
import time
import types
from pathlib import Path

import pytest

import brindova.talvesh as talvesh
from brindova.talvesh import LoaderIgnore
from support import ordinary

QUERY = Path("/a/b.txt")


def unique(text):
    """A str not shared with any constant, so only its list keeps it alive."""
    return "".join(list(text))


class Hook:
    """A rule entry that runs `action` when tested and never matches."""

    def __init__(self, action):
        self.action = action

    @property
    def name(self):
        self.action()
        return unique("<hook>")

    def __eq__(self, other):
        self.action()
        return False

    __hash__ = None


def set_slot(x, key, value):
    setattr(x, "_LoaderIgnore__" + key, value)


# Each row: the walked list (after a hook entry), the change the hook makes, the answer.
@pytest.mark.parametrize("slot, after, mutate, expected", [
    # clearing or extending the list being walked: later steps see its new state
    ("files", [Path("b.txt")], lambda x: x.files.clear(), False),
    ("files", [], lambda x: x.files.append(Path("b.txt")), True),
    ("env_names", ["N"], lambda x: x.env_names.clear(), False),
    # reassigning the slot: the walk goes on over the list it started with
    ("files", [Path("b.txt")], lambda x: set_slot(x, "files", []), True),
    ("paths", [Path("/a")], lambda x: set_slot(x, "paths", None), True),
    ("env_names", ["N"], lambda x: set_slot(x, "env_names", None), True),
    # re-initialising the rule set: later steps read the new lists
    ("files", [], lambda x: x.__init__(file_masks=["*.txt"]), True),
    ("paths", [], lambda x: x.__init__(path_masks=["/a/*"], files=["b.txt"]), True),
])
def test_mutation_during_walk(slot, after, mutate, expected):
    x = LoaderIgnore()
    set_slot(x, slot, [Hook(lambda: mutate(x)), *after])
    assert x.is_ignored(QUERY, "N") is expected


class IterSays(list):
    """Holds one entry, and its iteration yields another."""

    def __init__(self, held, yielded):
        super().__init__([held])
        self.yielded = yielded

    def __iter__(self):
        return iter([self.yielded])


# A slot holding something other than an exact list or tuple (a subclass's
# own choice) is walked by the iteration protocol, as a Python loop would:
# per rule kind, a (hit, miss) pair of entries for QUERY and the name "N".
ENTRIES = {"files": (Path("b.txt"), Path("c.txt")), "file_masks": ("*.txt", "*.x"),
           "paths": (Path("/a"), Path("/z")), "path_masks": ("/a/*", "/z/*"),
           "env_names": ("N", "M"), "env_name_masks": ("N*", "M*")}


@pytest.mark.parametrize("kind", list(ENTRIES))
@pytest.mark.parametrize("make, expected", [
    (lambda hit, miss: iter([miss, hit]), True),
    (lambda hit, miss: iter([miss]), False),
    (lambda hit, miss: IterSays(miss, hit), True),
], ids=["hit", "miss", "iter-not-items"])
def test_walk_of_another_iterable(kind, make, expected):
    x = LoaderIgnore()
    held = make(*ENTRIES[kind])
    set_slot(x, kind, held)
    if kind == "env_names" and isinstance(held, IterSays):
        expected = False  # names are tested by `in`: the list's own __contains__ reads its items
    assert x.is_ignored(QUERY, "N") is expected


@pytest.mark.parametrize("mutate, expected", [
    (lambda x: x.file_masks.clear(), False),
    (lambda x: x.file_masks.insert(0, unique("y")), True),
    (lambda x: set_slot(x, "file_masks", [unique("x")]), True),
    (lambda x: set_slot(x, "file_masks", 5), True),
])
def test_fnmatch_mutating_the_walked_list(monkeypatch, mutate, expected):
    x = LoaderIgnore(file_masks=[unique("first"), unique("*.txt")])
    calls = []

    class Mutating:
        @staticmethod
        def fnmatch(text, pattern):
            calls.append(pattern)
            if len(calls) == 1:
                mutate(x)
            return pattern in ("*", "*.txt")

    monkeypatch.setattr(talvesh, "fnmatch", Mutating)
    assert x.is_ignored(QUERY) is expected
    assert calls[0] == "first"


class ChangesOnConversion:
    """A path-like element, held by the caller's list alone, that changes that list."""

    def __init__(self, owner, action):
        self.owner, self.action = owner, action

    def __fspath__(self):
        self.action(self.owner)
        return "converted"


@pytest.mark.parametrize("action, expected", [
    (list.clear, [Path("converted")]),
    (lambda files: files.append("appended"), [Path("converted"), Path("b"), Path("appended")]),
])
def test_conversion_mutating_the_callers_files(action, expected):
    files = []
    files += [ChangesOnConversion(files, action), "b"]
    assert LoaderIgnore(files=files).files == expected


def test_reinit_during_construction(monkeypatch):
    x = LoaderIgnore.__new__(LoaderIgnore)
    inner_masks = []

    def converting(value):
        x.__init__(file_masks=inner_masks, files=[])
        return Path(value)

    monkeypatch.setattr(talvesh, "Path", converting)
    x.__init__(file="a")
    assert x.files == [Path("a")] and x.file_masks is not inner_masks


def test_foreign_self():
    assert LoaderIgnore.is_ignored(object()) is False  # nothing to test, nothing read
    for self in (object(), None, 5):
        with pytest.raises(AttributeError):
            LoaderIgnore.is_ignored(self, None, "N")
        with pytest.raises(AttributeError):
            LoaderIgnore.__init__(self)
        with pytest.raises(AttributeError):
            LoaderIgnore.files.fget(self)
    ns, masks = types.SimpleNamespace(), []
    LoaderIgnore.__init__(ns, env_name="N", file_masks=masks)
    assert LoaderIgnore.is_ignored(ns, QUERY, "N") is True
    assert LoaderIgnore.file_masks.fget(ns) is masks is ns._LoaderIgnore__file_masks


def test_getters_use_ordinary_attribute_access():
    class Overriding(LoaderIgnore):
        def __setattr__(self, name, value):
            super().__setattr__(name, tuple(value))

        def __getattribute__(self, name):
            if name == "_LoaderIgnore__paths":
                return ["substitute"]
            return super().__getattribute__(name)

    x = Overriding(files=["a"], env_name="N")
    assert x.files == (Path("a"),) and x.env_names == ("N",) and x.paths == ["substitute"]
    assert x.is_ignored(Path("/x/a"), "N") is True and x.is_ignored(Path("/x/b")) is False


@pytest.mark.parametrize("attr, value, call, error", [
    ("fnmatch", None, lambda: LoaderIgnore().is_ignored(QUERY, "N"), None),  # no pattern: no lookup
    ("fnmatch", None, lambda: LoaderIgnore(env_name_mask="*").is_ignored(None, "N"), NameError),
    ("fnmatch", object(), lambda: LoaderIgnore(file_mask="*").is_ignored(QUERY), AttributeError),
    ("Path", 42, lambda: LoaderIgnore(file="a"), TypeError),
    ("Path", None, lambda: LoaderIgnore(file_mask="a", path_masks=[]), None),
])
def test_module_attributes_replaced_or_deleted(monkeypatch, attr, value, call, error):
    if value is None:
        monkeypatch.delattr(talvesh, attr)
    else:
        monkeypatch.setattr(talvesh, attr, value)
    if error is None:
        call()
    else:
        with pytest.raises(error):
            call()


class Collides(str):
    """A namespace key that a lookup of "fnmatch" or "Path" compares with, and fails."""

    __hash__ = lambda self: hash(str(self))

    def __eq__(self, other):
        raise ArithmeticError("compared")


class LazyBuiltins(types.ModuleType):
    def __getattr__(self, name):
        return sys.modules["fnmatch"] if name == "fnmatch" else Path


def holder(answer):
    return types.SimpleNamespace(fnmatch=lambda text, pattern: answer)


def rebound_among_builtins(mp, rules):
    mp.setattr(builtins, "fnmatch", holder(True), raising=False)
    assert rules.is_ignored(name="NAME") is True
    mp.setattr(builtins, "fnmatch", holder(False))


# Globals resolve as the interpreter's own lookup does: the module namespace,
# then the namespace of the builtins module (never its attributes); an error
# of either lookup propagates; a name in neither is a NameError naming it.
@pytest.mark.parametrize("name, setup, expected", [
    ("fnmatch", lambda mp, rules: mp.setattr(builtins, "fnmatch", sys.modules["fnmatch"], raising=False), True),
    ("fnmatch", rebound_among_builtins, False),
    ("fnmatch", lambda mp, rules: mp.setattr(builtins, "__class__", LazyBuiltins), NameError),
    ("Path", lambda mp, rules: mp.setattr(builtins, "__class__", LazyBuiltins), NameError),
    ("fnmatch", lambda mp, rules: mp.setitem(vars(talvesh), Collides("fnmatch"), 1), ArithmeticError),
    ("Path", lambda mp, rules: mp.setitem(vars(builtins), Collides("Path"), 1), ArithmeticError),
])
def test_global_lookups_as_the_interpreter_makes_them(monkeypatch, name, setup, expected):
    monkeypatch.delitem(vars(talvesh), name)  # undone after the setup's own items
    rules = LoaderIgnore(env_name_mask="N*")
    setup(monkeypatch, rules)
    decide = (lambda: rules.is_ignored(None, "NAME")) if name == "fnmatch" else (lambda: LoaderIgnore(file="a"))
    if isinstance(expected, bool):
        assert decide() is expected
        return
    with pytest.raises(expected) as info:
        decide()
    assert expected is not NameError or (info.value.name, str(info.value)) == (name, f"name '{name}' is not defined")


def test_threads_share_a_mutating_rule_set(tmp_path):
    x = LoaderIgnore(files=["f.yaml"], file_masks=["*.tmp"], paths=[tmp_path / "p"],
                     path_masks=["*/m/*"], env_names=["E"], env_name_masks=["E_*"])
    queries = [(Path("a/f.yaml"), None), (tmp_path / "p" / "x", "Q"), (Path("a/m/b"), "E_1"),
               (Path("c"), "Z"), (None, "E"), (None, "Y")]
    answers, errors = [], []
    done = threading.Event()

    def ask():
        try:
            for _ in range(600):
                answers.extend(x.is_ignored(path, name) for path, name in queries)
        except BaseException as exc:  # noqa: BLE001  reported below, with the test's own failure
            errors.append(exc)

    def mutate():
        n = 0
        while not done.is_set():
            n += 1
            for key in ("files", "file_masks", "paths", "path_masks", "env_names", "env_name_masks"):
                current = getattr(x, key)
                if n % 3 == 0:
                    set_slot(x, key, tuple(current) if isinstance(current, list) else list(current))
                elif isinstance(current, list) and current:
                    current.insert(0, current.pop())
                    current.append(current[0])
                    del current[1:]

    readers = [threading.Thread(target=ask) for _ in range(3)]
    writer = threading.Thread(target=mutate)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        writer.start()
        for t in readers:
            t.start()
        for t in readers:
            t.join()
    finally:
        done.set()
        writer.join()
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert len(answers) == 3 * 600 * len(queries) and all(type(a) is bool for a in answers)


def test_threads_resolve_paths_that_change_meanwhile(tmp_path):
    # The native resolve walks without the GIL: meanwhile another thread
    # rewrites the paths' segments in place, drops their cached parts and
    # switches the route off and on. Nothing read from a path may be used
    # once it is gone: no crash, no error, and the answers of both texts.
    (tmp_path / "a").mkdir()
    (tmp_path / "l").symlink_to("a")
    rules = LoaderIgnore(paths=[tmp_path / "a" / "x"])
    # Long walks (each ".." a system call), so that the other thread runs during them.
    texts = [str(tmp_path.joinpath(*["l", ".."] * 100, "l", "x")), str(tmp_path / "a" / "y"), "x"]
    shared = [Path(texts[0]) for _ in range(20)]
    answers, errors, done = [], [], threading.Event()

    def ask():
        try:
            for _ in range(300):
                answers.extend(rules.is_ignored(p) for p in shared)
        except BaseException as exc:  # noqa: BLE001  reported below, with the test's own failure
            errors.append(exc)

    def change():
        n = 0
        while not done.is_set():
            n += 1
            for i, p in enumerate(shared):
                p._raw_paths.append(texts[n % 3])
                del p._raw_paths[0]
                for slot in ("_str", "_drv", "_root", "_tail_cached"):
                    with contextlib.suppress(AttributeError):
                        delattr(p, slot)
                # the parts only, the text too, or a new list of segments
                (lambda: p.drive, lambda: str(p), lambda: setattr(p, "_raw_paths", [texts[n % 3]]))[(n + i) % 3]()
            with ordinary() if n % 2 else contextlib.nullcontext():
                time.sleep(0)

    readers = [threading.Thread(target=ask) for _ in range(2)]
    writer = threading.Thread(target=change)
    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        writer.start()
        for t in readers:
            t.start()
        for t in readers:
            t.join()
    finally:
        done.set()
        writer.join()
        sys.setswitchinterval(old_interval)
    assert errors == []
    assert len(answers) == 2 * 300 * 20 and set(answers) == {True, False}


def _holder_with_getattr(function):
    module = types.ModuleType("lazy")
    module.__getattr__ = lambda name: function
    return module


# A holder whose function is not a namespace entry of a plain module: the
# attribute is read anew at every test, so a replaced function is used next.
@pytest.mark.parametrize("make_holder", [lambda f: types.SimpleNamespace(fnmatch=f), _holder_with_getattr])
def test_fnmatch_holder_other_than_a_plain_module(monkeypatch, make_holder):
    x = LoaderIgnore(env_name_masks=["a*", "b*"])
    monkeypatch.setattr(talvesh, "fnmatch", make_holder(lambda text, pattern: pattern == "b*"))
    assert x.is_ignored(name="N") is True
    monkeypatch.setattr(talvesh, "fnmatch", make_holder(lambda text, pattern: False))
    assert x.is_ignored(name="N") is False


LOOP_PREAMBLE = """
import functools, json, pathlib, traceback
import brindova.talvesh as talvesh
from brindova.talvesh import LoaderIgnore
"""


PARTIAL_LOOP = ("talvesh.Path = functools.partial(LoaderIgnore.__new__(LoaderIgnore).__init__)\n"
                "call = lambda: LoaderIgnore(file='a')\n")

# The conversion at the deepest level refuses 12,000 calls more before the
# error goes up: none of them may use up the interpreter's own C recursion
# budget, which the nested repr below needs.
RETRYING_LOOP = """
init, refused = LoaderIgnore.__new__(LoaderIgnore).__init__, 0
def convert(value):
    global refused
    try:
        return init(value)
    except RecursionError:
        while refused < 12_000:
            try:
                init(value)
            except RecursionError as error:
                refused += str(error).endswith("while calling a native function")
        raise
talvesh.Path = convert
call = lambda: LoaderIgnore(file='a')
"""

# Without stack bounds (glibc reads the main thread's from /proc/self/maps,
# which cannot be opened with every descriptor taken) native calls nest to a
# fixed depth.
NO_BOUNDS = """
import os, resource
limits = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (64, limits[1]))
taken = []
try:
    while True:
        taken.append(os.open(os.devnull, os.O_RDONLY))
except OSError:
    pass
def release():
    for fd in taken:
        os.close(fd)
    resource.setrlimit(resource.RLIMIT_NOFILE, limits)
"""

LOOP_RUNNERS = {
    "main": "run()",
    "thread": "threading.stack_size({size}); t = threading.Thread(target=run); t.start(); t.join()",
    # a thread that Python did not start: ctypes takes the GIL for its callback
    "C thread": """
libc = ctypes.CDLL(None)
start = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)(lambda _: run())
attr, tid = ctypes.create_string_buffer(256), ctypes.c_ulong()
libc.pthread_attr_init(attr)
libc.pthread_attr_setstacksize(attr, ctypes.c_size_t({size}))
assert libc.pthread_create(ctypes.byref(tid), attr, start, None) == 0
libc.pthread_join(tid, None)
""",
}


# Call loops that pass through native code only raise RecursionError, as
# their Python twins do, on any stack and whatever the recursion limit: the
# same depth each time (the function's entries counted), with the entry of a
# binding failure (the function's first line) last; the thread goes on working.
@pytest.mark.parametrize("setup, where, size, function, line, depth", [
    ("talvesh.Path = LoaderIgnore.__new__(LoaderIgnore).__init__\n"
     "call = lambda: LoaderIgnore(file='a')", "main", 0, "__init__", 26, None),
    (PARTIAL_LOOP, "main", 0, "__init__", 26, None),
    # a limit raised past what the C stack holds for such a loop
    ("import sys; sys.setrecursionlimit(1_000_000)\n" + PARTIAL_LOOP, "main", 0, "__init__", 26, None),
    (PARTIAL_LOOP, "thread", 64 << 10, "__init__", 26, None),
    (PARTIAL_LOOP, "thread", 256 << 10, "__init__", 26, None),
    (PARTIAL_LOOP, "thread", 1 << 20, "__init__", 26, None),
    (PARTIAL_LOOP, "C thread", 256 << 10, "__init__", 26, None),
    (RETRYING_LOOP, "thread", 256 << 10, "__init__", 26, None),
    # 64 calls nested and the refused one
    (NO_BOUNDS + PARTIAL_LOOP, "main", 0, "__init__", 26, 65),
    ("class P(pathlib.PosixPath): pass\n"
     "rules, p = LoaderIgnore(), P('x')\n"
     "p.resolve = functools.partial(rules.is_ignored, p)\n"
     "call = lambda: rules.is_ignored(p)", "main", 0, "is_ignored", 135, None),
])
def test_native_call_loops_meet_the_recursion_limit(run_py, setup, where, size, function, line, depth):
    out = run_py(LOOP_PREAMBLE + "import ctypes, threading\nrelease = lambda: None\n" + setup + """
def depth():
    try:
        call()
    except RecursionError as error:
        tb, levels = error.__traceback__, 0
        while tb.tb_next is not None:
            tb = tb.tb_next
            levels += tb.tb_frame.f_code.co_name.endswith(".{function}")
        return levels, [tb.tb_frame.f_code.co_filename, tb.tb_frame.f_code.co_name, tb.tb_lineno]

def run():
    global result
    (first, last), (again, _) = depth(), depth()
    release()
    talvesh.Path = pathlib.Path
    x = LoaderIgnore(file="a", env_name_mask="E*")
    nested = []
    for _ in range(200):
        nested = [nested]
    # The thread's first call runs under the frame of the slow path that
    # finds the stack's bounds: at most one level fewer.
    result = [last, again if again - 1 <= first <= again else [first, again],
              [x.is_ignored(pathlib.Path("d/a")), x.is_ignored(name="EX"), len(repr(nested))],
              globals().get("refused")]

""".replace("{function}", function) + LOOP_RUNNERS[where].format(size=size) + """
print(json.dumps(result))
""").stdout
    last, levels, answers, refused = json.loads(out)
    assert last == ["src/brindova/talvesh", f"brindova.talvesh.LoaderIgnore.{function}", line]
    assert levels == depth or depth is None and type(levels) is int and levels > 0
    assert answers == [True, True, 402]
    assert refused == (12_000 if setup is RETRYING_LOOP else None)


def test_cleared_function_stays_usable(run_py):
    # The collector's clear can reach a function that is still referenced
    # from elsewhere; what the other slots read must stay valid.
    out = run_py(LOOP_PREAMBLE + """
import ctypes
get_slot = ctypes.pythonapi.PyType_GetSlot
get_slot.restype, get_slot.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_int]
f = LoaderIgnore.is_ignored
clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(get_slot(type(f), 51))  # Py_tp_clear
assert clear(f) == 0
try:
    LoaderIgnore().is_ignored(name=1)
except TypeError as error:
    last = traceback.extract_tb(error.__traceback__)[-1]
print(json.dumps([f.__name__, f.__qualname__, repr(f).startswith("<native function  at "),
                  f.__globals__ is vars(talvesh), f.__code__.co_name, last.name, last.lineno,
                  LoaderIgnore(env_names=["E"]).is_ignored(name="E")]))
""").stdout
    assert json.loads(out) == [
        "", "", True, True, "is_ignored", "brindova.talvesh.LoaderIgnore.is_ignored", 135, True]


def test_function_dropped_from_the_class_clears_weak_references(run_py):
    out = run_py(LOOP_PREAMBLE + """
import gc, weakref
called = []
ref = weakref.ref(LoaderIgnore.is_ignored, called.append)
del LoaderIgnore.is_ignored
gc.collect()
print(json.dumps([ref() is None, called == [ref]]))
""").stdout
    assert json.loads(out) == [True, True]
