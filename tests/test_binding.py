import collections
import gc
import sys
import traceback
from pathlib import Path

import pytest

from brindova.talvesh import LoaderIgnore
from support import GETTERS, Boom, EqBoomStr, SubList, SubStr, incorrect, vectorcall

SOURCE = "src/brindova/talvesh"
FIRST_LINE = {
    "__init__": 26,
    "files": 105,
    "file_masks": 110,
    "paths": 115,
    "path_masks": 120,
    "env_names": 125,
    "env_name_masks": 130,
    "is_ignored": 135,
}
SINGULAR = ["file_mask", "path_mask", "env_name", "env_name_mask"]


class Sub(LoaderIgnore):
    pass


class Folded(str):
    """A keyword name whose own equality ignores case."""

    def __eq__(self, other):
        return self.lower() == str(other).lower()

    __hash__ = str.__hash__


class RaisingOnBound(str):
    """Unequal to every name but `file`, where the comparison raises."""

    def __eq__(self, other):
        if str(other) == "file":
            raise Boom("compared")
        return False

    __hash__ = str.__hash__


LongName = type("L" * 300, (), {})

def call_slot(function, *args, **kwargs):
    """Calls through the type's call slot, which gets the keywords as a dict."""
    return type(function).__call__(function, *args, **kwargs)


def joined(*parts):
    # Built at run time, so never the interned object a literal keyword is.
    return "".join(parts)


def case(id, function, call, message, notes=0):
    """One failing call: `function` is whose traceback entry it gets (None:
    refused before any of ours runs), `notes` how many notes it carries."""
    return pytest.param(call, function, message, notes, id=id)


I, IS = "__init__", "is_ignored"


def type_rows():
    # every tested constructor parameter: a plain wrong type, then a subclass instance
    for name in GETTERS:
        yield case(f"{name}-tuple", I, lambda x, n=name: LoaderIgnore(**{n: ()}), incorrect(name, "list", "tuple"))
        yield case(f"{name}-subclass", I, lambda x, n=name: LoaderIgnore(**{n: SubList()}),
                   incorrect(name, "list", "SubList"), notes=1)
    for name in SINGULAR:
        yield case(f"{name}-bytes", I, lambda x, n=name: LoaderIgnore(**{n: b"a"}), incorrect(name, "str", "bytes"))
        yield case(f"{name}-subclass", I, lambda x, n=name: LoaderIgnore(**{n: SubStr()}),
                   incorrect(name, "str", "SubStr"), notes=1)


AT_MOST_13 = "__init__() takes at most 13 positional arguments (14 given)"
AT_LEAST_1 = "__init__() takes at least 1 positional argument (0 given)"
FILES_TUPLE = incorrect("files", "list", "tuple")

FAILURES = [
    # positional counts, through the class, bound and unbound functions and property getters
    case("class-14", I, lambda x: LoaderIgnore(*[None] * 13), AT_MOST_13),
    case("subclass-14", I, lambda x: Sub(*[None] * 13), AT_MOST_13),
    case("bound-init-14", I, lambda x: x.__init__(*[None] * 13), AT_MOST_13),
    case("init-0", I, lambda x: LoaderIgnore.__init__(), AT_LEAST_1),
    case("count-before-keywords", I, lambda x: LoaderIgnore.__init__(files=[]), AT_LEAST_1),
    case("init-self-by-keyword", I, lambda x: LoaderIgnore.__init__(self=x), AT_LEAST_1),
    case("bound-is-ignored-4", IS, lambda x: x.is_ignored(None, None, None),
         "is_ignored() takes at most 3 positional arguments (4 given)"),
    case("is-ignored-0", IS, lambda x: LoaderIgnore.is_ignored(),
         "is_ignored() takes at least 1 positional argument (0 given)"),
    case("count-before-types", IS, lambda x: LoaderIgnore.is_ignored(name=1),
         "is_ignored() takes at least 1 positional argument (0 given)"),
    case("getter-0", "files", lambda x: LoaderIgnore.files.fget(),
         "files() takes exactly 1 positional argument (0 given)"),
    case("getter-2", "env_name_masks", lambda x: LoaderIgnore.env_name_masks.fget(x, x),
         "env_name_masks() takes exactly 1 positional argument (2 given)"),
    case("getter-2-and-keyword", "paths", lambda x: LoaderIgnore.paths.fget(x, x, self=x),
         "paths() takes exactly 1 positional argument (2 given)"),
    case("getter-bound", "path_masks", lambda x: LoaderIgnore.path_masks.fget.__get__(x)(x),
         "path_masks() takes exactly 1 positional argument (2 given)"),
    # keywords, in call order: the first failing one is reported
    case("multiple", I, lambda x: LoaderIgnore(None, file="a"),
         "__init__() got multiple values for keyword argument 'file'"),
    case("unexpected", I, lambda x: LoaderIgnore(fil="a"), "__init__() got an unexpected keyword argument 'fil'"),
    case("unexpected-first", I, lambda x: LoaderIgnore(None, fil=1, file=2),
         "__init__() got an unexpected keyword argument 'fil'"),
    case("multiple-first", I, lambda x: LoaderIgnore(None, file=2, fil=1),
         "__init__() got multiple values for keyword argument 'file'"),
    case("keywords-before-types", I, lambda x: LoaderIgnore(files=(), fil=1),
         "__init__() got an unexpected keyword argument 'fil'"),
    case("init-self", I, lambda x: LoaderIgnore.__init__(x, self=x),
         "__init__() got an unexpected keyword argument 'self'"),
    case("is-ignored-self", IS, lambda x: x.is_ignored(self=x),
         "is_ignored() got an unexpected keyword argument 'self'"),
    case("is-ignored-multiple", IS, lambda x: x.is_ignored(None, path=None),
         "is_ignored() got multiple values for keyword argument 'path'"),
    case("getter-multiple", "files", lambda x: LoaderIgnore.files.fget(x, self=x),
         "files() got multiple values for keyword argument 'self'"),
    case("getter-unexpected", "files", lambda x: LoaderIgnore.files.fget(self=x, other=1),
         "files() got an unexpected keyword argument 'other'"),
    case("non-ascii-name", I, lambda x: LoaderIgnore(**{"fïlé": 1}),
         "__init__() got an unexpected keyword argument 'fïlé'"),
    case("long-name", I, lambda x: LoaderIgnore(**{"k" * 300: 1}),
         f"__init__() got an unexpected keyword argument '{'k' * 300}'"),
    # names made at run time match by value
    case("joined-multiple", I, lambda x: LoaderIgnore(None, **{joined("fi", "le"): 1}),
         "__init__() got multiple values for keyword argument 'file'"),
    case("joined-binds", I, lambda x: LoaderIgnore(**{joined("fi", "les"): ()}), FILES_TUPLE),
    # str subclasses as names: their own equality decides; `self` never matches
    case("str-subclass-binds", I, lambda x: LoaderIgnore(**{SubStr("files"): ()}), FILES_TUPLE),
    case("custom-eq-binds", I, lambda x: LoaderIgnore(**{Folded("FILES"): ()}), FILES_TUPLE),
    case("custom-eq-multiple", I, lambda x: LoaderIgnore(None, **{Folded("FILE"): 1}),
         "__init__() got multiple values for keyword argument 'FILE'"),
    case("str-subclass-unexpected", I, lambda x: LoaderIgnore(**{SubStr("fil"): 1}),
         "__init__() got an unexpected keyword argument 'fil'"),
    case("custom-eq-self", IS, lambda x: x.is_ignored(**{Folded("SELF"): 1}),
         "is_ignored() got an unexpected keyword argument 'SELF'"),
    case("getter-custom-eq-self", "files", lambda x: LoaderIgnore.files.fget(x, **{Folded("SELF"): x}),
         "files() got multiple values for keyword argument 'SELF'"),
    # names that are not strings: a keyword dict is refused before any binding
    case("class-dict-key", None, lambda x: LoaderIgnore(**{1: 2}), "keywords must be strings"),
    case("getter-dict-key", None, lambda x: LoaderIgnore.files.fget(**{1: 2}), "keywords must be strings"),
    case("call-slot-dict-key", None, lambda x: call_slot(LoaderIgnore.is_ignored, x, **{1: 2}),
         "keywords must be strings"),
    # ... while the binding reports those that reach it as names
    case("vectorcall-int-name", I, lambda x: vectorcall(LoaderIgnore.__init__, [x], [(1, 2)]),
         "__init__() keywords must be strings"),
    case("vectorcall-second-name", IS, lambda x: vectorcall(LoaderIgnore.is_ignored, [x], [("name", None), (b"n", 2)]),
         "is_ignored() keywords must be strings"),
    case("vectorcall-getter", "files", lambda x: vectorcall(LoaderIgnore.files.fget, [], [(None, x)]),
         "files() keywords must be strings"),
    case("vectorcall-earlier-wins", IS, lambda x: vectorcall(LoaderIgnore.is_ignored, [x], [("nme", 1), (1, 2)]),
         "is_ignored() got an unexpected keyword argument 'nme'"),
    # the call slot keeps the dict's order
    case("call-slot-order-1", I, lambda x: call_slot(LoaderIgnore.__init__, x, None, **{"zz": 1, "file": 2}),
         "__init__() got an unexpected keyword argument 'zz'"),
    case("call-slot-order-2", I, lambda x: call_slot(LoaderIgnore.__init__, x, None, **{"file": 2, "zz": 1}),
         "__init__() got multiple values for keyword argument 'file'"),
    # exact-type tests
    *type_rows(),
    case("name-bytes", IS, lambda x: x.is_ignored(name=b"X"), incorrect("name", "str", "bytes")),
    case("name-subclass", IS, lambda x: LoaderIgnore.is_ignored(x, None, SubStr("X")),
         incorrect("name", "str", "SubStr"), notes=1),
    # ... in parameter order whatever the call's order, and before the body runs
    case("parameter-order", I, lambda x: LoaderIgnore(env_name_masks=(), files=()), FILES_TUPLE),
    case("earlier-wins", I, lambda x: LoaderIgnore(files=(), env_name=1), FILES_TUPLE),
    case("earlier-subclass-wins", I, lambda x: LoaderIgnore(env_name=1, file_mask=SubStr()),
         incorrect("file_mask", "str", "SubStr"), notes=1),
    case("by-position", I, lambda x: LoaderIgnore(None, ()), FILES_TUPLE),
    case("before-body", IS, lambda x: x.is_ignored(name=1, path="not a path"), incorrect("name", "str", "int")),
    # the type's C-level name, cut at 200 characters
    case("dotted-type-name", I, lambda x: LoaderIgnore(files=collections.deque()),
         incorrect("files", "list", "collections.deque")),
    case("path-type-name", I, lambda x: LoaderIgnore(files=Path("a")), incorrect("files", "list", "PosixPath")),
    case("bool", I, lambda x: LoaderIgnore(path_mask=True), incorrect("path_mask", "str", "bool")),
    case("long-type-name", I, lambda x: LoaderIgnore(paths=LongName()), incorrect("paths", "list", "L" * 200)),
]


def entries(exc):
    return [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(exc.__traceback__)]


@pytest.mark.parametrize("call, function, message, notes", FAILURES)
def test_binding_failure(call, function, message, notes):
    with pytest.raises(TypeError) as info:
        call(LoaderIgnore())
    error = info.value
    assert str(error) == message
    assert len(getattr(error, "__notes__", [])) == notes
    ours = [entry for entry in entries(error) if entry[0] == SOURCE]
    if function is None:
        assert ours == []
    else:
        expected = (SOURCE, f"brindova.talvesh.LoaderIgnore.{function}", FIRST_LINE[function])
        assert ours == [expected]
        assert entries(error)[-1] == expected


# Against a parameter not yet bound, and against one bound by position
# (looked at only to word the error).
@pytest.mark.parametrize("call", [
    lambda: LoaderIgnore(**{EqBoomStr("files"): ()}),
    lambda: LoaderIgnore(None, **{RaisingOnBound("file"): 1}),
])
def test_raising_keyword_equality_propagates(call):
    with pytest.raises(Boom, match="^compared$") as info:
        call()
    tail = entries(info.value)[-2:]
    assert tail[0] == (SOURCE, "brindova.talvesh.LoaderIgnore.__init__", 26)
    assert tail[1][1] == "__eq__"


def lists(x):
    return [x.files, x.file_masks, x.paths, x.path_masks, x.env_names, x.env_name_masks]


@pytest.mark.parametrize(
    "make, expected",
    [
        # all twelve by position, or keywords in any order
        (lambda: LoaderIgnore(*[None] * 12), [[]] * 6),
        (lambda: LoaderIgnore("a", None, "f", None, None, None, None, None, "E"),
         [[Path("a")], ["f"], [], [], ["E"], []]),
        (lambda: LoaderIgnore(env_name_mask="m", file_mask="f", file="a"), [[Path("a")], ["f"], [], [], [], ["m"]]),
        (lambda: LoaderIgnore("a", env_name_masks=[], files=["b"]), [[Path("b"), Path("a")], [], [], [], [], []]),
        # names made at run time, str subclasses, the call slot's dict
        (lambda: LoaderIgnore(**{joined("env_", "name"): "E"}), [[], [], [], [], ["E"], []]),
        (lambda: LoaderIgnore(**{Folded("ENV_NAME"): "E", SubStr("file_mask"): "f"}), [[], ["f"], [], [], ["E"], []]),
        (lambda: call_slot(LoaderIgnore, **{"path_mask": "p", "file": "a"}), [[Path("a")], [], [], ["p"], [], []]),
        # `file` and `path` are not type-tested
        (lambda: LoaderIgnore(file=SubStr("a"), path=SubStr("/")), [[Path("a")], [], [Path("/")], [], [], []]),
    ],
)
def test_binding_success(make, expected):
    assert lists(make()) == expected


def test_method_and_getter_call_shapes():
    x = LoaderIgnore(env_names=["E"])
    assert x.is_ignored(path=None, name=None) is False
    assert x.is_ignored(name="E") is True
    assert LoaderIgnore.is_ignored(x, None, "E") is True
    assert x.is_ignored(**{Folded("NAME"): "E", joined("pa", "th"): None}) is True
    getter = LoaderIgnore.files.fget
    assert getter(x) is x.files
    assert getter(self=x) is x.files
    assert getter(**{joined("se", "lf"): x}) is x.files
    assert call_slot(getter, **{"self": x}) is x.files
    assert vectorcall(getter, [], [("self", x)]) is x.files
    # `path` reaches the body untested: a str fails there, at the `resolve` step
    with pytest.raises(AttributeError) as info:
        x.is_ignored(path=SubStr("a"))
    assert entries(info.value)[-1] == (SOURCE, "brindova.talvesh.LoaderIgnore.is_ignored", 151)


def test_failed_binding_releases_arguments():
    held = [[], SubList(), SubStr("n"), object()]
    before = [sys.getrefcount(obj) for obj in held]
    for _ in range(100):
        for call in (
            lambda: LoaderIgnore(held[3], held[0], env_name=held[2]),
            lambda: LoaderIgnore(held[3], files=held[1]),
            lambda: LoaderIgnore(held[3], held[0], fil=held[2]),
            lambda: LoaderIgnore(*[held[0]] * 13),
            lambda: LoaderIgnore.is_ignored(held[3], held[3], held[2]),
            lambda: LoaderIgnore.files.fget(held[3], self=held[0]),
        ):
            with pytest.raises(TypeError):
                call()
    assert [sys.getrefcount(obj) for obj in held] == before


def test_binding_failures_do_not_leak():
    calls = [param.values[0] for param in FAILURES]

    def blocks_after(repeats):
        x = LoaderIgnore()
        for _ in range(repeats):
            for call in calls:
                try:
                    call(x)
                except TypeError:
                    pass
        gc.collect()
        return sys.getallocatedblocks()

    before = blocks_after(20)
    assert blocks_after(300) - before < 50
