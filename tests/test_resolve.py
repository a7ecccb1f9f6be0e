"""`resolve` as the rule set takes it natively, against the ordinary route
(forced by an alteration that the native route must notice), over random
trees: the same resolved paths, answers, exceptions and tracebacks, and the
same state left on the paths involved.
"""

import contextlib
import os
import shutil
import subprocess
import sys
import tempfile
import traceback
from pathlib import Path

from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brindova.talvesh import LoaderIgnore
from support import ordinary

# Nodes a tree may hold, parents first; "é" and "\udcff" (a byte that is not
# UTF-8) test the encoding, "f" is meant to be a file used as a directory.
NODES = ["a", "b", "f", "é", "\udcff", "a/x", "b/y", "a/x/é"]
KINDS = ["dir", "file", "link", "locked", "absent"]
TARGETS = ["a", "b", "../a", "../../b", "a/x", "f", "f/x", "missing", "a/../b", ".", "..", "@/a", "/", "b//y/",
           "\udcff", "@", *["l1", "l2", "../l1", "@/l2", "l3", "a/l3/x"] * 2]
LINKS = ["l1", "l2", "a/l3"]
LONG = "n" * 300  # ENAMETOOLONG as one name, and beyond PATH_MAX a few times over
# "\udcc3\udca9" is the escaped form of é's bytes: it has no round trip
# through the file system's encoding; "\0" is refused by the system calls.
TOKENS = ["a", "b", "f", "x", "y", "é", "\udcff", "missing", ".", "..", "", LONG, "\udcc3\udca9", "a\0",
          *["l1", "l2", "a/l3"] * 3]
SLOTS = ["_raw_paths", "_drv", "_root", "_tail_cached", "_str", "_str_normcase_cached", "_parts_normcase_cached",
         "_hash"]
CHILD = "BRINDOVA_RESOLVE_UNPRIVILEGED"

tree = st.tuples(st.lists(st.sampled_from(KINDS), min_size=len(NODES), max_size=len(NODES)),
                 st.lists(st.sampled_from(TARGETS), min_size=len(LINKS) + len(NODES),
                          max_size=len(LINKS) + len(NODES)),
                 st.sampled_from(["root", "a", "removed", "deep"]))
query = st.tuples(st.sampled_from(["", "@", "//@", "///@"]),
                  st.lists(st.lists(st.sampled_from(TOKENS), max_size=4).map("/".join), min_size=1, max_size=2),
                  st.sampled_from(["", "/"]), st.booleans())


def build(root, kinds, targets):
    def target(i):
        return targets[i].replace("@", root)

    # (A name the file system's encoding cannot hold is not made.)
    for i, link in enumerate(LINKS):
        with contextlib.suppress(OSError, ValueError):
            os.makedirs(os.path.dirname(os.path.join(root, link)), exist_ok=True)
            os.symlink(target(i), os.path.join(root, link))
    for i, (node, kind) in enumerate(zip(NODES, kinds)):
        path = os.path.join(root, node)
        with contextlib.suppress(OSError, ValueError):
            if kind in ("dir", "locked"):
                os.makedirs(path, exist_ok=True)
            elif kind == "file":
                open(path, "x").close()
            elif kind == "link":
                os.symlink(target(len(LINKS) + i), path)
    # Locked last, so that what lies below was made.
    locked = [os.path.join(root, n) for n, k in zip(NODES, kinds) if k == "locked"]
    return [path for path in locked if os.path.isdir(path)]


def state(path):
    def value(slot):
        v = getattr(path, slot, "<unset>")
        return [(s, s is sys.intern(s)) for s in v] if slot == "_tail_cached" and isinstance(v, list) else v
    return type(path), [value(slot) for slot in SLOTS]


def observe(root, queries):
    """What the rule set makes of each query, built (the query also as the
    singular value, which is appended unless an entry equals it) and asked."""
    rules = LoaderIgnore(paths=[root])
    seen = []

    def build(p):
        built = LoaderIgnore(files=[p, "a"], file=p.name, paths=[root, p], path=Path(p, ".."))
        return [(entry, state(entry)) for entry in built.files + built.paths]

    for anchor, segments, trailing, cached in queries:
        segments = [anchor.replace("@", root) + segments[0], *segments[1:]]
        segments[-1] += trailing
        for ask in (build, rules.is_ignored):
            path = Path(*segments)
            if cached:
                str(path)
            try:
                seen.append(ask(path))
            except Exception as e:  # noqa: BLE001  compared, not handled
                frames = [(f.filename, f.name, f.lineno) for f in traceback.extract_tb(e.__traceback__)]
                seen.append((type(e), e.args, frames))
            seen.append(state(path))
    return seen


@settings(max_examples=300, deadline=None, database=None, suppress_health_check=[HealthCheck.too_slow])
@given(tree, st.lists(query, min_size=1, max_size=6))
def differential(layout, queries):
    kinds, targets, cwd = layout
    home = os.getcwd()
    with tempfile.TemporaryDirectory() as tmp:
        root = os.path.realpath(tmp)
        locked = build(root, kinds, targets)
        for path in reversed(locked):  # deepest first, while the way to it is open
            os.chmod(path, 0)
        try:
            if cwd == "removed":
                os.mkdir(os.path.join(root, "gone"))
                os.chdir(os.path.join(root, "gone"))
                os.rmdir(os.path.join(root, "gone"))
            elif cwd == "deep":  # longer than getcwd's first buffer
                deep = os.path.join(root, *[LONG[:250]] * 5)
                os.makedirs(deep)
                os.chdir(deep)
            elif cwd == "a" and os.path.isdir(os.path.join(root, "a")) and os.access(os.path.join(root, "a"), os.X_OK):
                os.chdir(os.path.join(root, "a"))
            else:
                os.chdir(root)
            fast = observe(root, queries)
            with ordinary():
                assert fast == observe(root, queries)
        finally:
            os.chdir(home)
            for path in locked:
                os.chmod(path, 0o700)


def test_resolve_answers_as_the_ordinary_route():
    differential()
    if CHILD in os.environ:
        return
    # The trees are walked again by the system's superuser without its power
    # to read locked directories, and with ASCII file names (the native route
    # then stays off: its bytes are UTF-8's).
    children = [([], {"PYTHONUTF8": "0", "LC_ALL": "C", "PYTHONCOERCECLOCALE": "0"})]
    if os.geteuid() == 0 and shutil.which("setpriv"):
        children.append((["setpriv", "--bounding-set=-dac_override,-dac_read_search"], {}))
    for prefix, env in children:
        proc = subprocess.run(
            [*prefix, sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider",
             f"{__file__}::test_resolve_answers_as_the_ordinary_route"],
            env={**os.environ, **env, CHILD: "1"}, capture_output=True, text=True, timeout=600)
        assert proc.returncode == 0, proc.stdout + proc.stderr
