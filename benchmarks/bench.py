"""pyperf suite for brindova's native core.

Every workload is timed three ways:

- ``native``: ``brindova.talvesh`` (or ``brindova.extensions``) as installed;
- ``plain``: the same behaviour in plain Python (``tests/twin.py``);
- ``floor``: only the standard-library work that the answer cannot avoid
  (``resolve``, ``name``, the path's text, the ``==`` and ``in`` tests,
  ``fnmatch`` calls, ``Path`` conversions), written as straight-line calls
  with everything bound in advance, inside one ordinary Python function.

Workloads that resolve paths are timed twice more, for the system calls
alone: ``syscalls`` makes the libc calls that ``resolve`` makes there, through
ctypes, and ``ctypes`` makes as many calls of the same prototypes to ``labs``,
which enters no kernel; the difference is the system calls' own cost.

All variants go through the same timing loop with the same call shape, so
the cost of the loop and of making a call is the same for each. Whatever a
variant spends above the floor is its glue: argument binding, attribute and
global lookups, list walks, result objects.

Run through ``run.py``, which saves the JSON and prints the comparison
table; any pyperf option works here too, e.g.::

    python benchmarks/bench.py --fast --select 'name-*' -o out.json
"""

import contextlib
import ctypes
import fnmatch
import functools
import itertools
import os
import posixpath
import subprocess
import sys
import sysconfig
import tempfile
import types
from pathlib import Path
from time import perf_counter

import pyperf

HERE = os.path.dirname(os.path.abspath(__file__))
# The plain-Python twin is the one the tests hold the native module against.
TWIN_DIR = os.path.join(os.path.dirname(HERE), "tests")
sys.path.insert(0, TWIN_DIR)
import twin  # noqa: E402
from brindova.talvesh import LoaderIgnore as NativeLoaderIgnore  # noqa: E402

VARIANTS = ("native", "plain", "floor")
UNROLL = 10  # calls per loop iteration; pyperf divides it out again

# --- the timing loops ---------------------------------------------------------
#
# One loop per call shape. The callable arrives as an argument, so it is a
# local of the loop: no attribute or global lookup is timed with the call.


def loop_no_args(loops, call):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        call(); call(); call(); call(); call()  # noqa: E702
        call(); call(); call(); call(); call()  # noqa: E702
    return perf_counter() - t0


def loop_path(loops, call, path):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        call(path); call(path); call(path); call(path); call(path)  # noqa: E702
        call(path); call(path); call(path); call(path); call(path)  # noqa: E702
    return perf_counter() - t0


def loop_name(loops, call, name):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        call(name=name); call(name=name); call(name=name); call(name=name); call(name=name)  # noqa: E702
        call(name=name); call(name=name); call(name=name); call(name=name); call(name=name)  # noqa: E702
    return perf_counter() - t0


def loop_walk(loops, make_call, queries):
    # The callable is made at the first use, outside the timing: recording the
    # whole walk's system calls takes a tenth of a second, too long to spend in
    # every pyperf worker, most of which run other workloads.
    with contextlib.chdir(STDLIB):
        call = make_call()
        to_path = Path
        it = range(loops)
        t0 = perf_counter()
        for _ in it:
            for dirpath, filename in queries:
                call(to_path(dirpath, filename))
        return perf_counter() - t0


def loop_init_masks(loops, call, file_mask, file_masks, path_mask, path_masks,
                    env_name, env_names, env_name_mask, env_name_masks):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        call(file_mask=file_mask, file_masks=file_masks, path_mask=path_mask,
             path_masks=path_masks, env_name=env_name, env_names=env_names,
             env_name_mask=env_name_mask, env_name_masks=env_name_masks)
    return perf_counter() - t0


def loop_init_paths(loops, call, file, files, path, paths):
    it = range(loops)
    t0 = perf_counter()
    for _ in it:
        call(file=file, files=files, path=path, paths=paths)
    return perf_counter() - t0


# --- rule sets and queries ----------------------------------------------------

FILES = ["secrets.yaml", "local.yaml", "README.md"]
FILE_MASKS = ["*.pyc", "*.tmp", "*~", ".#*", "*.bak"]
PATHS = ["build", "dist", ".cache"]
PATH_MASKS = ["build/*", "*/__pycache__/*", ".git/*"]
ENV_NAMES = [f"BRINDOVA_SETTING_{i:02d}" for i in range(20)]
ENV_NAME_MASKS = ["BRINDOVA_*", "*_SECRET", "*_TOKEN", "AWS_*", "CI_*",
                  "*PASSWORD*", "GITHUB_*", "*_KEY", "LC_*", "SSH_*"]

# Queries are paths relative to the working directory, as the loader walks
# them; the files exist, so `resolve` asks the file system about every
# component.
MISS_PATH = "conf/app/settings.yaml"
HIT_PATH = "conf/app/secrets.yaml"  # the first `files` entry
BELOW_PATH = "build/out/app.json"  # below the first `paths` entry
MISS_NAME = "XDG_RUNTIME_DIR"

# The walk: the interpreter's standard library is the configuration
# directory, walked from inside as a loader walks its own, with the rules a
# project would keep for such a tree.
STDLIB = sysconfig.get_paths()["stdlib"]
WALK_FILES = ["README.txt", "LICENSE.txt"]
WALK_FILE_MASKS = ["*.pyc", "*~", "*.swp", "*.orig", "*.rej", "*.bak"]
WALK_PATHS = ["__pycache__", "site-packages", "lib-dynload"]
WALK_PATH_MASKS = ["*/__pycache__/*", "test/*", "idlelib/*", "*/tests/*"]


def fresh(text):
    """An equal string that is not the same object: names read from the
    environment are never the interned objects of a rule list."""
    return "".join(list(text))


def make_tree():
    """A small project tree to be the working directory of a worker."""
    root = tempfile.TemporaryDirectory(prefix="brindova-bench-")
    for rel in (MISS_PATH, HIT_PATH, BELOW_PATH):
        os.makedirs(os.path.join(root.name, os.path.dirname(rel)), exist_ok=True)
        open(os.path.join(root.name, rel), "w").close()
    for rel in PATHS:
        os.makedirs(os.path.join(root.name, rel), exist_ok=True)
    return root


def typical(cls):
    return cls(files=list(FILES), file_masks=list(FILE_MASKS), paths=list(PATHS),
               path_masks=list(PATH_MASKS))


def walk_rules(cls):
    return cls(files=list(WALK_FILES), file_masks=list(WALK_FILE_MASKS), paths=list(WALK_PATHS),
               path_masks=list(WALK_PATH_MASKS))


def walk_files():
    """(dirpath, filename) of every file that `os.walk(".")` finds, sorted
    within each directory so that every run asks in the same order."""
    found = []
    for dirpath, dirnames, filenames in os.walk("."):
        dirnames.sort()
        found.extend((dirpath, filename) for filename in sorted(filenames))
    return found


# --- floors ---------------------------------------------------------------------
#
# Each floor makes exactly the standard-library calls that its workload's
# decision has to make, with the rule entries and `fnmatch.fnmatch` bound in
# advance. Expression statements are not optimised away by CPython, so every
# comparison below is really made.


def floor_no_args():
    def floor():
        pass
    return floor


def floor_names(env_names):
    def floor(name=None):
        name in env_names  # noqa: B015
    return floor


def floor_name_masks(env_names, masks):
    match = fnmatch.fnmatch
    m0, m1, m2, m3, m4, m5, m6, m7, m8, m9 = masks

    def floor(name=None):
        name in env_names  # noqa: B015
        match(name, m0); match(name, m1); match(name, m2); match(name, m3); match(name, m4)  # noqa: E702
        match(name, m5); match(name, m6); match(name, m7); match(name, m8); match(name, m9)  # noqa: E702
    return floor


def floor_path_file_hit(rules):
    f0 = rules.files[0]

    def floor(path):
        path.resolve()
        file_name = path.name
        f"{path}"
        file_name == f0.name  # noqa: B015
    return floor


def floor_path_miss(rules):
    match = fnmatch.fnmatch
    f0, f1, f2 = rules.files
    fm0, fm1, fm2, fm3, fm4 = rules.file_masks
    p0, p1, p2 = rules.paths
    pm0, pm1, pm2 = rules.path_masks

    def floor(path):
        abs_path = path.resolve()
        file_name = path.name
        path_str = f"{path}"
        file_name == f0.name; file_name == f1.name; file_name == f2.name  # noqa: E702, B015
        match(file_name, fm0); match(file_name, fm1); match(file_name, fm2)  # noqa: E702
        match(file_name, fm3); match(file_name, fm4)  # noqa: E702
        abs_path == p0; p0 in abs_path.parents  # noqa: E702, B015
        abs_path == p1; p1 in abs_path.parents  # noqa: E702, B015
        abs_path == p2; p2 in abs_path.parents  # noqa: E702, B015
        match(path_str, pm0); match(path_str, pm1); match(path_str, pm2)  # noqa: E702
    return floor


def floor_path_hit_on_paths(rules):
    match = fnmatch.fnmatch
    f0, f1, f2 = rules.files
    fm0, fm1, fm2, fm3, fm4 = rules.file_masks
    p0 = rules.paths[0]

    def floor(path):
        abs_path = path.resolve()
        file_name = path.name
        f"{path}"
        file_name == f0.name; file_name == f1.name; file_name == f2.name  # noqa: E702, B015
        match(file_name, fm0); match(file_name, fm1); match(file_name, fm2)  # noqa: E702
        match(file_name, fm3); match(file_name, fm4)  # noqa: E702
        abs_path == p0; p0 in abs_path.parents  # noqa: E702, B015
    return floor


def floor_walk(rules):
    match = fnmatch.fnmatch
    f0, f1 = rules.files
    fm0, fm1, fm2, fm3, fm4, fm5 = rules.file_masks
    p0, p1, p2 = rules.paths
    pm0, pm1, pm2, pm3 = rules.path_masks

    # Every file stops at another test: each one is made only while all
    # before it missed, in the decision's order.
    def floor(path):
        abs_path = path.resolve()
        file_name = path.name
        path_str = f"{path}"
        return (file_name == f0.name or file_name == f1.name
                or match(file_name, fm0) or match(file_name, fm1) or match(file_name, fm2)
                or match(file_name, fm3) or match(file_name, fm4) or match(file_name, fm5)
                or abs_path == p0 or p0 in abs_path.parents
                or abs_path == p1 or p1 in abs_path.parents
                or abs_path == p2 or p2 in abs_path.parents
                or match(path_str, pm0) or match(path_str, pm1) or match(path_str, pm2)
                or match(path_str, pm3))
    return floor


def floor_init_masks(cls):
    new = object.__new__

    def floor(file_mask=None, file_masks=None, path_mask=None, path_masks=None,
              env_name=None, env_names=None, env_name_mask=None, env_name_masks=None):
        new(cls)
        []  # noqa: B018  the files list
        file_mask in file_masks  # noqa: B015
        []  # noqa: B018  the paths list
        path_mask in path_masks  # noqa: B015
        env_name in env_names  # noqa: B015
        env_name_mask in env_name_masks  # noqa: B015
    return floor


def floor_init_paths(cls):
    new = object.__new__
    to_path = Path

    def floor(file=None, files=None, path=None, paths=None):
        new(cls)
        a, b, c = files
        file_list = [to_path(a), to_path(b), to_path(c)]
        file = to_path(file)
        if file not in file_list:
            file_list.append(file)
        []  # noqa: B018  the file masks
        a, b, c = paths
        path_list = [to_path(a).resolve(), to_path(b).resolve(), to_path(c).resolve()]
        path = to_path(path).resolve()
        if path not in path_list:
            path_list.append(path)
        [], [], [], []  # noqa: B018  the path masks, names and name masks
    return floor


# --- system calls ------------------------------------------------------------------
#
# What `resolve` asks the kernel, alone. The calls are recorded once from
# posixpath.realpath's own code, then made again through ctypes with their
# prototypes fixed and their buffers made in advance. The same calls of the
# same prototypes to `labs`, which makes no system call, cost what ctypes
# itself costs: run.py subtracts them.

LIBC = ctypes.CDLL(None)
AT_FDCWD, AT_SYMLINK_NOFOLLOW = ctypes.c_int(-100), ctypes.c_int(0x100)
PROTOTYPES = {  # name: (result, arguments...)
    "getcwd": (ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t),
    "fstatat": (ctypes.c_int, ctypes.c_int, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int),
    "readlink": (ctypes.c_ssize_t, ctypes.c_char_p, ctypes.c_void_p, ctypes.c_size_t),
}
CWD_BUFFER, STAT_BUFFER, LINK_BUFFER = (ctypes.create_string_buffer(4096) for _ in range(3))
BUFFER_SIZE = ctypes.c_size_t(4096)


def realpath_calls(path):
    """The libc calls that `Path(path).resolve()` makes in the working
    directory: posixpath.realpath's code run with recording stand-ins of
    os.getcwd, os.lstat (fstatat without following links) and os.readlink."""
    calls = []

    def record(name, function, *args):
        calls.append((name, *map(os.fsencode, args)))
        return function(*args)

    recording_os = types.SimpleNamespace(
        fspath=os.fspath, stat=os.stat, getcwd=lambda: record("getcwd", os.getcwd),
        lstat=lambda p: record("fstatat", os.lstat, p), readlink=lambda p: record("readlink", os.readlink, p))
    realpath = types.FunctionType(posixpath.realpath.__code__, {**vars(posixpath), "os": recording_os})
    realpath.__kwdefaults__ = posixpath.realpath.__kwdefaults__
    realpath(path)
    return calls


def replay(sequences, stand_in):
    """A callable that makes, whatever its arguments, the next sequence of
    recorded calls (one sequence per decision, in the workload's order);
    with `stand_in`, each call goes to `labs` through the same prototype."""
    functions = {name: ctypes.CFUNCTYPE(*prototype)(
        ctypes.cast(getattr(LIBC, "labs" if stand_in else name), ctypes.c_void_p).value)
        for name, prototype in PROTOTYPES.items()}
    # All ctypes objects, which ctypes converts faster than Python ints and bytes.
    arguments = {"getcwd": lambda: (CWD_BUFFER, BUFFER_SIZE),
                 "fstatat": lambda path: (AT_FDCWD, ctypes.c_char_p(path), STAT_BUFFER, AT_SYMLINK_NOFOLLOW),
                 "readlink": lambda path: (ctypes.c_char_p(path), LINK_BUFFER, BUFFER_SIZE)}
    steps = itertools.cycle([tuple((functions[name], arguments[name](*args)) for name, *args in sequence)
                             for sequence in sequences]).__next__

    def call(*_, **__):
        for function, args in steps():
            function(*args)
    return call


def with_syscalls(variants, sequences, *args):
    return {**variants, "syscalls": (replay(sequences, False), *args),
            "ctypes": (replay(sequences, True), *args)}


# --- the suite --------------------------------------------------------------------


class Workload:
    """One row of the table: a timing loop and, per variant, its arguments."""

    def __init__(self, name, loop, variants, inner_loops=UNROLL):
        self.name = name
        self.loop = loop
        self.variants = variants  # variant -> tuple of loop arguments
        self.inner_loops = inner_loops


def call_workloads():
    rules = {"native": typical(NativeLoaderIgnore), "plain": typical(twin.LoaderIgnore)}
    miss, hit, below = Path(MISS_PATH), Path(HIT_PATH), Path(BELOW_PATH)

    names = {"native": NativeLoaderIgnore(env_names=list(ENV_NAMES)),
             "plain": twin.LoaderIgnore(env_names=list(ENV_NAMES))}
    masks = {"native": NativeLoaderIgnore(env_name_masks=list(ENV_NAME_MASKS)),
             "plain": twin.LoaderIgnore(env_name_masks=list(ENV_NAME_MASKS))}
    last_name = fresh(ENV_NAMES[-1])
    miss_name = fresh(MISS_NAME)

    def methods(sets, floor):
        return {"native": sets["native"].is_ignored, "plain": sets["plain"].is_ignored,
                "floor": floor}

    def with_args(calls, *args):
        return {variant: (call, *args) for variant, call in calls.items()}

    native = rules["native"]
    return [
        Workload("call-no-args", loop_no_args,
                 with_args(methods(rules, floor_no_args()))),
        Workload("name-20-names-hit-last", loop_name,
                 with_args(methods(names, floor_names(names["native"].env_names)), last_name)),
        Workload("name-20-names-miss", loop_name,
                 with_args(methods(names, floor_names(names["native"].env_names)), miss_name)),
        Workload("name-10-masks-miss", loop_name,
                 with_args(methods(masks, floor_name_masks(masks["native"].env_names,
                                                           masks["native"].env_name_masks)),
                           miss_name)),
        Workload("path-file-hit", loop_path,
                 with_syscalls(with_args(methods(rules, floor_path_file_hit(native)), hit),
                               [realpath_calls(hit)], hit)),
        Workload("path-miss", loop_path,
                 with_syscalls(with_args(methods(rules, floor_path_miss(native)), miss),
                               [realpath_calls(miss)], miss)),
        Workload("path-hit-on-paths", loop_path,
                 with_syscalls(with_args(methods(rules, floor_path_hit_on_paths(native)), below),
                               [realpath_calls(below)], below)),
    ]


def init_workloads():
    def mask_args():
        # A loader's usual rule set. Each variant gets lists of its own: the
        # constructor keeps and may extend them. The singular values are
        # already the last entries, as they are after the first construction
        # with the same lists.
        return ("*.swp", FILE_MASKS + ["*.swp"], "tmp/*", PATH_MASKS + ["tmp/*"],
                "BRINDOVA_DEBUG", ENV_NAMES[:3] + ["BRINDOVA_DEBUG"],
                "*_PASSWD", ENV_NAME_MASKS[:3] + ["*_PASSWD"])

    def path_args():
        return ("settings.local.yaml", list(FILES), "node_modules", list(PATHS))

    # Construction resolves each `paths` entry, then `path`.
    resolved = [[call for path in PATHS + ["node_modules"] for call in realpath_calls(path)]]

    return [
        Workload("init-masks-names", loop_init_masks, {
            "native": (NativeLoaderIgnore, *mask_args()),
            "plain": (twin.LoaderIgnore, *mask_args()),
            "floor": (floor_init_masks(NativeLoaderIgnore), *mask_args()),
        }, inner_loops=None),
        Workload("init-files-paths", loop_init_paths, with_syscalls({
            "native": (NativeLoaderIgnore, *path_args()),
            "plain": (twin.LoaderIgnore, *path_args()),
            "floor": (floor_init_paths(NativeLoaderIgnore), *path_args()),
        }, resolved, *path_args()), inner_loops=None),
    ]


def walk_workloads():
    with contextlib.chdir(STDLIB):
        queries = walk_files()
    rules = functools.cache(walk_rules)
    sequences = functools.cache(lambda: [realpath_calls(Path(*query)) for query in queries])
    makers = {
        "native": lambda: rules(NativeLoaderIgnore).is_ignored,
        "plain": lambda: rules(twin.LoaderIgnore).is_ignored,
        "floor": lambda: floor_walk(rules(NativeLoaderIgnore)),
        "syscalls": lambda: replay(sequences(), False),
        "ctypes": lambda: replay(sequences(), True),
    }
    # Each is made once per process, in the standard library's directory (by
    # loop_walk), so the rules' paths are resolved there.
    return [Workload("walk-stdlib", loop_walk,
                     {variant: (functools.cache(make), queries) for variant, make in makers.items()},
                     inner_loops=len(queries))]


# Imports are timed inside a fresh interpreter each time, from just before
# the import statement to just after it, so that the noise of starting a
# process stays out of the figure. `-S` skips `site`; the package's directory
# this one and the twin's are put on the path by hand, the same way for every variant.
IMPORTS = {
    "import-talvesh": {"native": "import brindova.talvesh", "plain": "import twin",
                       "floor": "import pathlib, fnmatch"},
    "import-extensions": {"native": "import brindova.extensions",
                          "plain": "import peer_extensions", "floor": "import dataclasses"},
}


def import_command(statement):
    import brindova.talvesh

    # `brindova` is a namespace portion: its site directory is two levels up.
    site_dir = os.path.dirname(os.path.dirname(brindova.talvesh.__file__))
    code = (f"import sys, time; sys.path[:0] = [{site_dir!r}, {HERE!r}, {TWIN_DIR!r}]; "
            f"t0 = time.perf_counter(); {statement}; t1 = time.perf_counter(); "
            f"print(t1 - t0)")
    return [sys.executable, "-S", "-c", code]


def loop_import(loops, command):
    total = 0.0
    for _ in range(loops):
        done = subprocess.run(command, capture_output=True, text=True, check=True)
        total += float(done.stdout)
    return total


def add_cmdline_args(cmd, args):
    if args.select:
        cmd.extend(("--select", args.select))


def main():
    runner = pyperf.Runner(add_cmdline_args=add_cmdline_args)
    runner.argparser.add_argument(
        "--select", metavar="PATTERN",
        help="run only the workloads whose name matches this shell-style pattern")
    args = runner.parse_args()

    if args.worker:
        # Relative queries and rule paths are taken against this tree.
        tree = make_tree()
        os.chdir(tree.name)

    def selected(name):
        return not args.select or fnmatch.fnmatchcase(name, args.select)

    # The walk lists the standard library's files at once: only when it runs.
    walk = walk_workloads() if selected("walk-stdlib") else []
    for workload in call_workloads() + init_workloads() + walk:
        if not selected(workload.name):
            continue
        for variant, loop_args in workload.variants.items():
            runner.bench_time_func(f"{workload.name}.{variant}", workload.loop, *loop_args,
                                   inner_loops=workload.inner_loops)

    for name, statements in IMPORTS.items():
        if not selected(name):
            continue
        for variant in VARIANTS:
            runner.bench_time_func(f"{name}.{variant}", loop_import,
                                   import_command(statements[variant]))


if __name__ == "__main__":
    main()
