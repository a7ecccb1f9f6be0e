import builtins
import fnmatch
import json
import pathlib
import traceback
import types
import weakref

import pytest

import brindova.talvesh as talvesh
import twin
from brindova.talvesh import LoaderIgnore
from support import GETTERS, load_as

SOURCE = "src/brindova/talvesh"
DECLARED = tuple(f"__{name}" for name in GETTERS)
STORED = [f"_LoaderIgnore__{name}" for name in GETTERS]
NAMESPACE_ORDER = ["__module__", "__slots__", "__init__", *GETTERS, "is_ignored"]

LOAD_AS_TALVESH = load_as("talvesh")

# Proves a module complete: every name bound, and a rule set that decides.
CHECK_COMPLETE = """
import fnmatch as real_fnmatch, pathlib as real_pathlib
def complete(m):
    Path = real_pathlib.Path
    x = m.LoaderIgnore(file_mask="*.x", env_names=["E"])
    return (m.Path is Path and m.fnmatch is real_fnmatch and m.__test__ == {}
            and type(m.LoaderIgnore.paths) is property
            and x.is_ignored(Path("d/a.x")) and x.is_ignored(name="E")
            and not x.is_ignored(Path("a.y")))
"""


def test_module_namespace(run_py):
    # The order needs a module no other test has touched.
    out = run_py("""
        import json, brindova.talvesh as m
        print(json.dumps(list(vars(m))))
    """).stdout
    given = ["__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__"]
    assert [key for key in json.loads(out) if key not in given] == [
        "__builtins__", "Path", "fnmatch", "LoaderIgnore", "__test__",
    ]
    assert talvesh.__builtins__ is builtins
    assert talvesh.Path is pathlib.Path
    assert talvesh.fnmatch is fnmatch
    assert type(talvesh.__test__) is dict and talvesh.__test__ == {}
    assert talvesh.__doc__ is None


def test_class_namespace():
    keys = list(vars(LoaderIgnore))
    assert keys[: len(NAMESPACE_ORDER)] == NAMESPACE_ORDER
    # What the interpreter adds comes after: one member descriptor per slot, and __doc__.
    assert sorted(keys[len(NAMESPACE_ORDER):]) == sorted([*STORED, "__doc__"])
    assert all(type(vars(LoaderIgnore)[name]) is types.MemberDescriptorType for name in STORED)
    assert type(LoaderIgnore.__slots__) is tuple and LoaderIgnore.__slots__ == DECLARED


def test_class_identity():
    assert (LoaderIgnore.__module__, LoaderIgnore.__qualname__, LoaderIgnore.__name__) == (
        "brindova.talvesh", "LoaderIgnore", "LoaderIgnore",
    )
    assert LoaderIgnore.__doc__ is None
    assert LoaderIgnore.__bases__ == (object,)
    assert type(LoaderIgnore) is type


def test_instance_has_only_its_slots():
    x = LoaderIgnore()
    assert not hasattr(x, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(x)
    with pytest.raises(AttributeError):
        x.extra = 1
    with pytest.raises(AttributeError):
        x.__weakref__  # noqa: B018


@pytest.mark.parametrize("name", GETTERS)
def test_properties_are_read_only(name):
    x, plain = LoaderIgnore(), twin.LoaderIgnore()
    prop = vars(LoaderIgnore)[name]
    assert (prop.fget.__name__, prop.fset, prop.fdel, prop.__doc__) == (name, None, None, None)
    for change in (lambda o, n: setattr(o, n, []), delattr):
        with pytest.raises(AttributeError) as expected:
            change(plain, name)
        with pytest.raises(AttributeError) as info:
            change(x, name)
        assert str(info.value) == str(expected.value)


def last_entry(exc):
    last = traceback.extract_tb(exc.__traceback__)[-1]
    return last.filename, last.name, last.lineno


@pytest.mark.parametrize("name, stored, first_line", list(zip(GETTERS, STORED, range(105, 135, 5))))
def test_stored_names(name, stored, first_line):
    x = LoaderIgnore()
    replacement = ["new"]
    setattr(x, stored, replacement)
    assert getattr(x, name) is replacement
    delattr(x, stored)
    # An unassigned slot, and a `self` that has no such slot, fail at the getter's read.
    read_entry = (SOURCE, f"brindova.talvesh.LoaderIgnore.{name}", first_line + 2)
    for read in (lambda: getattr(x, name), lambda: vars(LoaderIgnore)[name].fget(object())):
        with pytest.raises(AttributeError) as info:
            read()
        assert last_entry(info.value) == read_entry


def test_subclass_inherits():
    class Extended(LoaderIgnore):
        __slots__ = ("extra",)

        def is_ignored(self, path=None, name=None):
            return name == self.extra or super().is_ignored(path, name)

    x = Extended(files=["a.txt"], env_names=["E"])
    x.extra = "X"
    assert x.files == [pathlib.Path("a.txt")]
    assert (x.is_ignored(name="X"), x.is_ignored(name="E"), x.is_ignored(name="Y")) == (True, True, False)
    assert x.is_ignored(pathlib.Path("d/a.txt")) is True
    assert not hasattr(x, "__dict__")


# Sets up a hostile environment, imports, restores everything, then reports
# the error, this module's traceback entries, whether a half-made module was
# left behind, and whether a clean import then works.
FAILING_IMPORT = """
import builtins, fnmatch, json, pathlib, sys, traceback, types
real_property = builtins.property
{setup}
try:
    import brindova.talvesh
except Exception as e:
    error = e
else:
    raise SystemExit("import succeeded")
builtins.property = real_property
sys.modules.update(pathlib=pathlib, fnmatch=fnmatch)
tb = [[f.filename, f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)]
left_behind = "brindova.talvesh" in sys.modules
import brindova.talvesh
print(json.dumps({{
    "error": [type(error).__name__, str(error)],
    "entries": [entry for entry in tb if entry[0] == "src/brindova/talvesh"],
    "left_behind": left_behind,
    "retry": complete(brindova.talvesh),
}}))
"""

THIRD_PROPERTY_RAISES = """
calls = []
def counting(getter):
    calls.append(getter)
    if len(calls) == 3:
        raise LookupError("third")
    return real_property(getter)
builtins.property = counting
"""

PATH_READ_RAISES = """
def stand_in_getattr(name):
    if name == "Path":
        raise ValueError("no Path today")
    raise AttributeError(name)
sys.modules["pathlib"] = types.ModuleType("pathlib")
sys.modules["pathlib"].__getattr__ = stand_in_getattr
"""


@pytest.mark.parametrize(
    "setup, error, line",
    [
        # getting Path from pathlib
        ('sys.modules["pathlib"] = types.ModuleType("pathlib")', ["ImportError", "cannot import name Path"], 14),
        (PATH_READ_RAISES, ["ImportError", "cannot import name Path"], 14),
        ('sys.modules["pathlib"] = None', ["ModuleNotFoundError", "import of pathlib halted; None in sys.modules"], 14),
        # getting fnmatch
        ('sys.modules["fnmatch"] = None', ["ModuleNotFoundError", "import of fnmatch halted; None in sys.modules"], 15),
        # the builtin property, read once, called once per getter
        ("del builtins.property", ["NameError", "name 'property' is not defined"], 1),
        (THIRD_PROPERTY_RAISES, ["LookupError", "third"], 115),
    ],
    ids=["no-Path", "Path-read-raises", "pathlib-blocked", "fnmatch-blocked", "no-property", "third-property-raises"],
)
def test_failed_import(run_py, setup, error, line):
    report = json.loads(run_py(CHECK_COMPLETE + FAILING_IMPORT.format(setup=setup)).stdout)
    assert report == {
        "error": error,
        "entries": [[SOURCE, "init brindova.talvesh", line]],
        "left_behind": False,
        "retry": True,
    }


def test_path_from_submodule_entry(run_py):
    # A pathlib without the name may still provide it as "pathlib.Path".
    out = run_py(CHECK_COMPLETE + """
import json, pathlib, sys, types
sys.modules["pathlib"] = types.ModuleType("pathlib")
sys.modules["pathlib.Path"] = pathlib.Path
import brindova.talvesh as m
print(json.dumps(complete(m)))
""").stdout
    assert json.loads(out) is True


# A failed load under another name takes out of the module table only what
# it put there itself: a different module under the canonical key stays.
@pytest.mark.parametrize("foreign, left_behind", [(False, False), (True, True)])
def test_failed_load_under_bare_name_leaves_no_canonical_entry(run_py, foreign, left_behind):
    out = run_py(LOAD_AS_TALVESH + CHECK_COMPLETE + f"""
import fnmatch, types
foreign = types.ModuleType("foreign")
if {foreign}:
    sys.modules["brindova.talvesh"] = foreign
sys.modules["fnmatch"] = None
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ModuleNotFoundError:
    pass
left_behind = sys.modules.get("brindova.talvesh") is foreign
sys.modules.pop("brindova.talvesh", None)
sys.modules["fnmatch"] = fnmatch
import brindova.talvesh as m
print(json.dumps([left_behind, m is not module, complete(m)]))
""").stdout
    assert json.loads(out) == [left_behind, True, True]
