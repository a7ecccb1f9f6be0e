"""The initialisation guard both native modules share: one interpreter and
one module object per process, the canonical module-table entry, and a
module kept as it is by a reimport or reload."""

import json

import pytest

from support import load_as

INTERPRETER_CHANGE = (
    "Interpreter change detected - this module can only be loaded into one interpreter per process."
)
# short name, the module's class, and an expression true of a complete module `m`
MODULES = [
    ("talvesh", "LoaderIgnore",
     "m.Path is pathlib.Path and m.fnmatch is sys.modules['fnmatch'] and m.__test__ == {} "
     "and type(m.LoaderIgnore.paths) is property and m.LoaderIgnore(env_names=['E']).is_ignored(name='E') "
     "and m.LoaderIgnore(file_mask='*.x').is_ignored(pathlib.Path('d/a.x'))"),
    ("extensions", "_Extensions",
     "repr(m.Extensions) == \"_Extensions(py='py', yaml='yaml', json='json', env='env')\""),
]
each_module = pytest.mark.parametrize("short, cls, works", MODULES, ids=[m[0] for m in MODULES])


@each_module
def test_second_interpreter_is_refused(run_py, short, cls, works):
    out = run_py(f"""
        import json, pathlib, sys, _interpreters
        import brindova.{short} as m
        interp = _interpreters.create("legacy")
        try:
            results = [_interpreters.run_string(interp, "import brindova.{short}") for _ in range(2)]
        finally:
            _interpreters.destroy(interp)
        assert {works}
        print(json.dumps([[r.type.__name__, r.msg] for r in results]))
    """).stdout
    assert json.loads(out) == [["ImportError", INTERPRETER_CHANGE]] * 2


@each_module
def test_reimport_and_reload_keep_module_and_members(run_py, short, cls, works):
    run_py(f"""
        import importlib, pathlib, sys
        import brindova.{short} as first
        SET_BY_IMPORT = {{"__package__", "__loader__", "__spec__", "__file__"}}
        def members(module):
            # the module's own names, and those of each class it made
            names = {{k: v for k, v in vars(module).items() if k not in SET_BY_IMPORT}}
            return {{**names, **{{(k, n): v for k, c in names.items() if isinstance(c, type)
                                 for n, v in vars(c).items()}}}}
        before = members(first)
        del sys.modules["brindova.{short}"]
        import brindova.{short} as second
        assert second is first
        assert importlib.reload(first) is first
        after = members(first)
        assert after.keys() == before.keys() and all(after[k] is v for k, v in before.items())
        m = first
        assert {works}
    """)


@each_module
def test_second_module_object_is_refused(run_py, short, cls, works):
    reinit = f"Module '{short}' has already been imported. Re-initialisation is not supported."
    run_py(load_as(short) + f"""
first = importlib.util.module_from_spec(spec)
second = importlib.util.module_from_spec(spec)
assert first is not second
spec.loader.exec_module(first)
try:
    spec.loader.exec_module(second)
except RuntimeError as e:
    assert str(e) == {reinit!r}, e
else:
    raise AssertionError("second module object was initialised")
assert {cls!r} not in vars(second)
assert sys.modules["brindova.{short}"] is first
# Once initialised, creating from the spec hands out the same module.
assert importlib.util.module_from_spec(spec) is first
""")


@each_module
@pytest.mark.parametrize("occupied", [False, True], ids=["key-free", "key-occupied"])
def test_loaded_under_bare_name(run_py, short, cls, works, occupied):
    # an instance of the record, a function of the rule set's class
    pickled = {"talvesh": "LoaderIgnore.is_ignored", "extensions": "Extensions"}[short]
    run_py(load_as(short) + f"""
import types
placeholder = types.ModuleType("placeholder")
if {occupied}:
    sys.modules["brindova.{short}"] = placeholder
m = importlib.util.module_from_spec(spec)
spec.loader.exec_module(m)
assert m.__name__ == {short!r} and {works}
# Classes and functions pickle by their module's canonical name, which must resolve.
assert m.{cls}.__module__ == "brindova.{short}"
assert sys.modules["brindova.{short}"] is (placeholder if {occupied} else m)
if not {occupied}:
    import pickle
    import brindova.{short} as canonical
    assert canonical is m
    assert pickle.loads(pickle.dumps(m.{cls})) is m.{cls}
    assert pickle.loads(pickle.dumps(m.{pickled})) == m.{pickled}
""")
