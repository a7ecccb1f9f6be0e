"""The paths step's shortcut for PosixPath objects against the ordinary
`==` / `parents` protocol, which it must equal in every case.

The ordinary protocol is forced by giving one of pathlib's functions a copy
of its own code with an unused constant added: the behaviour stays, but the
shortcut no longer knows the code and steps aside.
"""

import abc
import builtins
import contextlib
import functools
import gc
import ntpath
import os
import pathlib
import pathlib._local as local
import posixpath
import stat
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
from support import code_of, ordinary

# Calls of pathlib's code and finalisers seen by the rows below; answers()
# reports how many, so a shortcut that hid them would differ.
SEEN = []
PATHLIB = (os.path.dirname(local.__file__), Sequence.__contains__.__code__.co_filename)


@contextlib.contextmanager
def patched(owner, name, value, delete=False):
    missing = object()
    old = vars(owner).get(name, missing)
    if delete:
        delattr(owner, name)
    else:
        setattr(owner, name, value)
    try:
        yield
    finally:
        if old is missing:
            delattr(owner, name)
        else:
            setattr(owner, name, old)


def removed(owner, name):
    return patched(owner, name, None, delete=True)


@contextlib.contextmanager
def reinit(descriptor, function):
    # A property's __init__ can run again on the object already in the
    # class: the function inside changes, the class does not.
    old = descriptor.fget
    descriptor.__init__(function)
    try:
        yield
    finally:
        descriptor.__init__(old)


@contextlib.contextmanager
def attribute(owner, name, value):
    old = getattr(owner, name)
    setattr(owner, name, value)
    try:
        yield
    finally:
        setattr(owner, name, old)


class ParentsMeta(abc.ABCMeta):
    def __call__(cls, path):
        return ()


def finaliser(cls):
    return patched(cls, "__del__", lambda self: SEEN.append(cls.__name__))


def record(event_code):
    if event_code.co_filename.startswith(PATHLIB):
        SEEN.append(event_code.co_qualname)


@contextlib.contextmanager
def hook(setter, getter):
    old = getter()

    def tracer(frame, event, arg):
        if event == "call":
            record(frame.f_code)

    setter(tracer)
    try:
        yield
    finally:
        setter(old)


@contextlib.contextmanager
def monitored(local_code=None):
    mon, tool = sys.monitoring, 4
    mon.use_tool_id(tool, "audit")
    mon.register_callback(tool, mon.events.PY_START, lambda code, offset: record(code))
    if local_code:
        mon.set_local_events(tool, local_code, mon.events.PY_START)
    else:
        mon.set_events(tool, mon.events.PY_START)
    try:
        yield
    finally:
        if local_code:
            mon.set_local_events(tool, local_code, 0)
        mon.set_events(tool, 0)
        mon.register_callback(tool, mon.events.PY_START, None)
        mon.free_tool_id(tool)


def in_pathlib(function, qualname):
    """`function` as if pathlib defined it under `qualname`: its globals, its name."""
    code = function.__code__.replace(co_qualname=qualname)
    return types.FunctionType(code, vars(local), function.__name__, function.__defaults__, function.__closure__)


class Shadow(str):
    """A namespace key that Python's dict lookup finds for the name `len`."""

    __hash__ = lambda self: hash("len")
    __eq__ = lambda self, other: other == "len"


@contextlib.contextmanager
def shadowing_key():
    ns, key = vars(local), Shadow("not-len")
    ns[key] = lambda obj: 0
    try:
        yield
    finally:
        del ns[key]


def tamper(entries, target):
    """Entries whose cached text says `target` while their parts say otherwise."""
    for entry in entries:
        if type(entry) is type(Path()):
            entry == entry  # noqa: B015  fills the cache first, as any comparison does
            entry._str_normcase_cached = str(target)
    return contextlib.nullcontext()


class NewParents(Sequence):
    """pathlib's parents sequence made anew, but for a `__new__` of its own."""

    __slots__ = ("_path", "_drv", "_root", "_tail")
    __new__ = staticmethod(lambda cls, path: ())
    __init__, __len__, __getitem__ = (vars(local._PathParents)[n] for n in ("__init__", "__len__", "__getitem__"))


class EqualMixin:
    __slots__ = ()
    __eq__ = lambda self, other: True


class AllContained(Sequence):
    __slots__ = ()
    __contains__ = lambda self, value: True


@contextlib.contextmanager
def stacked(*contexts):
    with contextlib.ExitStack() as stack:
        for c in contexts:
            stack.enter_context(c)
        yield


def counted_import(*args, _import=builtins.__import__):
    SEEN.append("import")
    return _import(*args)


@contextlib.contextmanager
def stale_slot(cls, name, stand_in):
    """`cls.<name>` assigned `stand_in`, which sets the class's C slot, then
    the dict put back behind the type's back, which leaves the slot as it
    is; a new version tag on PosixPath leaves no stale cache entry either."""
    original = vars(cls)[name]
    setattr(cls, name, stand_in)
    gc.get_referents(vars(cls))[0][name] = original
    P._bump = None
    del P._bump
    try:
        yield
    finally:
        gc.get_referents(vars(cls))[0][name] = stand_in
        setattr(cls, name, original)


class PipeSeparated(types.ModuleType):
    sep = property(lambda self: "|")


class Contains(local._PathParents):
    __slots__ = ()
    __contains__ = lambda self, value: True


P = type(Path())
# Each row changes some answer, so a shortcut that missed it would differ.
ALTERATIONS = {
    # classes anywhere in the order, the parents sequence and its bases
    "eq": lambda e, t: patched(PurePath, "__eq__", lambda self, other: isinstance(other, PurePath)),
    "parents": lambda e, t: patched(PurePath, "parents", property(lambda self: ())),
    "contains": lambda e, t: patched(local._PathParents, "__contains__", lambda self, value: False),
    "iter": lambda e, t: patched(Sequence, "__iter__", lambda self: iter(())),
    "format": lambda e, t: patched(PurePath, "_format_parsed_parts",
                                   classmethod(lambda cls, drv, root, tail: drv + root + "|".join(tail))),
    "parser": lambda e, t: patched(PurePosixPath, "parser", ntpath),
    "reinit": lambda e, t: reinit(vars(PurePath)["parents"], lambda self: ()),
    "metaclass": lambda e, t: attribute(local._PathParents, "__class__", ParentsMeta),
    "abstract": lambda e, t: patched(local._PathParents, "__abstractmethods__", frozenset({"missing"})),
    "parser-object": lambda e, t: patched(PurePosixPath, "parser",
                                          types.SimpleNamespace(**{**vars(posixpath), "altsep": "a"})),
    # each kind of lookup finding something else
    "own-drive": lambda e, t: patched(P, "drive", property(lambda self: "X")),
    "slot-property": lambda e, t: patched(PurePath, "_drv", property(lambda self: "X")),
    "drive-function": lambda e, t: patched(PurePath, "drive", lambda self: ""),
    "static-format": lambda e, t: patched(PurePath, "_format_parsed_parts",
                                          staticmethod(lambda drv, root, tail: drv + root + "|".join(tail))),
    "no-tail": lambda e, t: removed(PurePath, "_tail"),
    "no-parsed-string": lambda e, t: removed(PurePath, "_from_parsed_string"),
    "foreign-slot": lambda e, t: patched(PurePath, "_drv", vars(local._PathParents)["_drv"]),
    # code that passes for pathlib's by module and name, and replaced code
    "named-code": lambda e, t: patched(local._PathParents, "__len__",
                                       in_pathlib(lambda self: 0, "_PathParents.__len__")),
    "code": lambda e, t: code_of(local._PathParents.__len__, lambda self: 0),
    "not-a-function": lambda e, t: patched(PurePath, "__eq__", functools.partial(lambda self, other: True)),
    "foreign-globals": lambda e, t: patched(local._PathParents, "__len__", types.FunctionType(
        local._PathParents.__len__.__code__, dict(vars(local), len=lambda obj: 0))),
    "deep-constant": lambda e, t: code_of(local._PathParents.__len__, types.SimpleNamespace(
        __code__=local._PathParents.__len__.__code__.replace(co_consts=(functools.reduce(
            lambda inner, _: (inner,), range(20), ()), *local._PathParents.__len__.__code__.co_consts[1:]),
            co_names=("len", "_drv")))),
    # module globals, and names they resolve
    "global": lambda e, t: patched(local, "_PathParents", Contains),
    "parents-function": lambda e, t: patched(local, "_PathParents", lambda path: ()),
    "no-os": lambda e, t: removed(local, "os"),
    "altsep": lambda e, t: patched(posixpath, "altsep", "a"),
    "intern": lambda e, t: patched(sys, "intern", lambda text: text + "_"),
    "shadowed-len": lambda e, t: patched(local, "len", lambda obj: 0),
    "shadowed-error": lambda e, t: patched(local, "AttributeError", KeyError),
    "shadowing-key": lambda e, t: shadowing_key(),
    # a cached text that disagrees with its parts
    "slot": tamper,
    # finalisers of what the ordinary route makes and drops
    "del-parents": lambda e, t: finaliser(local._PathParents),
    "del-path": lambda e, t: finaliser(PurePath),
    "del-sequence-base": lambda e, t: finaliser(Sequence),
    # how the classes are called, searched and tested
    "parents-new": lambda e, t: patched(local, "_PathParents", NewParents),
    "bases": lambda e, t: attribute(local._PathParents, "__bases__", (AllContained,)),
    "path-bases": lambda e, t: attribute(P, "__bases__", (local.Path, EqualMixin, PurePosixPath)),
    "sep": lambda e, t: patched(posixpath, "sep", "|"),
    "pure-global": lambda e, t: patched(local, "PurePath", int),
    "module-class": lambda e, t: attribute(posixpath, "__class__", PipeSeparated),
    # builtins the code reads
    "builtin-type": lambda e, t: patched(builtins, "slice", int),
    "builtin-function": lambda e, t: patched(builtins, "len", hash),
    # what resolve runs: its default, its functions, the system calls and
    # what they return
    "resolve-default": lambda e, t: attribute(local.Path.resolve, "__defaults__", (True,)),
    "resolve-no-default": lambda e, t: attribute(local.Path.resolve, "__defaults__", None),
    "fspath": lambda e, t: patched(PurePath, "__fspath__", lambda self: "/"),
    "realpath": lambda e, t: patched(posixpath, "realpath", lambda path, *, strict=False: "/"),
    "os-path": lambda e, t: patched(os, "path", types.SimpleNamespace(realpath=lambda path, *, strict=False: "/")),
    "join": lambda e, t: patched(posixpath, "join", lambda a, *p: "/"),
    "get-sep": lambda e, t: patched(posixpath, "_get_sep", lambda path: "|"),
    "splitdrive": lambda e, t: patched(posixpath, "splitdrive", lambda p: [][0]),
    "getcwd": lambda e, t: patched(os, "getcwd", lambda: str(t)),
    "lstat": lambda e, t: patched(os, "lstat", lambda path: os.stat(path)),
    "readlink": lambda e, t: patched(os, "readlink", lambda path: "/"),
    "islink": lambda e, t: patched(stat, "S_ISLNK", lambda mode: False),
    "st-mode": lambda e, t: patched(os.stat_result, "st_mode", property(lambda self: 0)),
    "stat-getattribute": lambda e, t: patched(os.stat_result, "__getattribute__", lambda self, name: 0),
    "shadowed-oserror": lambda e, t: patched(posixpath, "OSError", KeyError),
    # a C slot that no longer matches its class dict
    "stale-str": lambda e, t: stale_slot(PurePath, "__str__", object.__str__),
    "stale-init": lambda e, t: stale_slot(local.Path, "__init__", object.__init__),
    "stale-parents-init": lambda e, t: stale_slot(local._PathParents, "__init__", object.__init__),
    # what only some releases' realpath and PurePath.__init__ read
    **({"shadowed-len": lambda e, t: patched(posixpath, "len", lambda obj: 0)}
       if "len" in posixpath.realpath.__code__.co_names else {}),
    **({"import-hook": lambda e, t: patched(builtins, "__import__", counted_import)}
       if "ntpath" in PurePath.__init__.__code__.co_varnames else {}),
}
# Who watches the calls. Their test comes last: an interpreter that was
# ever instrumented keeps the shortcut off for the rest of the process.
OBSERVERS = {
    "local-monitoring": lambda e, t: monitored(local._PathParents.__getitem__.__code__),  # raises no version
    "trace": lambda e, t: hook(sys.settrace, sys.gettrace),
    "profile": lambda e, t: hook(sys.setprofile, sys.getprofile),
    "monitoring": lambda e, t: monitored(),
}


def build(root, dirs, links):
    for d in dirs:
        os.makedirs(os.path.join(root, d), exist_ok=True)
    for name, target in links:
        link = os.path.join(root, "l_" + name.replace("/", "_"))
        if not os.path.lexists(link):
            os.symlink(os.path.join(root, target), link)
    return sorted(set(dirs) | {"l_" + n.replace("/", "_") + "/x" for n, _ in links})


class SubPath(P):
    __slots__ = ()


def entries_for(root, dirs, anchors=True):
    plain = [Path(root, d).resolve() for d in dirs[:2]]
    if anchors:
        plain += [Path("/"), Path("//" + root.lstrip("/"))]
    return plain + [Path(dirs[0]), Path(root, dirs[0], ".."), SubPath(root, dirs[-1]), PurePosixPath(root, dirs[-1]),
                    str(Path(root, dirs[0]))]


def answers(rules, queries):
    del SEEN[:]
    out = []
    for q in queries:
        try:
            out.append(rules.is_ignored(q))
        except Exception as exc:  # noqa: BLE001  compared, not hidden
            out.append((type(exc), str(exc)))
    return out + [SEEN.__len__()]  # len() itself may be altered


def queries_for(root, rels):
    return [Path(root, r) for r in rels] + [Path(root, rels[0], ".."), Path("/"), Path("//"), SubPath(root),
                                            Path(root, "missing", ".."), Path("x")]


@settings(max_examples=30, deadline=None)
@given(st.tuples(st.lists(st.lists(st.sampled_from(["a", "b", "c", "ab"]), min_size=1, max_size=3).map("/".join),
                          min_size=1, max_size=4),
                 st.lists(st.tuples(st.sampled_from(["a", "b/c"]), st.sampled_from(["a", "c"])), max_size=2)),
       st.sampled_from([None, *ALTERATIONS]))
def test_shortcut_answers_as_the_ordinary_protocol(tree, alteration):
    dirs, links = tree
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.realpath(tmp)
        for _, target in links:
            dirs = dirs + [target]
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
            assert fast == run()


def changes_an_answer(tmp_path, make):
    # The alteration changes an ordinary answer (otherwise the differential
    # test could not see a shortcut ignore it), and the shortcut, already in
    # use when it is made, gives the altered answers. The shortcut goes
    # first, so that the ordinary route has not yet run (and, say, been
    # instrumented) when the shortcut meets the alteration.
    # Each decision gets fresh queries, whose texts no earlier one cached.
    root = os.path.realpath(tmp_path)
    rels = build(root, ["a/b", "c"], [("l", "a")])

    def decide(route):
        rules = LoaderIgnore(paths=[])
        entries = entries_for(root, ["a", "c"], anchors=False)
        rules.paths.extend(entries)
        with route():
            before, fresh = answers(rules, queries_for(root, rels)), queries_for(root, rels)
            with make(entries, Path(root, "c")):
                return before, answers(rules, fresh)

    fast = decide(contextlib.nullcontext)
    before, after = decide(ordinary)
    assert before != after
    assert fast == (before, after)


@pytest.mark.parametrize("alteration", list(ALTERATIONS))
def test_each_alteration_changes_an_answer(tmp_path, alteration):
    changes_an_answer(tmp_path, ALTERATIONS[alteration])


class Resolved:
    """A query whose resolve() hands back `path` untouched (its name and text
    are given, so that nothing reads the path before the decision does)."""

    def __init__(self, path):
        self.path, self.name = path, "b"

    def resolve(self):
        return self.path

    def __format__(self, spec):
        return "q"


def filled(path, **slots):
    path == path  # noqa: B015  fills the cached parts and text, as any comparison does
    for name, value in slots.items():
        setattr(path, name, value)
    return path


def raw(text, raw_paths):
    path = Path(text)
    path._raw_paths = raw_paths
    return path


class Part(str):
    """Text equal to any other text."""

    __eq__ = lambda self, other: True
    __hash__ = str.__hash__


class Empty(str):
    """Text that parses as the empty path."""

    __len__ = lambda self: 0


class EqualToAll(P):
    __slots__ = ()
    __eq__ = lambda self, other: True


class OwnDict(pathlib.Path, PurePosixPath):
    pass


class OwnGetattr(pathlib.Path, PurePosixPath):
    __slots__ = ()

    def __getattribute__(self, name):
        return () if name == "parents" else object.__getattribute__(self, name)


class MakesEqualToAll(type):
    __call__ = lambda cls, *args: EqualToAll(*args)


class OwnMeta(pathlib.Path, PurePosixPath, metaclass=MakesEqualToAll):
    __slots__ = ()


def made(cls, text):
    """An instance made past its metaclass."""
    path = object.__new__(cls)
    PurePath.__init__(path, text)
    return path


class OwnSetattr(pathlib.Path, PurePosixPath):
    __slots__ = ()

    def __setattr__(self, name, value):
        object.__setattr__(self, name, "/elsewhere" if name == "_str_normcase_cached" else value)


def filled_str(path, text):
    path._str = text  # read by the first str(), in place of the parts
    return path


class Switcher:
    """An entry whose comparison turns the query's class into EqualToAll."""

    def __eq__(self, other):
        other.__class__ = EqualToAll
        return False


none = contextlib.nullcontext
# Query and entry states, from the resolved root r: (context, resolved
# query, entries, the answer a shortcut that read only the texts, or ignored
# the state, would give). Python's answer must differ from that one.
UNUSUAL = {
    "raw-parts": lambda r: (none(), raw(r + "/x", [r + "/x", r + "/a/b"]), [Path(r, "a")], False),
    "raw-tuple": lambda r: (none(), raw(r + "/x", (r + "/a/b",)), [Path(r, "a")], False),
    "raw-subclass": lambda r: (none(), raw(r + "/a/b", [Empty(r + "/a/b")]), [Path(".")], False),
    "dot-parts": lambda r: (none(), raw(r + "/a/b", [r + "/./a/./b"]), [Path(r, "a")], False),
    "relative-dot": lambda r: (none(), Path("a/b"), [Path(".")], False),
    "three-slashes": lambda r: (none(), Path("///" + r + "/a/b"), [Path("//" + r[1:])], True),
    "tail-tuple": lambda r: (none(), filled(Path(r + "/x/y"), _tail_cached=tuple(r[1:].split("/")) + ("a", "b")),
                             [Path(r, "a")], False),
    "tail-subclass": lambda r: (none(), filled(Path(r + "/a/b"), _tail_cached=[Part(p) for p in r[1:].split("/")]),
                                [Path(r)], True),
    "text-subclass": lambda r: (none(), filled(Path(r + "/x"), _str_normcase_cached=Part(r + "/x")), [Path(r, "a")],
                                False),
    "entry-text-subclass": lambda r: (none(), Path(r + "/x"), [filled(Path(r, "a"), _str_normcase_cached=Part("a"))],
                                      False),
    "empty-root": lambda r: (none(), filled(Path(r + "/a/b"), _root=""), [Path(r, "a")], True),
    "drive": lambda r: (none(), filled(Path(r + "/a/b"), _drv="X"), [Path(r, "a")], True),
    "both-subclass": lambda r: (patched(SubPath, "parents", property(lambda self: ())), SubPath(r, "a", "b"),
                                [SubPath(r, "a")], True),
    "class-changed": lambda r: (none(), Path(r, "x"), [Switcher(), Path(r, "y")], False),
    # a cached text of the query that its parts contradict
    "text-disagrees": lambda r: (none(), filled(Path(r + "/a/b"), _str_normcase_cached=r + "/x"), [Path(r, "a", "b")],
                                 True),
    # classes of pathlib's shape but their own attribute protocol
    "own-instance-dict": lambda r: (none(), OwnDict(r, "a", "b"), [filled(OwnDict(r, "a"), parser=ntpath)],
                                    True),
    "own-getattribute": lambda r: (none(), OwnGetattr(r, "a", "b"), [OwnGetattr(r, "a")], True),
    # made by the query's own class, once `Path` names it: ancestors of another class
    "path-global": lambda r: (stacked(patched(local, "Path", P), patched(local, "PosixPath", EqualToAll)),
                              Path(r, "x", "y"), [Path(r, "z")], False),
    # super() in Path.__init__ reads its class cell: ancestors are made otherwise
    "cell": lambda r: (attribute(local.Path.__init__.__closure__[0], "cell_contents", PurePath),
                       Path(r, "a", "b"), [filled(Path(r, "a"))], True),
    "own-setattr": lambda r: (none(), OwnSetattr(r + "/a/b"), [filled(OwnSetattr(r, "x"))], False),
    # cached parts and texts that the text matching must not take as they look
    "drive-int": lambda r: (none(), filled(Path(r + "/a/b"), _drv=5), [Path(r, "a")], True),
    "no-raw": lambda r: (none(), object.__new__(P), [filled(Path(r, "a"))], False),
    "own-metaclass": lambda r: (none(), made(OwnMeta, r + "/a/b"), [filled(made(OwnMeta, r + "/x"))], False),
    "tail-int": lambda r: (none(), filled(Path(r + "/a/b"), _tail_cached=[1, 2]), [Path(r, "a")], True),
    "entry-text-sep": lambda r: (none(), Path(r, "a", "b", "c"),
                                 [filled(Path(r, "x"), _str_normcase_cached=r + "/a|b")], True),
    "text-read": lambda r: (none(), filled_str(Path(r + "/a/b"), r + "/x"), [Path(r, "x")], False),
}


@pytest.mark.parametrize("state", list(UNUSUAL))
def test_unusual_states_answer_as_python(tmp_path, state):
    root = os.path.realpath(tmp_path)

    def decide():
        context, resolved, entries, naive = UNUSUAL[state](root)
        rules = LoaderIgnore(paths=[])
        rules.paths.extend(entries)
        rules.is_ignored(Path(root, "c"))  # the shortcut in use before the state is met
        with context:
            return answers(rules, [Resolved(resolved)]), naive

    fast, naive = decide()
    with ordinary():
        assert fast == decide()[0]
    assert fast[0] is not naive


def python_depth(call, depth):
    return python_depth(call, depth - 1) if depth else call()


class Probe:
    """Calls when compared: at the bottom of nested lists, only C frames
    stand between it and the comparison of the outermost ones."""

    def __init__(self, call):
        self.call, self.seen = call, None

    def __eq__(self, other):
        self.seen = self.call()
        return True


def c_depth(call, depth):
    probe = mine = Probe(call)
    theirs = object()
    for _ in range(depth):
        mine, theirs = [mine], [theirs]
    mine == theirs  # noqa: B015
    return probe.seen


@pytest.mark.parametrize("nest", [python_depth, c_depth])
def test_recursion_headroom(tmp_path, nest):
    # Near either recursion limit the ordinary route raises where a shortcut
    # would not: at every depth the two must agree.
    rules = LoaderIgnore(paths=[tmp_path / "a"])

    def decide():
        try:  # resolve() runs no Python code: the paths step is the deepest
            return rules.is_ignored(Resolved(Path(tmp_path, "a", "b")))
        except RecursionError:
            return "RecursionError"

    def outcomes(depths):
        out = []
        for d in depths:
            try:
                out.append(nest(decide, d))
            except RecursionError:
                break  # the nesting itself reached the limit
        return out

    limit = sys.getrecursionlimit()
    frames, frame = 0, sys._getframe()
    while frame:
        frame, frames = frame.f_back, frames + 1
    sys.setrecursionlimit(frames + 100)
    try:
        depths = range(100)
        if nest is c_depth:  # around the first depth at which the decision fails
            low, high = 0, 30_000
            while high - low > 1:
                low, high = (low, (low + high) // 2) if outcomes([(low + high) // 2]) != [True] else \
                    ((low + high) // 2, high)
            depths = range(high - 110, high + 5)
        fast = outcomes(depths)
        with ordinary():
            assert fast == outcomes(depths)
    finally:
        sys.setrecursionlimit(limit)
    assert "RecursionError" in fast and True in fast


# Patched once for the whole run, not per call: each write to a class spends
# one of the version tags the interpreter gives a class (a thousand), and a
# class without one is never trusted again in the process.
def test_names_sharing_a_slot_leak_nothing(tmp_path):
    rules = LoaderIgnore(paths=[tmp_path / "a"])
    with patched(PurePath, "_tail_cached", vars(PurePath)["_str_normcase_cached"]):
        for rounds in (200, 2000):
            gc.collect()
            before = sys.getallocatedblocks()
            for _ in range(rounds):
                rules.is_ignored(tmp_path / "a" / "b")
        gc.collect()
        assert sys.getallocatedblocks() - before < 50


# Programs run in a fresh interpreter: states met at the first decision, and
# objects whose lifetime the shortcut must not extend. `python(q)` is the
# answer of plain Python's protocol.
PRELUDE = """
import gc, sys, types, weakref, pathlib._local as local
from pathlib import Path, PurePath
from brindova.talvesh import LoaderIgnore
root = Path({root!r})
rules = LoaderIgnore(paths=[root / "a"])
python = lambda q: any(q.resolve() == e or e in q.resolve().parents for e in rules.paths)
check = lambda *qs: [rules.is_ignored(q) for q in qs] == [python(q) for q in qs]

def made_at(address, make):
    # Objects from `make()` until one lands at `address`, freed just before.
    for attempt in range(1000):
        made = make()
        if id(made) == address:
            return made
    raise AssertionError("nothing was made at the freed address")
"""
HOSTILE = {
    # a copy of a trusted function whose defaults hold an object that decides
    # when it dies, and a weak reference whose callback decides: both die when
    # Python drops the copy, never inside a later check
    "dies-deciding": """
        class Decides:
            def __del__(self):
                died.append(check(root / "a" / "b"))
        died, real = [], PurePath.__eq__
        copy = types.FunctionType(real.__code__, real.__globals__, "__eq__", (Decides(),))
        probe = weakref.ref(copy, lambda ref: died.append(check(root / "a" / "b", root / "c")))
        PurePath.__eq__ = copy
        assert check(root / "a" / "b", root / "c")
        PurePath.__eq__ = real
        del copy
        assert probe() is None and died == [True, True], died
        assert check(root / "a" / "b", root / "c", root / "a")
    """,
    # forged before the first decision: pathlib's globals and name, other code
    "forged-first": """
        rules.paths[0] == rules.paths[0]  # the entry's text cached: only the shortcut's trust decides
        PurePath.__eq__ = types.FunctionType((lambda self, other: True).__code__.replace(
            co_qualname="PurePath.__eq__"), vars(local), "__eq__")
        assert rules.is_ignored(root / "c") is True and check(root / "c", root / "a" / "b")
    """,
    # code the check could call: a metaclass __eq__ (the parents' bases), and
    # a signal's handler run inside it; none may run, nor be swallowed
    "runs-no-code": """
        import abc
        calls = []
        abc.ABCMeta.__eq__ = lambda cls, other: calls.append(cls) or (_ for _ in ()).throw(KeyboardInterrupt)
        abc.ABCMeta.__hash__ = type.__hash__
        local._probe = 1  # a namespace change: the next decision checks again
        assert check(root / "a" / "b", root / "c") and not calls, calls
    """,
    # watchers set before pathlib's code ever ran instrumented: only the
    # interpreter's instrumentation version tells
    "observed-first": """
        calls = []
        class Resolved:
            def __init__(self, path): self.path, self.name = path, "n"
            def resolve(self): return self.path
            def __format__(self, spec): return "q"
        query = Resolved(root / "c" / "d")
        query.path == query.path, rules.paths[0] == rules.paths[0]  # texts cached: no code of pathlib's need run
        sys.monitoring.use_tool_id(3, "audit")
        sys.monitoring.register_callback(3, sys.monitoring.events.PY_START,
                                         lambda code, offset: calls.append(code.co_qualname))
        sys.monitoring.set_events(3, sys.monitoring.events.PY_START)
        assert rules.is_ignored(query) is False and "_PathParents.__getitem__" in calls, calls
    """,
    # the code of a trusted function replaced by other code made at the
    # address that its own code, now freed, had
    "reused-address": """
        f = local._PathParents.__len__
        template = f.__code__.replace(co_names=("len", "_drv"))
        assert check(root / "a" / "b")
        address = id(f.__code__)
        f.__code__ = (lambda self: 0).__code__
        f.__code__ = made_at(address, template.replace)
        assert rules.is_ignored(root / "a" / "b") is False and check(root / "a" / "b")
    """,
    # a property's function replaced by one made at its freed address, with
    # the same code but other globals
    "reused-function": """
        prop = vars(PurePath)["parents"]
        real = prop.fget
        code, address = real.__code__, id(real)
        evil = dict(vars(local), _PathParents=lambda path: ())
        assert check(root / "a" / "b")
        make = lambda: types.FunctionType(code, evil)  # made first: it would take the freed place
        prop.__init__(lambda self: ())
        del real
        prop.__init__(made_at(address, make))
        assert rules.is_ignored(root / "a" / "b") is False and check(root / "a" / "b")
    """,
    # a class dict written behind its type's back: the interpreter's type
    # cache, and so the ordinary route, still finds the old function
    "stale-type-cache": """
        query = Path(str(root / "c"))
        query == rules.paths[0], rules.paths[0] == query  # both texts cached
        class Resolved:
            name, resolve, __format__ = "c", lambda self: query, lambda self, spec: "c"
        real, evil = vars(PurePath)["__eq__"], lambda self, other: True
        PurePath.__eq__ = evil
        assert rules.is_ignored(Resolved()) is True
        gc.get_referents(vars(PurePath))[0]["__eq__"] = real
        assert (query == rules.paths[0]) is True and rules.is_ignored(Resolved()) is True
    """,
    # PurePath and LoaderIgnore out of version tags (1000 a class): pathlib's
    # changes are still followed, and the slots read the ordinary way
    "no-version-tags": """
        for i in range(1001):
            PurePath._probe = i; PurePath._probe
            LoaderIgnore._probe = i; LoaderIgnore._probe
        assert check(root / "a" / "b", root / "c")
        PurePath.parents = property(lambda self: ())
        assert check(root / "a" / "b", root / "a")
    """,
    # on in each verified interpreter, off (same answers) for code whose
    # fingerprint is unknown: the ordinary route makes ancestors to compare
    "fingerprints": """
        import tracemalloc
        class Resolved:
            def __init__(self, path): self.path, self.name = path, "n"
            def resolve(self): return self.path
            def __format__(self, spec): return "q"
        def peak():
            deep = Path("/" + "/".join("d" * 200 for i in range(30)))
            deep == deep
            rules.is_ignored(Resolved(deep))
            tracemalloc.start()
            answer = rules.is_ignored(Resolved(deep))
            peak = tracemalloc.get_traced_memory()[1]
            tracemalloc.stop()
            return answer, peak
        on, off = peak(), None
        fresh = Path("/" + "/".join("p%d" % i for i in range(5)))
        rules.is_ignored(Resolved(fresh))
        assert all(part is sys.intern(part[:1] + part[1:]) for part in fresh._tail), "parts parsed as pathlib would"
        eq = PurePath.__eq__
        eq.__code__ = eq.__code__.replace(co_consts=eq.__code__.co_consts + ("unused",))
        off = peak()
        assert on[0] == off[0] is False and on[1] < 1000 < 8000 < off[1], (on, off)
    """,
}


@pytest.mark.parametrize("program", list(HOSTILE))
def test_hostile_programs(run_py, tmp_path, program):
    if program.startswith("reused-") and not sys.getallocatedblocks():
        pytest.skip("only the interpreter's own allocator hands a freed address out again at once")
    (tmp_path / "a" / "b").mkdir(parents=True)
    run_py(PRELUDE.format(root=str(tmp_path.resolve())) + textwrap.dedent(HOSTILE[program]))


@pytest.mark.parametrize("observer", list(OBSERVERS))
def test_observers_see_the_ordinary_calls(tmp_path, observer):
    changes_an_answer(tmp_path, OBSERVERS[observer])
