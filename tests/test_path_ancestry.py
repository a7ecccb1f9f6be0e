"""The paths step's shortcut for plain PosixPath objects against the ordinary
`==` / `parents` protocol, which it must equal in every case.

The ordinary protocol is forced by wrapping `_PathParents.__contains__` in a
function of our own that does exactly what it did: the behaviour stays, but
the shortcut no longer recognises pathlib and steps aside.
"""

import abc
import builtins
import contextlib
import os
import pathlib
import pathlib._local as local
import posix
import posixpath
import sys
import tempfile
import textwrap
import types
from collections.abc import Sequence
from pathlib import Path, PurePath, PurePosixPath

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brindova.talvesh import LoaderIgnore


@contextlib.contextmanager
def patched(owner, name, value):
    missing = object()
    old = vars(owner).get(name, missing)
    setattr(owner, name, value)
    try:
        yield
    finally:
        if old is missing:
            delattr(owner, name)
        else:
            setattr(owner, name, old)


def ordinary():
    return patched(local._PathParents, "__contains__", lambda self, value: Sequence.__contains__(self, value))


@contextlib.contextmanager
def removed(owner, name):
    old = vars(owner)[name]
    delattr(owner, name)
    try:
        yield
    finally:
        setattr(owner, name, old)


@contextlib.contextmanager
def code_of(function, replacement):
    old = function.__code__
    function.__code__ = replacement.__code__
    try:
        yield
    finally:
        function.__code__ = old


@contextlib.contextmanager
def reinit(descriptor, function):
    # A property's or classmethod's __init__ can run again on the object
    # already in the class: the function inside changes, the class does not.
    old = descriptor.fget
    descriptor.__init__(function)
    try:
        yield
    finally:
        descriptor.__init__(old)


class ParentsMeta(abc.ABCMeta):
    def __call__(cls, path):
        return ()


@contextlib.contextmanager
def metaclass(cls, meta):
    old = type(cls)
    cls.__class__ = meta
    try:
        yield
    finally:
        cls.__class__ = old


@contextlib.contextmanager
def monitored():
    # A tool whose callback objects to a call that only the ordinary route makes.
    mon, tool = sys.monitoring, 4

    def start(code, offset):
        if code.co_qualname == "_PathParents.__getitem__":
            raise RuntimeError("audited")

    mon.use_tool_id(tool, "audit")
    mon.register_callback(tool, mon.events.PY_START, start)
    mon.set_events(tool, mon.events.PY_START)
    try:
        yield
    finally:
        mon.set_events(tool, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)


class SubPath(type(Path())):
    pass


def tamper(entries, target):
    """Entries whose cached text says `target` while their parts say otherwise."""
    for entry in entries:
        if type(entry) is type(Path()):
            entry == entry  # noqa: B015  fills the cache first, as any comparison does
            entry._str_normcase_cached = str(target)
    return contextlib.nullcontext()


def in_pathlib(function, qualname):
    """`function` as if pathlib defined it under `qualname`: its globals, its name."""
    code = function.__code__.replace(co_qualname=qualname)
    return types.FunctionType(code, vars(local), function.__name__, function.__defaults__, function.__closure__)


def eq_one_cell():
    cls = PurePath

    def __eq__(self, other):
        return isinstance(other, cls)

    return __eq__


def eq_three_cells():
    a = b = c = PurePath

    def __eq__(self, other):
        return isinstance(other, (a, b, c))

    return __eq__


class Contains(local._PathParents):
    __slots__ = ()

    def __contains__(self, value):
        return True


# Each row changes some answer, so a shortcut that missed it would differ.
ALTERATIONS = {
    # classes anywhere in the order, and the parents sequence's bases
    "eq": lambda e, t: patched(PurePath, "__eq__", lambda self, other: isinstance(other, PurePath)),
    "parents": lambda e, t: patched(PurePath, "parents", property(lambda self: ())),
    "contains": lambda e, t: patched(local._PathParents, "__contains__", lambda self, value: False),
    "iter": lambda e, t: patched(Sequence, "__iter__", lambda self: iter(())),
    "format": lambda e, t: patched(PurePath, "_format_parsed_parts",
                                   classmethod(lambda cls, drv, root, tail: drv + root + "|".join(tail))),
    "parser": lambda e, t: patched(pathlib.PurePosixPath, "parser", pathlib._local.ntpath),
    "reinit": lambda e, t: reinit(vars(PurePath)["parents"], lambda self: ()),
    "metaclass": lambda e, t: metaclass(local._PathParents, ParentsMeta),
    "abstract": lambda e, t: patched(local._PathParents, "__abstractmethods__", frozenset({"missing"})),
    # calls of the ordinary route watched from outside
    "monitoring": lambda e, t: monitored(),
    "parser-object": lambda e, t: patched(pathlib.PurePosixPath, "parser",
                                          types.SimpleNamespace(**{**vars(posixpath), "altsep": "a"})),
    # each kind of lookup finding something else: in another class, of
    # another kind, nothing at all
    "own-drive": lambda e, t: patched(type(Path()), "drive", property(lambda self: "X")),
    "slot-property": lambda e, t: patched(PurePath, "_drv", property(lambda self: "X")),
    "drive-function": lambda e, t: patched(PurePath, "drive", lambda self: ""),
    "static-format": lambda e, t: patched(PurePath, "_format_parsed_parts",
                                          staticmethod(lambda drv, root, tail: drv + root + "|".join(tail))),
    "no-tail": lambda e, t: removed(PurePath, "_tail"),
    "no-parsed-string": lambda e, t: removed(PurePath, "_from_parsed_string"),
    "foreign-slot": lambda e, t: patched(PurePath, "_drv", vars(local._PathParents)["_drv"]),
    # functions that pass for pathlib's own by module and name
    "named-code": lambda e, t: patched(local._PathParents, "__len__",
                                       in_pathlib(lambda self: 0, "_PathParents.__len__")),
    "one-cell": lambda e, t: patched(PurePath, "__eq__", in_pathlib(eq_one_cell(), "PurePath.__eq__")),
    "three-cells": lambda e, t: patched(PurePath, "__eq__", in_pathlib(eq_three_cells(), "PurePath.__eq__")),
    # module globals and function code
    "global": lambda e, t: patched(local, "_PathParents", Contains),
    "code": lambda e, t: code_of(local._PathParents.__len__, lambda self: 0),
    "no-os": lambda e, t: removed(local, "os"),
    "altsep": lambda e, t: patched(posixpath, "altsep", "a"),
    "intern": lambda e, t: patched(sys, "intern", lambda text: text + "_"),
    "shadowed-len": lambda e, t: patched(local, "len", lambda obj: 0),
    # a cached text that disagrees with its parts
    "slot": tamper,
}


def tree_strategy():
    names = st.sampled_from(["a", "b", "c", "ab"])
    rel = st.lists(names, min_size=1, max_size=3).map("/".join)
    return st.tuples(st.lists(rel, min_size=1, max_size=4), st.lists(st.tuples(rel, rel), max_size=2))


def build(root, dirs, links):
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for name, target in links:
        link = os.path.join(root, "l_" + name.replace("/", "_"))
        if not os.path.lexists(link):
            os.symlink(os.path.join(root, target), link)
    return sorted({d for d in dirs} | {"l_" + n.replace("/", "_") + "/x" for n, _ in links})


def entries_for(root, dirs, anchors=True):
    plain = [Path(root, d).resolve() for d in dirs[:2]]
    if anchors:
        plain += [Path("/"), Path("//" + root.lstrip("/"))]
    return plain + [
        Path(dirs[0]), Path(root, dirs[0], ".."),
        SubPath(root, dirs[-1]), PurePosixPath(root, dirs[-1]), str(Path(root, dirs[0])),
    ]


def answers(rules, queries):
    out = []
    for q in queries:
        try:
            out.append(rules.is_ignored(q))
        except Exception as exc:  # noqa: BLE001  compared, not hidden
            out.append((type(exc), str(exc)))
    return out


def queries_for(root, rels):
    return [Path(root, r) for r in rels] + [Path(root, rels[0], ".."), Path("/"), Path("//"), SubPath(root)]


@settings(max_examples=30, deadline=None)
@given(tree_strategy(), st.sampled_from([None, *ALTERATIONS]))
def test_shortcut_answers_as_the_ordinary_protocol(tree, alteration):
    dirs, links = tree
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.realpath(tmp)
        rels = build(root, dirs, links)
        queries = queries_for(root, rels)

        def run():
            entries = entries_for(root, dirs)
            rules = LoaderIgnore(paths=[])
            rules.paths.extend(entries)
            # The alteration comes after a decision, so it is a change the
            # shortcut must notice, not a state it meets when it first looks.
            rules.is_ignored(queries[0])
            alter = ALTERATIONS[alteration](entries, Path(root, rels[-1])) if alteration else contextlib.nullcontext()
            with alter:
                return answers(rules, queries)

        fast = run()
        with ordinary():
            slow = run()
        assert fast == slow


@pytest.mark.parametrize("alteration", list(ALTERATIONS))
def test_each_alteration_changes_an_answer(tmp_path, alteration):
    # The alteration changes an ordinary answer (otherwise the differential
    # test could not see a shortcut ignore it), and the shortcut, already in
    # use when it is made, gives the altered answers.
    root = os.path.realpath(tmp_path)
    rels = build(root, ["a/b", "c"], [])
    queries = queries_for(root, rels)

    def decide(route):
        rules = LoaderIgnore(paths=[])
        entries = entries_for(root, ["a", "c"], anchors=False)
        rules.paths.extend(entries)
        with route():
            before = answers(rules, queries)
            with ALTERATIONS[alteration](entries, Path(root, "c")):
                return before, answers(rules, queries)

    before, after = decide(ordinary)
    assert before != after
    assert decide(contextlib.nullcontext) == (before, after)


def test_standard_module_without_a_name_is_not_trusted(tmp_path):
    rules = LoaderIgnore(paths=[str(tmp_path)])
    # The namespace change makes the shortcut check pathlib again.
    with patched(posix, "__name__", 5), patched(local, "_checked_again", None):
        assert rules.is_ignored(tmp_path / "x") is True


# Code that runs while the shortcut checks pathlib (a metaclass `__eq__` met
# by its test of the parents' bases) may raise, or change what it is checking:
# the check must neither leak the error nor keep a verdict taken before the
# change. Each row's `__eq__` acts once; the answer for a path below the entry
# is the one Python gives after it.
@pytest.mark.parametrize("action, below", [
    ("raise ValueError('from __eq__')", True),
    # after the check of the attribute protocol, which it changes
    ("local.PosixPath.__getattribute__ = lambda self, name: () if name == 'parents' "
     "else object.__getattribute__(self, name)", False),
], ids=["raises", "changes-class"])
def test_code_run_by_the_check(run_py, tmp_path, action, below):
    run_py(f"""
        import abc, pathlib._local as local
        from pathlib import Path
        from brindova.talvesh import LoaderIgnore

        root = Path({str(tmp_path.resolve())!r})
        rules = LoaderIgnore(paths=[root / "a"])
        assert rules.is_ignored(root / "a" / "b") and not rules.is_ignored(root / "c")
        acted = []

        def eq(cls, other):
            if not acted:
                acted.append(1)
                {action}
            return cls is other

        abc.ABCMeta.__eq__ = eq
        local._probe = 1  # a change the shortcut notices: its next decision checks again
        assert (rules.is_ignored(root / "a" / "b"), rules.is_ignored(root / "c")) == ({below}, False)
        assert acted, "the check never compared the classes"
        assert (root / "a" in (root / "a" / "b").parents) == {below}
    """)


class Resolved:
    """A query whose resolve() hands back `path` untouched (its name and text
    are given, so that nothing reads the path before the decision does)."""

    def __init__(self, path, name="b"):
        self.path, self.name = path, name

    def resolve(self):
        return self.path

    def __format__(self, spec):
        return "q"


def filled(path, **slots):
    path == path  # noqa: B015  fills the cached parts and text, as any comparison does
    for name, value in slots.items():
        setattr(path, name, value)
    return path


def filled_raw(path, raw):
    path._raw_paths = raw
    return path


def emptied(path, name):
    filled(path)
    delattr(path, name)
    return path


def read_parts(path):
    path.drive  # noqa: B018  parses the parts, not the text
    return path


def read_text(path):
    str(path)
    return path


class Part(str):
    pass


@contextlib.contextmanager
def bases(cls, new):
    old = cls.__bases__
    cls.__bases__ = new
    try:
        yield
    finally:
        cls.__bases__ = old


@contextlib.contextmanager
def noticed(context):
    # With a change to pathlib's namespace, which makes the shortcut check again.
    with context, patched(local, "_probe", None):
        yield


@contextlib.contextmanager
def attribute(owner, name, value):
    old = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, old)


@contextlib.contextmanager
def hook(setter, getter, function):
    old = getter()
    setter(function)
    try:
        yield
    finally:
        setter(old)


class OwnModule(types.ModuleType):
    pass


class Mixin:
    __slots__ = ()


# Unusual states that must take the ordinary route and still answer as Python
# does: (context, resolved query path, entry), from the resolved root.
none = contextlib.nullcontext
UNUSUAL = {
    # fresh query paths the shortcut does not parse itself
    "raw-parts": lambda r: (none(), Path(r, "a", "b"), Path(r, "a")),
    "text-read": lambda r: (none(), read_text(Path(r + "/a/b")), Path(r, "a")),
    "relative": lambda r: (none(), Path("a/b"), Path("a")),
    "three-slashes": lambda r: (none(), Path("//" + r + "/a/b"), Path(r, "a")),
    # cached parts or texts of odd types
    "tail-tuple": lambda r: (none(), filled(Path(r + "/a/b"), _tail_cached=tuple(r[1:].split("/")) + ("a", "b")),
                             Path(r, "a")),
    "tail-subclass": lambda r: (none(), filled(Path(r + "/a/b"), _tail_cached=[
                                Part(p) for p in r[1:].split("/") + ["a", "b"]]), Path(r, "a")),
    "two-slashes": lambda r: (none(), Path("/" + r + "/a/b"), Path(r, "a")),
    "only-slashes": lambda r: (none(), Path("//"), Path("/")),
    "parts-read": lambda r: (none(), read_parts(Path(r + "/a/b")), Path(r, "a")),
    "raw-tuple": lambda r: (none(), filled_raw(Path(r + "/a/b"), (r + "/a/b",)), Path(r, "a")),
    "raw-subclass": lambda r: (none(), filled_raw(Path(r + "/a/b"), [Part(r + "/a/b")]), Path(r, "a")),
    "text-subclass": lambda r: (none(), filled(Path(r + "/a/b"), _str_normcase_cached=Part(r + "/a/b")),
                                Path(r, "a")),
    "empty-root": lambda r: (none(), filled(Path(r + "/a/b"), _root=""), Path(r, "a")),
    "drive-subclass": lambda r: (none(), filled(Path(r + "/a/b"), _drv=Part("")), Path(r, "a")),
    "no-root": lambda r: (none(), emptied(Path(r + "/a/b"), "_root"), Path(r, "a")),
    "entry-text-int": lambda r: (none(), Path(r + "/a/b"), filled(Path(r, "a"), _str_normcase_cached=5)),
    "entry-text-relative": lambda r: (none(), Path(r + "/a/b"), filled(Path(r, "a"), _str_normcase_cached="a")),
    # pathlib's classes, or what its code reads, not as checked
    "mro-order": lambda r: (bases(local.PosixPath, (PurePosixPath, local.Path)), Path(r + "/a/b"), Path(r, "a")),
    "mro-longer": lambda r: (bases(local.PosixPath, (local.Path, PurePosixPath, Mixin)), Path(r + "/a/b"),
                             Path(r, "a")),
    "defaults": lambda r: (attribute(PurePath.__eq__, "__defaults__", (None,)), Path(r + "/a/b"), Path(r, "a")),
    "kwdefaults": lambda r: (attribute(PurePath.__eq__, "__kwdefaults__", {"x": 1}), Path(r + "/a/b"),
                             Path(r, "a")),
    "trace": lambda r: (hook(sys.settrace, sys.gettrace, lambda *a: None), Path(r + "/a/b"), Path(r, "a")),
    "profile": lambda r: (hook(sys.setprofile, sys.getprofile, lambda *a: None), Path(r + "/a/b"), Path(r, "a")),
    "posixpath-class": lambda r: (attribute(posixpath, "__class__", OwnModule), Path(r + "/a/b"), Path(r, "a")),
    "os-class": lambda r: (attribute(os, "__class__", OwnModule), Path(r + "/a/b"), Path(r, "a")),
    "sys-class": lambda r: (attribute(sys, "__class__", OwnModule), Path(r + "/a/b"), Path(r, "a")),
    "readonly-slot": lambda r: (patched(PurePath, "_drv", vars(slice)["start"]), Path(r + "/a/b"), Path(r, "a")),
    "foreign-globals": lambda r: (patched(local._PathParents, "__len__", types.FunctionType(
        local._PathParents.__len__.__code__, globals())), Path(r + "/a/b"), Path(r, "a")),
    "no-sys": lambda r: (removed(local, "sys"), Path(r + "/a/b"), Path(r, "a")),
    "no-sep": lambda r: (removed(posixpath, "sep"), Path(r + "/a/b"), Path(r, "a")),
    "no-splitroot": lambda r: (removed(posixpath, "splitroot"), Path(r + "/a/b"), Path(r, "a")),
    "no-intern": lambda r: (removed(sys, "intern"), Path(r + "/a/b"), Path(r, "a")),
    "monitoring-object": lambda r: (patched(sys, "monitoring", types.SimpleNamespace(**vars(sys.monitoring))),
                                    Path(r + "/a/b"), Path(r, "a")),
    "no-builtin": lambda r: (removed(builtins, "slice"), Path(r + "/a/b"), Path(r, "a")),
    "get-tool": lambda r: (noticed(patched(sys.monitoring, "get_tool", sys.monitoring.get_events)), Path(r + "/a/b"),
                           Path(r, "a")),
    "wrapped-builtin": lambda r: (patched(builtins, "isinstance", lambda o, c, f=isinstance: f(o, c)),
                                  Path(r + "/a/b"), Path(r, "a")),
}


@pytest.mark.parametrize("state", list(UNUSUAL))
def test_unusual_states_answer_as_python(tmp_path, state):
    root = os.path.realpath(tmp_path)

    def decide():
        context, resolved, entry = UNUSUAL[state](root)
        rules = LoaderIgnore(paths=[])
        rules.paths.append(entry)
        rules.is_ignored(Path(root, "c"))  # the shortcut in use before the state is met
        with context:
            return answers(rules, [Resolved(resolved)])

    fast = decide()
    with ordinary():
        assert fast == decide()


# States of the process the shortcut meets when it first looks; afterwards a
# change to pathlib (parents made empty) must still be followed.
@pytest.mark.parametrize("setup", [
    # pathlib's module missing from sys.modules, then back
    "sys.modules.pop('pathlib._local')\n"
    "restore = lambda: sys.modules.__setitem__('pathlib._local', local)",
    # in its place, something that is not a module
    "import types; sys.modules['pathlib._local'] = types.SimpleNamespace(**vars(local))\n"
    "restore = lambda: sys.modules.__setitem__('pathlib._local', local)",
    # one of its classes missing
    "import pathlib._abc as base; real = base.PathBase; del base.PathBase\n"
    "restore = lambda: setattr(base, 'PathBase', real)",
    # PurePath and LoaderIgnore out of type version tags (1000 per class)
    "for i in range(1001):\n"
    "    local.PurePath._probe = i; local.PurePath._probe\n"
    "    LoaderIgnore._probe = i; LoaderIgnore._probe\n"
    "restore = lambda: None",
], ids=["unloaded", "not-a-module", "no-class", "no-version-tags"])
def test_state_met_at_the_first_decision(run_py, tmp_path, setup):
    run_py(f"""
        import sys, pathlib._local as local
        from pathlib import Path
        from brindova.talvesh import LoaderIgnore

        root = Path({str(tmp_path.resolve())!r})
        rules = LoaderIgnore(paths=[root / "a"])
        {textwrap.indent(setup, " " * 8).lstrip()}
        assert rules.is_ignored(root / "a" / "b") and not rules.is_ignored(root / "c")
        restore()
        local.PurePath.parents = property(lambda self: ())
        local._probe = 1
        assert not rules.is_ignored(root / "a" / "b")
        assert rules.is_ignored(root / "a")
    """)
