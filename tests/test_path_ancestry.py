"""The paths step's shortcut for plain PosixPath objects against the ordinary
`==` / `parents` protocol, which it must equal in every case.

The ordinary protocol is forced by wrapping `_PathParents.__contains__` in a
function of our own that does exactly what it did: the behaviour stays, but
the shortcut no longer recognises pathlib and steps aside.
"""

import abc
import contextlib
import os
import pathlib
import pathlib._local as local
import posix
import posixpath
import sys
import tempfile
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
