import dataclasses
import gc
import json
import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

import brindova.extensions as ext
from support import load_as

REPO = Path(__file__).resolve().parents[1]
ENTRY = ["src/brindova/extensions", "init brindova.extensions"]
DEFAULT_REPR = "_Extensions(py='py', yaml='yaml', json='json', env='env')"

LOAD_AS_EXTENSIONS = load_as("extensions")


def test_tests_use_the_installed_module():
    assert not Path(ext.__file__).resolve().is_relative_to(REPO)


def test_create_copies_only_what_the_spec_has(run_py):
    # A spec without `parent`, and with no search locations: neither lands in
    # the namespace (a new module's own None stays); the loader and origin do,
    # and the name comes from the spec.
    run_py(LOAD_AS_EXTENSIONS + """
import types
bare = types.SimpleNamespace(name="extensions", origin=origin, loader=spec.loader,
                             submodule_search_locations=None)
module = spec.loader.create_module(bare)
assert module.__name__ == "extensions"
assert {k: v for k, v in vars(module).items() if k not in ("__name__", "__doc__")} == {
    "__package__": None, "__spec__": None, "__loader__": spec.loader, "__file__": origin}, vars(module)
""")


# Puts a stand-in for dataclasses in place, imports, then reports the error,
# this module's traceback entries and the frames below the last of them, and
# whether a retry with the real dataclasses gives a complete module.
FAILING_IMPORT = """
import dataclasses, json, sys, traceback, types
real = dataclasses
stand_in = types.ModuleType("dataclasses")
def raising(*args, **kwargs):
    raise ValueError("stand-in")
{setup}
sys.modules["dataclasses"] = stand_in
try:
    import brindova.extensions
except Exception as e:
    error = e
else:
    raise SystemExit("import succeeded")
tb = [[f.filename, f.name, f.lineno] for f in traceback.extract_tb(error.__traceback__)]
ours = [i for i, entry in enumerate(tb) if entry[0] == "src/brindova/extensions"]
left_behind = "brindova.extensions" in sys.modules
sys.modules["dataclasses"] = real
import brindova.extensions
print(json.dumps({{
    "error": [type(error).__name__, str(error)],
    "entries": [tb[i] for i in ours],
    "below": [entry[1] for entry in tb[ours[-1] + 1:]] if ours else None,
    "left_behind": left_behind,
    "retry": repr(brindova.extensions.Extensions),
}}))
"""


@pytest.mark.parametrize(
    "setup, error, line, below",
    [
        # the `from dataclasses import dataclass` step
        ("", ["ImportError", "cannot import name dataclass"], 14, []),
        ("stand_in = None", ["ModuleNotFoundError", "import of dataclasses halted; None in sys.modules"], 14, []),
        # making or applying the decorator
        ("stand_in.dataclass = raising", ["ValueError", "stand-in"], 18, ["raising"]),
        ("stand_in.dataclass = lambda **kw: raising", ["ValueError", "stand-in"], 18, ["raising"]),
        # making the default record from the decorated class
        ("stand_in.dataclass = lambda **kw: lambda cls: raising", ["ValueError", "stand-in"], 26, ["raising"]),
    ],
    ids=["no-dataclass-name", "import-blocked", "dataclass-raises", "decorator-raises", "default-raises"],
)
def test_failed_exec(run_py, setup, error, line, below):
    report = json.loads(run_py(FAILING_IMPORT.format(setup=setup)).stdout)
    assert report == {
        "error": error,
        "entries": [ENTRY + [line]],
        "below": below,
        "left_behind": False,
        "retry": DEFAULT_REPR,
    }


def test_dataclass_from_submodule_entry(run_py):
    # A module without the name may still provide it as "<module>.<name>".
    out = run_py("""
        import json, sys, types
        calls = []
        def dataclass(**kwargs):
            calls.append(kwargs)
            return lambda cls: cls
        sys.modules["dataclasses"] = types.ModuleType("dataclasses")
        sys.modules["dataclasses.dataclass"] = dataclass
        import brindova.extensions as m
        print(json.dumps([calls, m.dataclass is dataclass, type(m.Extensions) is m._Extensions]))
    """).stdout
    assert json.loads(out) == [[{"frozen": True}], True, True]


def test_failed_exec_under_another_name_leaves_no_canonical_entry(run_py):
    out = run_py(LOAD_AS_EXTENSIONS + """
import dataclasses, traceback, types
stand_in = types.ModuleType("dataclasses")
entered = []
def dataclass(**kwargs):
    entered.append(sys.modules.get("brindova.extensions") is module)
    raise ValueError("stand-in")
stand_in.dataclass = dataclass
sys.modules["dataclasses"] = stand_in
module = importlib.util.module_from_spec(spec)
try:
    spec.loader.exec_module(module)
except ValueError as e:
    tb = [[f.filename, f.name, f.lineno] for f in traceback.extract_tb(e.__traceback__)]
left_behind = "brindova.extensions" in sys.modules
sys.modules["dataclasses"] = dataclasses
import brindova.extensions as m
print(json.dumps({
    "entered": entered, "tail": tb[-2:], "left_behind": left_behind,
    "fresh": m is not module, "retry": repr(m.Extensions),
}))
""").stdout
    report = json.loads(out)
    assert report["tail"][0] == ENTRY + [18] and report["tail"][1][1] == "dataclass"
    del report["tail"]
    assert report == {"entered": [True], "left_behind": False, "fresh": True, "retry": DEFAULT_REPR}


@pytest.fixture(scope="module")
def version_text(tmp_path_factory):
    """Runs version_warning_text from a small C++ program built against the header."""
    header = REPO / "src/brindova/common/version_warning.hpp"
    compiler = next(filter(None, map(shutil.which, [os.environ.get("CXX", ""), "c++", "g++"])), None)
    if compiler is None or not header.exists():
        pytest.skip("needs a C++ compiler and the source tree")
    work = tmp_path_factory.mktemp("version_text")
    (work / "main.cpp").write_text(
        '#include "common/version_warning.hpp"\n'
        "#include <cstdio>\n#include <cstdlib>\n"
        "int main(int, char** argv) {\n"
        "    char text[brindova::version_warning_capacity];\n"
        "    int n = brindova::version_warning_text(text, argv[1], std::atoi(argv[2]), std::atoi(argv[3]),\n"
        "                                           std::atoi(argv[4]), std::atoi(argv[5]));\n"
        '    std::printf("%d\\n%s", n, text);\n'
        "}\n"
    )
    exe = work / "version_text"
    subprocess.run(
        [compiler, "-std=c++20", "-Wall", "-Werror", f"-I{REPO / 'src/brindova'}", "-o", exe, work / "main.cpp"],
        check=True,
    )

    def run(module, *versions):
        out = subprocess.run([exe, module, *map(str, versions)], check=True, capture_output=True, text=True).stdout
        length, text = out.split("\n", 1)
        return int(length), text

    return run


MISMATCH = "compile time Python version {} of module '{}' does not match runtime version {}"


@pytest.mark.parametrize(
    "module, versions, expected",
    [
        # ordinary mismatches
        ("brindova.extensions", (3, 13, 3, 14), MISMATCH.format("3.13", "brindova.extensions", "3.14")),
        ("brindova.talvesh", (3, 13, 4, 0), MISMATCH.format("3.13", "brindova.talvesh", "4.0")),
        # a long module name is cut to 100 characters
        ("m" * 150, (3, 13, 3, 12), MISMATCH.format("3.13", "m" * 100, "3.12")),
    ],
)
def test_version_warning_text(version_text, module, versions, expected):
    assert version_text(module, *versions) == (len(expected), expected)


def test_version_warning_text_truncates_to_buffer(version_text):
    low = -(2**31)
    full = MISMATCH.format(f"{low}.{low}", "m" * 100, f"{low}.{low}")
    assert len(full) > 199
    assert version_text("m" * 150, low, low, low, low) == (len(full), full[:199])


def _blocks_after(work, repeats):
    for _ in range(repeats):
        work()
    gc.collect()
    return sys.getallocatedblocks()


def test_record_operations_do_not_leak():
    record_type = ext._Extensions

    def work():
        record = record_type("a", env="b")
        dataclasses.replace(record, json="c")
        dataclasses.asdict(record)
        hash(record), repr(record), record == ext.Extensions
        try:
            record.py = "x"
        except dataclasses.FrozenInstanceError:
            pass

    before = _blocks_after(work, 500)
    assert _blocks_after(work, 10_000) - before < 50


IMPORT_NOISE_BLOCKS = 1000


def test_failed_imports_do_not_leak(run_py):
    out = run_py("""
        import dataclasses, gc, sys, types
        stand_in = types.ModuleType("dataclasses")
        def dataclass(**kwargs):
            raise ValueError("stand-in")
        stand_in.dataclass = dataclass
        def blocks_after(repeats):
            sys.modules["dataclasses"] = stand_in
            for _ in range(repeats):
                try:
                    import brindova.extensions
                except ValueError:
                    pass
            sys.modules["dataclasses"] = dataclasses
            gc.collect()
            return sys.getallocatedblocks()
        before = blocks_after(200)
        print(blocks_after(5000) - before)
    """).stdout
    # The import system's own caches settle slowly (a few dozen blocks); a
    # leak of ours would cost at least a block for each of the 5000 imports.
    assert int(out) < IMPORT_NOISE_BLOCKS


def test_reimports_do_not_leak(run_py):
    out = run_py("""
        import gc, sys
        import brindova.extensions, brindova.talvesh
        def blocks_after(repeats):
            # Both modules hand back their one module object on re-import.
            for _ in range(repeats):
                del sys.modules["brindova.extensions"], sys.modules["brindova.talvesh"]
                import brindova.extensions, brindova.talvesh
            gc.collect()
            return sys.getallocatedblocks()
        before = blocks_after(200)
        print(blocks_after(5000) - before)
    """).stdout
    # The import system's own caches settle slowly (a few dozen blocks); a
    # leak of ours would cost at least a block for each of the 5000 imports.
    assert int(out) < IMPORT_NOISE_BLOCKS
