"""The native rule set against the plain-Python twin in tests/twin.py:
generated rule sets and queries over a small tree with symbolic links must
give the same lists, the same answers and the same exceptions."""

import contextlib
import copy
import os
from pathlib import Path

import pytest
from hypothesis import event, given, settings
from hypothesis import strategies as st

import twin
from brindova.talvesh import LoaderIgnore
from support import GETTERS

# Slow runs (valgrind) ask for fewer examples.
SETTINGS = settings(max_examples=int(os.environ.get("BRINDOVA_MODEL_EXAMPLES", "200")), deadline=None)


@pytest.fixture(scope="module")
def tree(tmp_path_factory):
    """root/{a/b/c.txt, a/B.TXT, A/, x.yaml} and links: a directory, a file,
    one out of the tree, a loop and a dangling one."""
    root = tmp_path_factory.mktemp("model").resolve()
    (root / "a" / "b").mkdir(parents=True)
    (root / "A").mkdir()
    for file in ("a/b/c.txt", "a/B.TXT", "x.yaml"):
        (root / file).write_text("")
    for link, target in (("dlink", "a/b"), ("flink", "a/b/c.txt"), ("up", ".."), ("loop", "loop"),
                         ("dangling", "nowhere/zzz")):
        (root / link).symlink_to(target)
    return root


COMPONENTS = ["a", "A", "b", "B", "c.txt", "C.TXT", "B.TXT", "x.yaml", "dlink", "flink", "up",
              "loop", "dangling", "nope", ".", "..", ""]


@st.composite
def path_texts(draw):
    """Relative, absolute inside the tree, or absolute from the root."""
    parts = draw(st.lists(st.sampled_from(COMPONENTS), max_size=4))
    prefix = draw(st.sampled_from(["", "", "ROOT/", "/"]))
    return prefix + "/".join(parts)


def rooted(text, root):
    return text.replace("ROOT", str(root), 1)


def masks_of(tokens):
    # "*" alone, a mask that always hits, lets a walk stop before a bad entry.
    joined = st.lists(st.sampled_from(tokens), min_size=1, max_size=3).map("".join)
    return st.one_of(st.just("*"), joined)


masks = masks_of(["*", "*", "?", "[a-c]", "[!a]", "a", "A", "b", ".", "/", "x", "c.txt", "*.txt",
                  "*.TXT", "ROOT/*", "a/*"])
names = st.text(alphabet="aAbB_X1", max_size=3)
name_masks = masks_of(["*", "?", "a", "A", "X", "_", "[a-b]", "[!X]"])
# Values any list may end up holding: a non-string mask makes fnmatch raise.
oddities = st.sampled_from([1, None, b"a"])
# Paths that name things in the tree, through links and '..', so that rules hit.
NEAR = ["c.txt", "flink", "x.yaml", "B.TXT", "b", "..", "", "a/b/c.txt", "ROOT/a", "ROOT/a/b",
        "dlink", "dlink/c.txt", "a/b/..", "ROOT/A", "up", "/", "ROOT/flink", "ROOT/dlink/.."]
path_texts_near = st.one_of(path_texts(), st.sampled_from(NEAR))
path_values = st.one_of(path_texts_near, path_texts_near.map(lambda t: ("Path", t)))


def materialise(value, root):
    """Generated path values: text, or ("Path", text) for a pathlib path."""
    if isinstance(value, tuple):
        return Path(rooted(value[1], root))
    return rooted(value, root) if isinstance(value, str) else value


@st.composite
def init_arguments(draw, refused=True):
    """Constructor keywords, each present one time in three; mask and name
    lists are sometimes one shared list. With `refused`, a path list now and
    then holds an element that Path refuses."""
    args = {}
    for param in twin.INIT_PARAMS:
        if draw(st.integers(0, 2)):
            continue
        if param in ("file", "path"):
            args[param] = draw(path_values)
        elif param in ("files", "paths"):
            refusable = refused and draw(st.integers(0, 3)) == 0
            element = st.one_of(path_values, st.none()) if refusable else path_values
            args[param] = draw(st.lists(element, max_size=4))
        else:
            plain = {"env_name": names, "env_names": names, "env_name_mask": name_masks,
                     "env_name_masks": name_masks}.get(param, masks)
            # Now and then a list with entries that are not strings.
            element = plain if draw(st.integers(0, 3)) else st.one_of(plain, oddities)
            args[param] = draw(st.lists(element, max_size=3) if param.endswith("s") else plain)
    shared = [p for p in ("file_masks", "path_masks", "env_names", "env_name_masks") if p in args]
    if len(shared) >= 2 and draw(st.booleans()):
        args[shared[1]] = args[shared[0]]
    return args


def prepared(args, root):
    """The arguments with their paths made, keeping shared lists shared."""
    memo = {}
    out = {}
    for key, value in args.items():
        if isinstance(value, list):
            if id(value) not in memo:
                memo[id(value)] = [materialise(v, root) for v in value]
            out[key] = memo[id(value)]
        else:
            out[key] = materialise(value, root)
    return out


def outcome(call):
    try:
        return call()
    except Exception as exc:  # noqa: BLE001  the failure is the outcome under test
        return exc


def same_outcome(native, expected):
    event(type(expected).__name__ if isinstance(expected, Exception) else repr(expected))
    if isinstance(expected, Exception):
        assert type(native) is type(expected), (native, expected)
        assert str(native) == str(expected)
        assert type(native.__cause__) is type(expected.__cause__)
    else:
        assert native == expected and type(native) is type(expected)


def lists(rules):
    return [getattr(rules, name) for name in GETTERS]


@contextlib.contextmanager
def cwd(path):
    old = os.getcwd()
    os.chdir(path)
    try:
        yield
    finally:
        os.chdir(old)


@SETTINGS
@given(args=init_arguments())
def test_construction_matches_model(tree, args):
    native_args = prepared(args, tree)
    model_args = copy.deepcopy(native_args)
    rules = LoaderIgnore.__new__(LoaderIgnore)
    with cwd(tree):
        got = outcome(lambda: rules.__init__(**native_args))
        expected = outcome(lambda: twin.LoaderIgnore(**model_args))
    if isinstance(expected, Exception):
        same_outcome(got, expected)
        # Nothing stored, but a singular mask appended to a caller's list stays.
        assert not any(hasattr(rules, "_LoaderIgnore__" + name) for name in GETTERS)
    else:
        assert got is None
        for got_list, want_list in zip(lists(rules), lists(expected)):
            assert type(got_list) is list
            assert [(type(v), v) for v in got_list] == [(type(v), v) for v in want_list]
        # The caller's mask and name lists are stored themselves, never copied.
        for name in GETTERS:
            assert (getattr(rules, name) is native_args.get(name)) == \
                (getattr(expected, name) is model_args.get(name))
    assert native_args == model_args


# Every rule set is asked about each of these too: a random rule set seldom
# tells the steps apart on one random query, but often on one of many.
PROBES = [None, "", ".", "..", "c.txt", "C.TXT", "a/b/c.txt", "ROOT/a/b/c.txt", "flink", "ROOT/flink",
          "dlink", "dlink/c.txt", "ROOT/dlink/..", "a/b/..", "up/x.yaml", "A/B.TXT", "nope/x", "/",
          "loop", "dangling/q"]
NAME_PROBES = ["", "a", "A", "X_", "ab", "b1"]


# Entries appended to a list after construction: the lists stay live.
extras = st.fixed_dictionaries({}, optional={
    "files": st.sampled_from(["str-entry", ("Path", "ROOT/a/b/c.txt")]),
    "file_masks": st.one_of(masks, masks, masks, oddities),
    "paths": st.sampled_from(["ROOT", ("Path", "ROOT/a"), ("Path", "/")]),
    "path_masks": st.one_of(masks, masks, masks, oddities),
    "env_names": names,
    "env_name_masks": st.one_of(name_masks, name_masks, name_masks, oddities),
})


@SETTINGS
@given(args=init_arguments(refused=False), extra=extras, path=path_texts_near, name=st.none() | names,
       where=st.sampled_from(["", "a", "A"]))
def test_decision_matches_model(tree, args, extra, path, name, where):
    native_args = prepared(args, tree)
    model_args = copy.deepcopy(native_args)
    with cwd(tree):
        rules = LoaderIgnore(**native_args)
        expected_rules = twin.LoaderIgnore(**model_args)
    for key, value in extra.items():
        getattr(rules, key).append(materialise(value, tree))
        getattr(expected_rules, key).append(materialise(value, tree))
    before = [list(lst) for lst in lists(rules)]
    # A relative query resolves against the directory of the moment, the
    # rule set's paths against the one it was built in.
    with cwd(tree / where):
        queries = [(path, name), *((p, name) for p in PROBES), *((None, n) for n in NAME_PROBES)]
        for query, query_name in queries:
            query = None if query is None else Path(rooted(query, tree))
            got = outcome(lambda: rules.is_ignored(query, query_name))
            same_outcome(got, outcome(lambda: expected_rules.is_ignored(query, query_name)))
    assert [list(lst) for lst in lists(rules)] == before


