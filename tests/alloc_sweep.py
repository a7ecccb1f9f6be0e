"""Allocation-failure sweep over every path through the native modules.

For each path and mode (one-shot: only the Nth allocation made by our modules
fails; persistent: the Nth and every later one), N runs 1, 2, 3, ... until a
run sees no injected failure. Each run starts with the free lists drained, so
that as many allocations as possible reach the allocator. After each injected
failure: the exception is MemoryError (with no note of ours) or the path's own
expected outcome, never SystemError; the path then gives its right answer
again; repeating the same failure grows neither the allocated blocks nor the
reference counts of the objects involved.

Run as a script it prints a table of allocations swept and outcomes per path:
    python tests/alloc_sweep.py [--report-only] [path ...]
(exit status 1 when a problem was seen, unless --report-only)
The test suite (tests/test_alloc_failure.py) runs each path in a child of its
own: `python tests/alloc_sweep.py --helper SO --child PATH MODE START`. A child
prints one JSON line per N and may die on a crash; the parent then records the
crash and starts a new child past it.
"""

import gc
import json
import os
import shlex
import shutil
import subprocess
import sys
import sysconfig
import tempfile
from collections import Counter, namedtuple
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
# Children run with -P, so the shared helpers beside this file are found by hand.
if HERE not in sys.path:
    sys.path.insert(0, HERE)
from support import BINDING_FAILURES, GETTERS  # noqa: E402

MODES = ("one-shot", "persistent")
# Repeats of one failure per round of the leak check, and the most rounds it
# takes; the growth of the interpreter's blocks over a round that counts as a
# leak: the round's own bookkeeping leaves two or three, and a leak costs a
# block per repeat at least.
WARM, REPEATS, ROUNDS, STRAY_BLOCKS = 2, 8, 4, 6


def build_helper(dest_dir):
    """Compiles tests/failalloc.c for the running interpreter into `dest_dir`."""
    cc = os.environ.get("CC") or sysconfig.get_config_var("CC") or "cc"
    out = os.path.join(dest_dir, "failalloc" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run(
        [*shlex.split(cc), "-shared", "-fPIC", "-O1", "-g", "-I", sysconfig.get_paths()["include"],
         os.path.join(HERE, "failalloc.c"), "-o", out, "-ldl"],
        check=True,
    )
    return out


# Known faults of the interpreter that the sweep reaches, with the versions
# that have them, skipped by the name of the interpreter function under which
# no allocation is failed when the interpreter itself called it (our own calls
# are still failed).
SPARED = {
    "dict_setdefault_ref_lock_held": ((3, 13, 0),
        "PyDict_SetDefaultRef whose resize fails returns 0 with MemoryError set and counts the entry it did not"
        " store; the dict's next resize reads a NULL key (SIGSEGV in PyType_FromSpec's type_add_members)"),
}


class Unsweepable(Exception):
    """The sweep cannot run under this interpreter; the text says why."""


def spared_here():
    """The known faults of the running interpreter: function name -> fault."""
    return {name: fault for name, (version, fault) in SPARED.items() if sys.version_info[:3] == version}


def symbol_ranges(library, names):
    """name -> [(start, end)] offsets in `library` of each function named,
    with the compiler's clones (name.isra.0 and the like)."""
    if not names:
        return {}
    if shutil.which("nm") is None:
        raise Unsweepable(f"no nm to find {sorted(names)} in {library}, under which this interpreter's known"
                          " faults must be spared (Debian: apt-get install binutils)")
    listing = subprocess.run(["nm", "--defined-only", "-S", library], capture_output=True, text=True,
                             check=True).stdout
    ranges = {name: [] for name in names}
    for line in listing.splitlines():
        fields = line.split()
        if len(fields) == 4 and fields[2] in "tT" and fields[3].split(".")[0] in ranges:
            start = int(fields[0], 16)
            ranges[fields[3].split(".")[0]].append((start, start + int(fields[1], 16)))
    missing = [name for name, found in ranges.items() if not found]
    if missing:
        raise Unsweepable(f"{library} has no symbol for {missing} (stripped?), under which this interpreter's"
                          " known faults must be spared")
    return ranges


def open_helper(so_path):
    import importlib.util
    spec = importlib.util.spec_from_file_location("failalloc", so_path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def check_sweepable(so_path):
    """Raises Unsweepable when the children could not spare this interpreter's known faults."""
    symbol_ranges(open_helper(so_path).interpreter(), spared_here())


def load_helper(so_path):
    module = open_helper(so_path)
    ranges = symbol_ranges(module.interpreter(), spared_here())
    module.install()
    for found in ranges.values():
        for start, end in found:
            module.spare(start, end)
    return module


# ---------------------------------------------------------------- the paths

# The start of the note our binding adds to a type error for a subclass.
OUR_NOTE = "Subclasses of built-in types"
# The outcome of a path whose own answer is an exception.
Err = namedtuple("Err", "type message notes")
IMPORTS = {"import:talvesh": "brindova.talvesh", "import:extensions": "brindova.extensions"}
# A module's first exec makes its process-wide constants and later execs reuse
# them, so once an import has been tried in a process, its Nth allocation is no
# longer the Nth of a first import. The import paths above sweep one process
# from N on (the retries then also check for leaks); these sweep each N in a
# new process, so that every allocation of a first import is failed once.
FIRST_IMPORTS = {"first-import:talvesh": "brindova.talvesh", "first-import:extensions": "brindova.extensions"}


def talvesh_paths():
    """name -> (run, watched): `run` returns a comparable result (a binding
    error's type, message and notes count as its result); `watched` are the
    long-lived objects whose reference counts must not move."""
    import inspect

    import brindova.talvesh as talvesh
    from brindova.talvesh import LoaderIgnore

    class Sub(LoaderIgnore):
        pass

    def snapshot(rules):
        return tuple(tuple(map(str, getattr(rules, g))) for g in GETTERS)

    def error_of(call):
        def run():
            try:
                call()
            except (TypeError, AttributeError) as e:
                note_codes(e)
                return Err(type(e).__name__, str(e), len(getattr(e, "__notes__", ())))
            return "no error"
        return run

    paths = {}
    lists = {"files": ["a", Path("b")], "file_masks": ["*.bak"], "paths": ["build", Path("out")],
             "path_masks": ["*cache*"], "env_names": ["HOME"], "env_name_masks": ["CI_*"]}
    single = {"file": "a", "file_mask": "*.bak", "path": "build", "path_mask": "*cache*",
              "env_name": "HOME", "env_name_mask": "CI_*"}
    # construction with each argument kind, all of them, none, a subclass and a second __init__
    for key, value in [*lists.items(), *single.items(), ("file", Path("a")), ("path", Path("p"))]:
        label = f"{key}={type(value).__name__}"
        paths[f"init:{label}"] = (lambda k=key, v=value: snapshot(LoaderIgnore(**{k: v})), [value])
    everything = {**lists, **single}
    paths["init:all"] = (lambda: snapshot(LoaderIgnore(**everything)), list(everything.values()))
    paths["init:none"] = (lambda: snapshot(LoaderIgnore()), [])
    order = ["file", "files", "file_mask", "file_masks", "path", "paths", "path_mask", "path_masks",
             "env_name", "env_names", "env_name_mask", "env_name_masks"]
    positional = [everything[k] for k in order]
    paths["init:positional"] = (lambda: snapshot(LoaderIgnore(*positional)), positional)
    paths["init:subclass"] = (lambda: snapshot(Sub(files=["a"])), [Sub])
    reused = LoaderIgnore()
    before = {g: getattr(reused, g) for g in GETTERS}

    def reinit():
        # Back to the lists it had before, so that a failure the native
        # resolve absorbs (the construction then completes) leaves nothing
        # new alive for the leak check to count.
        reused.__init__(file_masks=lists["file_masks"], paths=["x"])
        try:
            return snapshot(reused)
        finally:
            for g, value in before.items():
                setattr(reused, "_LoaderIgnore__" + g, value)
    paths["init:again"] = (reinit, [reused, lists["file_masks"]])

    # binding errors: counts, keywords, types (with the subclass note)
    x = LoaderIgnore()
    errors = {label: lambda call=call: call(LoaderIgnore, x) for label, (call, _) in BINDING_FAILURES.items()}
    errors["str-path"] = lambda: x.is_ignored("a.txt")
    for label, call in errors.items():
        paths[f"error:{label}"] = (error_of(call), [x])

    # decisions: a hit and a miss of every rule kind; path, name, both, neither
    rules = LoaderIgnore(**lists)
    queries = {
        "file-hit": (Path("a"), None), "file-mask-hit": (Path("d/x.bak"), None),
        "path-hit": (Path("build/o/f"), None), "path-mask-hit": (Path("q/cache/z"), None),
        "path-miss": (Path("other.txt"), None), "name-hit": (None, "HOME"),
        "name-mask-hit": (None, "CI_JOB"), "name-miss": (None, "USER"),
        "both": (Path("other.txt"), "CI_X"), "both-miss": (Path("other.txt"), "USER"), "neither": (None, None),
    }
    for label, (p, n) in queries.items():
        paths[f"decide:{label}"] = (lambda p=p, n=n: rules.is_ignored(p, n), [rules, p, n])
    paths["decide:keywords"] = (lambda: rules.is_ignored(name="HOME", path=None), [rules])

    def through_link():
        # Made at the first run, in the child's own directory.
        if not os.path.lexists("link"):
            os.symlink("build", "link")
        return rules.is_ignored(Path("link/o/f"))
    paths["decide:path-link"] = (through_link, [rules])
    import pathlib._local as pathlib_local

    def recheck():
        # A change to pathlib's namespace has the paths shortcut check pathlib
        # again before it answers, so every allocation of that check is swept.
        pathlib_local._sweep_probe = None
        del pathlib_local._sweep_probe
        return rules.is_ignored(Path("build/o/f")), rules.is_ignored(Path("other.txt"))
    paths["decide:path-recheck"] = (recheck, [rules])

    # the getters
    for g in GETTERS:
        paths[f"get:{g}"] = (lambda g=g: tuple(map(str, getattr(rules, g))), [rules, lists[g]])

    # introspection of the native functions
    natives = {"__init__": LoaderIgnore.__init__, "is_ignored": LoaderIgnore.is_ignored,
               "files": LoaderIgnore.files.fget}
    for label, f in natives.items():
        def attributes(f=f):
            code = f.__code__
            return (f.__name__, f.__qualname__, f.__module__, f.__doc__, f.__defaults__, f.__kwdefaults__,
                    f.__closure__, f.__globals__ is vars(talvesh), dict(f.__dict__), dict(f.__annotations__),
                    code.co_name, code.co_varnames, code.co_firstlineno, f.__get__(x) is not None)

        def fresh_annotations(f=f):
            del f.__annotations__
            return dict(f.__annotations__)
        paths[f"attrs:{label}"] = (attributes, [f])
        paths[f"annotations:{label}"] = (fresh_annotations, [f])
        paths[f"signature:{label}"] = (lambda f=f: str(inspect.signature(f)), [f])
        paths[f"repr:{label}"] = (lambda f=f: repr(f).split(" at ")[0], [f])
    return paths


# The paths that make no allocation of ours: a name decision compares strings
# and answers a bool, a getter returns the stored list, introspection returns
# stored objects (a fresh __annotations__ dict comes from the free list its
# deletion just filled; repr and signature are the interpreter's own work).
# Every other path must see some.
NO_ALLOCATIONS = frozenset({
    "decide:name-hit", "decide:name-mask-hit", "decide:name-miss", "decide:neither", "decide:keywords",
    *(f"get:{g}" for g in GETTERS),
    *(f"{kind}:{f}" for kind in ("attrs", "annotations", "signature", "repr")
      for f in ("__init__", "is_ignored", "files")),
})


def all_path_names():
    return [*IMPORTS, *FIRST_IMPORTS, *talvesh_paths()]


# ---------------------------------------------------------------- one child

def emit(**record):
    print(json.dumps(record), flush=True)


def classify(exc, result, expected):
    """The outcome of one injected failure, and a problem text or None."""
    if exc is None:
        if result == expected:
            return "absorbed", None
        # Its own exception, a note lost to the failure: the error still stands.
        if isinstance(expected, Err) and isinstance(result, Err) and result[:2] == expected[:2]:
            return "own-error", None
        return "wrong", f"gave {result!r}"
    if isinstance(exc, SystemError):
        return "SystemError", str(exc)
    if isinstance(exc, MemoryError):
        notes = [note for note in getattr(exc, "__notes__", ()) if note.startswith(OUR_NOTE)]
        return ("MemoryError", None) if not notes else ("MemoryError", f"our note on it: {notes!r}")
    return type(exc).__name__, f"{type(exc).__name__}: {exc}"


def child(helper, name, mode, start):
    fa = load_helper(helper)
    persistent = mode == "persistent"
    check_free_lists_drained(fa)
    if name in IMPORTS:
        return child_import(fa, IMPORTS[name], persistent, start)
    if name in FIRST_IMPORTS:
        return child_import(fa, FIRST_IMPORTS[name], persistent, start, first_only=True)
    run, watched = talvesh_paths()[name]
    expected = run()
    run()

    def attempt(n):
        gc.collect()
        fa.arm(n, persistent)
        try:
            result, exc = run(), None
        except BaseException as e:  # noqa: BLE001 - every outcome is classified
            result, exc = None, e
        _, failed, spared = fa.disarm()
        if exc is not None:
            note_codes(exc)
        return result, exc, failed, spared

    n = start
    while True:
        emit(begin=n)
        result, exc, failed, spared = attempt(n)
        if not failed:
            problem = None if exc is None and result == expected else f"uninjected run: {exc!r} {result!r}"
            emit(n=n, outcome="done", problem=problem, spared=spared)
            return
        outcome, problem = classify(exc, result, expected)
        exc = None
        again = run()
        if problem is None and again != expected:
            problem = f"afterwards gave {again!r}"
        if problem is None:
            problem = leak_check(fa, lambda: attempt(n), watched)
        emit(n=n, outcome=outcome, problem=problem, spared=spared)
        n += 1


def leak_check(fa, repeat, watched):
    """A leak grows with every repeat, while a cache (ours or the
    interpreter's) fills and stops: the check passes at the first round of
    repeats in which nothing grew, and a leak grows in all ROUNDS of them.
    Growth is any allocation of ours left alive (counted exactly by the
    helper), any object the collector tracks left alive (a container of ours
    may come from a free list, which no allocator sees), a reference count
    that rose, of any object alive before the round (the collector's, and the
    names and values of module namespaces), a watched one's count that moved
    either way, or the interpreter's blocks past STRAY_BLOCKS (an object made
    by the interpreter that we leaked)."""
    for _ in range(WARM):
        repeat()
    watched = [*watched, *SEEN_CODES.values()]
    problem = None
    for _ in range(ROUNDS):
        problem = leak_round(fa, repeat, watched)
        if problem is None:
            return None
    return problem


def settle():
    # Collected first: the last failure's traceback still holds its frames.
    # The interpreter's attribute cache keeps the name of each lookup alive,
    # and the interpreter's own import looks names up by new strings.
    gc.collect()
    sys._clear_internal_caches()


# The code objects of every traceback entry seen in this child. Ours come from
# a cache that only the module holds, out of the collector's sight; an entry
# whose making failed was seen at another N or in an uninjected run.
SEEN_CODES = {}


def note_codes(exc):
    tb = exc.__traceback__
    while tb is not None:
        SEEN_CODES.setdefault(id(tb.tb_frame.f_code), tb.tb_frame.f_code)
        tb = tb.tb_next


def alive_objects():
    """id -> object, for every object the collector tracks and every name and
    value of a module namespace (untracked, like most names and numbers)."""
    alive = {id(o): o for o in gc.get_objects()}
    for module in list(sys.modules.values()):
        namespace = getattr(module, "__dict__", None)
        if type(namespace) is dict:
            for pair in list(namespace.items()):
                alive.update((id(o), o) for o in pair)
    return alive


def leak_round(fa, repeat, watched):
    settle()
    # Held through the round, so that no id is reused; every count below is
    # taken the same way before and after.
    alive = alive_objects()
    counts = {key: sys.getrefcount(o) for key, o in alive.items()}
    refs = list(map(sys.getrefcount, watched))
    settle()  # the free lists that taking the counts filled
    blocks = sys.getallocatedblocks()
    ours, objects = fa.live(), len(gc.get_objects())
    for _ in range(REPEATS):
        repeat()
    settle()
    grown = sys.getallocatedblocks() - blocks
    ours, objects = fa.live() - ours, len(gc.get_objects()) - objects
    moved = [after - before for after, before in zip(map(sys.getrefcount, watched), refs)]
    rose = [f"{type(o).__name__} at {key:#x}" for key, o in alive.items() if sys.getrefcount(o) > counts[key]]
    if ours > 0 or objects > 0 or grown >= STRAY_BLOCKS or any(moved) or rose:
        return (f"leak: {ours} allocations of ours, {objects} objects and {grown} blocks left, "
                f"reference counts moved by {moved}, rose for {rose[:3]} and {len(rose[3:])} more "
                f"over {REPEATS} repeats")
    return None


def import_watched(module):
    """The long-lived objects a module's exec takes references to, of those
    imported by now (importing one here would change what the sweep sees)."""
    names = {"brindova.talvesh": [("pathlib", "Path"), ("fnmatch", None)],
             "brindova.extensions": [("dataclasses", "dataclass")]}[module]
    watched = [sys.modules["builtins"], sys.modules]
    for name, attribute in names:
        if name in sys.modules:
            watched.append(sys.modules[name])
            watched += [getattr(sys.modules[name], attribute)] if attribute else []
    return watched


def child_import(fa, module, persistent, start, first_only=False):
    """A failed exec leaves no module behind, so the import can be retried in
    the same process until one succeeds."""
    import importlib

    def attempt(n):
        gc.collect()
        fa.arm(n, persistent)
        try:
            importlib.import_module(module)
            exc = None
        except BaseException as e:  # noqa: BLE001
            exc = e
        _, failed, spared = fa.disarm()
        if exc is not None:
            note_codes(exc)
        return exc, failed, spared

    n = start
    while True:
        emit(begin=n)
        exc, failed, spared = attempt(n)
        if exc is None:
            # Imported: the module is the process's now, so a failure it
            # absorbed ends this child and the next N needs a new one.
            problem = check_module(module)
            emit(n=n, outcome="absorbed" if failed else "done", problem=problem, spared=spared)
            return
        if not failed:
            emit(n=n, outcome="done", problem=f"uninjected import: {exc!r}", spared=spared)
            return
        outcome, problem = classify(exc, None, None)
        exc = None
        if problem is None and module in sys.modules:
            problem = "module left in sys.modules"
        if first_only:
            # The next N in a new process; this one must still import.
            if problem is None:
                problem = import_again(module)
            emit(n=n, outcome=outcome, problem=problem, spared=spared)
            return
        if problem is None and outcome == "MemoryError":
            problem = leak_check(fa, lambda: attempt(n), import_watched(module))
        emit(n=n, outcome=outcome, problem=problem, spared=spared)
        if module in sys.modules:
            # A repeat imported: in a new process the first attempts make the
            # constants, so the Nth allocation of a repeat can be one whose
            # failure is absorbed. The next N needs a new child.
            return
        n += 1


def import_again(module):
    import importlib
    try:
        importlib.import_module(module)
    except BaseException as e:  # noqa: BLE001
        return f"import after the failure: {e!r}"
    return check_module(module)


def check_module(module):
    if module == "brindova.talvesh":
        from brindova.talvesh import LoaderIgnore
        rules = LoaderIgnore(file_masks=["*.bak"], env_names=["HOME"])
        ok = rules.is_ignored(Path("x.bak")) and rules.is_ignored(name="HOME") and not rules.is_ignored()
    else:
        from brindova.extensions import Extensions
        ok = repr(Extensions) == "_Extensions(py='py', yaml='yaml', json='json', env='env')"
    return None if ok else f"{module} gives wrong answers after the failed imports"


def check_free_lists_drained(fa):
    """The premise of draining: a float from the free list reaches no
    allocator, and after a full collection the next one does."""
    a, b = 0.25, 0.5

    # The count an addition adds, less what reading the count costs (its
    # answer is a new int once past the small ones).
    def add():
        t = fa.total()
        v = a + b
        u = fa.total()
        return u - t - (fa.total() - u), v

    floats = [a + b + i for i in range(64)]
    del floats
    from_list = add()[0]
    gc.collect()
    after_collect = add()[0]
    if from_list != 0 or after_collect < 1:
        raise AssertionError(f"gc.collect() did not drain the float free list: {from_list}, {after_collect}")


# ---------------------------------------------------------------- the parent

def sweep(helper, name, mode, cwd):
    """Runs children for one path and mode until one finishes; returns the
    list of {n, outcome, problem} records, a crash recorded as outcome "crash"."""
    records, start = [], 1
    while True:
        proc = subprocess.run(
            [sys.executable, "-P", "-W", "error", __file__, "--helper", helper, "--child", name, mode, str(start)],
            cwd=cwd, capture_output=True, text=True, stdin=subprocess.DEVNULL, timeout=900,
        )
        begun = None
        for line in proc.stdout.splitlines():
            record = json.loads(line)
            if "begin" in record:
                begun = record["begin"]
            else:
                records.append(record)
                begun = None
        if proc.returncode == 0 and records and records[-1]["outcome"] == "done":
            return records
        if proc.returncode == 0 and records and records[-1]["outcome"] != "done":
            start = records[-1]["n"] + 1  # an absorbed failure, or one N per child
            continue
        if begun is None:
            raise RuntimeError(f"{name} {mode}: child failed outside a run:\n{proc.stderr}")
        records.append({"n": begun, "outcome": "crash",
                        "problem": f"exit {proc.returncode}: {proc.stderr.strip()[-400:]}"})
        start = begun + 1


def swept(records):
    """The allocations of ours failed over a path's sweep."""
    return sum(r["outcome"] != "done" for r in records)


def problems(name, records):
    """Problem texts of one path's sweep. A sweep that failed nothing where the
    path allocates proves nothing: it counts as a problem (the helper once saw
    none of our allocations under ASan, and every case passed)."""
    found = [f"N={r['n']}: {r['outcome']}: {r['problem']}" for r in records if r["problem"]]
    # Without optimisation (the coverage build) no call is a tail call: our
    # frames stay on the stack under allocations that the optimised builds
    # make from the interpreter's, so only those builds can tell the paths
    # without allocations of ours.
    if name in NO_ALLOCATIONS and os.environ.get("BRINDOVA_UNOPTIMISED_BUILD"):
        return found
    if (swept(records) == 0) != (name in NO_ALLOCATIONS):
        found.append(f"{swept(records)} allocations swept, expected {'none' if name in NO_ALLOCATIONS else 'some'}")
    return found


def table(results):
    rows = [("path", "mode", "swept", "outcomes")]
    for (name, mode), records in results.items():
        counts = Counter(r["outcome"] for r in records if r["outcome"] != "done")
        # Allocations left alone under a known interpreter fault, over every run.
        spared = sum(r.get("spared", 0) for r in records)
        if spared:
            counts["spared"] = spared
        rows.append((name, mode, str(swept(records)),
                     " ".join(f"{k}={v}" for k, v in sorted(counts.items()))))
    widths = [max(len(r[i]) for r in rows) for i in range(3)]
    return "\n".join(f"{r[0]:<{widths[0]}}  {r[1]:<{widths[1]}}  {r[2]:>{widths[2]}}  {r[3]}" for r in rows)


def main(argv):
    if argv[:1] == ["--helper"] and argv[2:3] == ["--child"]:
        child(argv[1], argv[3], argv[4], int(argv[5]))
        return 0
    report_only = argv[:1] == ["--report-only"]
    names = argv[report_only:] or all_path_names()
    with tempfile.TemporaryDirectory() as tmp:
        helper = build_helper(tmp)
        try:
            check_sweepable(helper)
        except Unsweepable as e:
            print(f"cannot sweep here: {e}")
            return 2
        results = {(name, mode): sweep(helper, name, mode, tmp) for name in names for mode in MODES}
    print(table(results))
    found = [(name, mode, text) for (name, mode), records in results.items() for text in problems(name, records)]
    for name, mode, text in found:
        print(f"{name} {mode} {text}")
    return 1 if found and not report_only else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
