import inspect
import pickle
import sys
import types
import typing
import warnings
from pathlib import Path

import pytest

import brindova.talvesh as talvesh
import twin
from brindova.talvesh import LoaderIgnore
from support import GETTERS

SOURCE = "src/brindova/talvesh"
FUNCTIONS = ["__init__", *GETTERS, "is_ignored"]
PARAMETERS = [
    "file", "files", "file_mask", "file_masks", "path", "paths",
    "path_mask", "path_masks", "env_name", "env_names", "env_name_mask", "env_name_masks",
]
INIT_ANNOTATIONS = [
    ("file", "Path | str"), ("files", "list[Path | str]"), ("file_mask", "str"), ("file_masks", "list[str]"),
    ("path", "Path | str"), ("paths", "list[Path | str]"), ("path_mask", "str"), ("path_masks", "list[str]"),
    ("env_name", "str"), ("env_names", "list[str]"), ("env_name_mask", "str"), ("env_name_masks", "list[str]"),
]
IS_IGNORED_DOC = (
    "\n"
    "            Check if a file path or environment variable name should be ignored.\n"
    "\n"
    "            :param path: file path\n"
    "            :param name: env-var name\n"
    "            :return:\n"
    "            "
)


def function(name):
    """The native function behind a class attribute: a getter for a property."""
    member = vars(LoaderIgnore)[name]
    return member.fget if isinstance(member, property) else member


@pytest.mark.parametrize(
    "native, plain",
    [
        (LoaderIgnore.__init__, twin.LoaderIgnore.__init__),
        (LoaderIgnore, twin.LoaderIgnore),
        (LoaderIgnore.is_ignored, twin.LoaderIgnore.is_ignored),
        (LoaderIgnore().is_ignored, twin.LoaderIgnore().is_ignored),
        *[(function(name), getattr(twin.LoaderIgnore, name).fget) for name in GETTERS],
    ],
    ids=["__init__", "class", "is_ignored", "bound-is_ignored", *GETTERS],
)
def test_signature(native, plain):
    assert inspect.signature(native) == inspect.signature(plain)


def test_type_hints_evaluate_in_module_namespace():
    assert typing.get_type_hints(LoaderIgnore.is_ignored) == {"path": Path, "name": str, "return": bool}
    assert typing.get_type_hints(LoaderIgnore.__init__) == typing.get_type_hints(twin.LoaderIgnore.__init__)
    assert typing.get_type_hints(LoaderIgnore.files.fget) == {}


VARNAMES_IS_IGNORED = ("self", "path", "name", "abs_path", "file_name", "path_str", *["genexpr"] * 6)


@pytest.mark.parametrize(
    "name, argcount, posonly, varnames, first_line",
    [
        ("__init__", 13, 1, ("self", *PARAMETERS, "f", "p"), 26),
        # getters: `self` alone, and it may come by keyword
        ("files", 1, 0, ("self",), 105),
        ("file_masks", 1, 0, ("self",), 110),
        ("paths", 1, 0, ("self",), 115),
        ("path_masks", 1, 0, ("self",), 120),
        ("env_names", 1, 0, ("self",), 125),
        ("env_name_masks", 1, 0, ("self",), 130),
        ("is_ignored", 3, 1, VARNAMES_IS_IGNORED, 135),
    ],
)
def test_code(name, argcount, posonly, varnames, first_line):
    code = function(name).__code__
    assert isinstance(code, types.CodeType)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (argcount, posonly, 0)
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_flags == inspect.CO_OPTIMIZED | inspect.CO_NEWLOCALS
    assert (code.co_name, code.co_filename, code.co_firstlineno) == (name, SOURCE, first_line)


@pytest.mark.parametrize("name", FUNCTIONS)
def test_function_attributes(name):
    f = function(name)
    defaults = {"__init__": (None,) * 12, "is_ignored": (None, None)}.get(name)
    assert (f.__name__, f.__qualname__, f.__module__) == (name, f"LoaderIgnore.{name}", "brindova.talvesh")
    assert f.__defaults__ == defaults and type(f.__defaults__) is type(defaults)
    assert f.__globals__ is vars(talvesh)
    assert (f.__closure__, f.__kwdefaults__) == (None, None)
    assert type(f.__dict__) is dict and f.__dict__ == {}
    assert f.__doc__ == (IS_IGNORED_DOC if name == "is_ignored" else None)


def test_is_ignored_doc_length():
    assert len(LoaderIgnore.is_ignored.__doc__) == 189


@pytest.mark.parametrize(
    "name, items",
    [
        ("__init__", INIT_ANNOTATIONS),
        ("is_ignored", [("path", "Path"), ("name", "str"), ("return", "bool")]),
        *[(name, []) for name in GETTERS],
    ],
)
def test_annotations(name, items):
    f = function(name)
    first = f.__annotations__
    assert list(first.items()) == items
    assert f.__annotations__ is first


ATTRIBUTES = ["__doc__", "__name__", "__qualname__", "__module__", "__annotations__", "__defaults__",
              "__kwdefaults__"]
DELETE = object()


def unique(text):
    """A str made at run time, neither interned nor immortal."""
    return "".join(list(text))


@pytest.fixture(params=["__init__", "files", "is_ignored"])
def native(request):
    """A native function whose writable attributes are put back afterwards."""
    f = function(request.param)
    saved = {attribute: getattr(f, attribute) for attribute in ATTRIBUTES}
    yield f
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)
        for attribute, value in saved.items():
            setattr(f, attribute, value)


@pytest.mark.parametrize(
    "attribute, value",
    [("__doc__", unique("new doc")), ("__doc__", None), ("__name__", unique("renamed")),
     ("__qualname__", unique("Other.renamed")), ("__module__", unique("elsewhere")), ("__module__", None),
     ("__annotations__", {"x": "int"})],
)
def test_reassign_attribute(native, attribute, value):
    setattr(native, attribute, value)
    # Every read hands out a reference of its own.
    count = sys.getrefcount(value)
    for _ in range(100):
        assert getattr(native, attribute) is value
    assert sys.getrefcount(value) == count


def test_repr(native):
    assert repr(native) == f"<native function {native.__qualname__} at {id(native):#x}>"


def python_function():
    pass


@pytest.mark.parametrize(
    "attribute, value",
    [("__name__", 1), ("__name__", b"n"), ("__name__", DELETE), ("__qualname__", None),
     ("__qualname__", DELETE), ("__annotations__", []), ("__defaults__", [None]), ("__kwdefaults__", ())],
)
def test_reassign_wrong_type(native, attribute, value):
    # The same refusals, with the same words, as a Python function's.
    def change(f):
        if value is DELETE:
            delattr(f, attribute)
        else:
            setattr(f, attribute, value)

    with pytest.raises(TypeError) as expected:
        change(python_function)
    before = getattr(native, attribute)
    with pytest.raises(TypeError) as info:
        change(native)
    assert str(info.value) == str(expected.value)
    assert getattr(native, attribute) is before


@pytest.mark.parametrize("clear", [lambda f: delattr(f, "__annotations__"),
                                   lambda f: setattr(f, "__annotations__", None)])
def test_deleting_annotations_gives_a_new_kept_dict(native, clear):
    old = native.__annotations__
    clear(native)
    fresh = native.__annotations__
    assert fresh == {} and fresh is not old and native.__annotations__ is fresh


def test_defaults_warning_as_error_changes_nothing(native):
    before = native.__defaults__
    with warnings.catch_warnings():
        warnings.simplefilter("error", RuntimeWarning)
        with pytest.raises(RuntimeWarning, match="omitted arguments are always None"):
            native.__defaults__ = (1,)
    assert native.__defaults__ is before


@pytest.mark.parametrize(
    "attribute, value",
    [("__defaults__", ("x",) * 12), ("__kwdefaults__", {"file_mask": "x"}), ("__defaults__", None)],
)
def test_assigned_defaults_do_not_reach_calls(attribute, value):
    f = LoaderIgnore.__init__
    saved = getattr(f, attribute)
    try:
        with pytest.warns(RuntimeWarning) as record:
            setattr(f, attribute, value)
        assert len(record) == 1
        assert getattr(f, attribute) == value
        if attribute == "__defaults__" and value is not None:
            assert inspect.signature(f).parameters["file_mask"].default == "x"
        # Omitted arguments are still None: nothing is added to the lists.
        x = LoaderIgnore()
        assert [x.files, x.file_masks, x.paths] == [[], [], []]
    finally:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)
            setattr(f, attribute, saved)


def test_descriptor():
    x = LoaderIgnore()
    for name in ("__init__", "is_ignored"):
        f = vars(LoaderIgnore)[name]
        assert getattr(LoaderIgnore, name) is f
        assert f.__get__(None, LoaderIgnore) is f
        bound = getattr(x, name)
        assert type(bound) is types.MethodType
        assert bound.__func__ is f and bound.__self__ is x
    getter = LoaderIgnore.files.fget
    assert getter.__get__(x)() is x.files


@pytest.mark.parametrize("name", ["__init__", "is_ignored"])
def test_functions_pickle_by_reference(name):
    f = getattr(LoaderIgnore, name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(f, protocol)) is f
