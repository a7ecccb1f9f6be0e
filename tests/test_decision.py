import contextlib
import fnmatch
import types
from pathlib import Path

import pytest

import brindova.talvesh as talvesh
import twin
from brindova.talvesh import LoaderIgnore


@pytest.fixture
def tree(tmp_path, monkeypatch):
    """A resolved temporary root holding cfg/, real/target.yaml and links/alias.yaml -> it."""
    root = tmp_path.resolve()
    for d in ("cfg", "real", "links"):
        (root / d).mkdir()
    (root / "real" / "target.yaml").touch()
    (root / "links" / "alias.yaml").symlink_to(root / "real" / "target.yaml")
    monkeypatch.chdir(root)
    return root


def decide(path=None, name=None, **rules):
    result = LoaderIgnore(**rules).is_ignored(path, name)
    assert result is True or result is False
    return result


@pytest.mark.parametrize("rules, path, expected", [
    # files: final component, in any directory
    (dict(files=["conf/a.yaml"]), "/elsewhere/a.yaml", True),
    (dict(files=["conf/a.yaml"]), "a.yaml", True),
    (dict(files=["conf/a.yaml"]), "conf", False),
    (dict(files=["A.yaml"]), "a.yaml", False),
    # file masks see the final component only
    (dict(file_masks=["*.tmp"]), "/x/y.tmp", True),
    (dict(file_masks=["x/*"]), "x/y", False),
    (dict(file_masks=["*"]), "/", True),
    (dict(file_masks=["?*"]), ".", False),
    (dict(files=[""]), "/", True),
    # path masks see the unresolved text as given
    (dict(path_masks=["cfg/*"]), "cfg/x.yaml", True),
    (dict(path_masks=["cfg/x.yaml"]), "cfg/../cfg/x.yaml", False),
    (dict(path_masks=["cfg/x.yaml"]), ".//cfg/./x.yaml", True),
    (dict(path_masks=["*/x.yaml"]), "/a/b/cfg/x.yaml", True),
    (dict(path_masks=["/a/*"]), "a/b", False),
    # the root entry covers every path
    (dict(paths=["/"]), "/", True),
    (dict(paths=["/"]), "relative/x", True),
])
def test_path_rules(rules, path, expected):
    assert decide(Path(path), **rules) is expected


@pytest.mark.parametrize("query, expected", [
    ("cfg", True), ("cfg/a/b", True), ("cfg/../cfg/x", True), ("cfg/..", False),
    ("cfg2", False), ("cf", False), (".", False),
])
def test_paths_cover_location_and_below(tree, query, expected):
    x = LoaderIgnore(paths=["cfg"])
    assert x.is_ignored(Path(query)) is expected
    assert x.is_ignored(tree / query) is expected


@pytest.mark.parametrize("rules, expected", [
    # files and file masks see the link's own name
    (dict(files=["alias.yaml"]), True), (dict(files=["target.yaml"]), False),
    (dict(file_masks=["alias*"]), True), (dict(file_masks=["target*"]), False),
    # paths see where the link leads
    (dict(paths=["real"]), True), (dict(paths=["links"]), False),
    # path masks see the link's text
    (dict(path_masks=["links/alias.yaml"]), True), (dict(path_masks=["*real*"]), False),
])
def test_symlink(tree, rules, expected):
    assert decide(Path("links/alias.yaml"), **rules) is expected


@pytest.mark.parametrize("rules, expected", [
    (dict(file_masks=[".."]), True), (dict(files=["x/.."]), True),
    (dict(paths=["."]), True), (dict(paths=["cfg"]), False),
])
def test_path_ending_in_dotdot(tree, rules, expected):
    assert decide(Path("cfg/.."), **rules) is expected


@pytest.mark.parametrize("rules, name, expected", [
    (dict(env_names=["HOME"]), "HOME", True),
    (dict(env_names=["HOME"]), "home", False),
    (dict(env_names=["HOME"]), "HOM", False),
    (dict(env_name_masks=["APP_*"]), "APP_X", True),
    (dict(env_name_masks=["APP_*"]), "app_x", False),
    # an empty name is tested, not skipped
    (dict(env_names=[""]), "", True),
    (dict(env_name_masks=["*"]), "", True),
    (dict(env_name_masks=["?"]), "", False),
    (dict(files=["x"], file_masks=["*"], paths=["/"], path_masks=["*"]), "x", False),
])
def test_name_rules(rules, name, expected):
    assert decide(None, name, **rules) is expected


def test_relative_query_resolved_at_call_time(tree, monkeypatch):
    x = LoaderIgnore(paths=["cfg"])
    monkeypatch.chdir(tree / "real")
    assert x.is_ignored(Path("cfg")) is False and x.is_ignored(Path("../cfg")) is True


class Reads(LoaderIgnore):
    """Logs each read of a rule list, in a log shared with the entries' tests."""
    __slots__ = ("log",)

    def __getattribute__(self, attr):
        if attr.startswith("_LoaderIgnore__"):
            object.__getattribute__(self, "log").append(attr.removeprefix("_LoaderIgnore__"))
        return super().__getattribute__(attr)


def logged_rule_set(log, **lists):
    x = Reads()
    x.log = log
    for key, value in lists.items():  # set directly: construction would convert them
        setattr(x, "_LoaderIgnore__" + key, value)
    return x


class Matcher:
    """Stands in for the fnmatch module and logs (text, pattern) of every test."""

    def __init__(self, log, result=None):
        self.log, self.result = log, result

    def fnmatch(self, text, pattern):
        self.log.append((text, pattern))
        return fnmatch.fnmatch(text, pattern) if self.result is None else self.result


class Logged:
    """Logs its tag whenever it is compared; it never matches and is its own name."""

    def __init__(self, log, tag):
        self.log, self.tag = log, tag

    def __eq__(self, other):
        self.log.append(self.tag)
        return False

    __hash__ = None
    name = property(lambda self: self)

    @property
    def parents(self):  # as a resolved path: log that its parents were taken, give none
        self.log.append("parents")
        return ()


QUERY = Path("/q/dir/file.txt")
EVERY = dict(files="F", file_masks=["m"], paths="P", path_masks=["pm"], env_names="E",
             env_name_masks=["em"])


@pytest.mark.parametrize("path, name, hit, rules, expected_log", [
    # nothing read when there is nothing to test
    (None, None, False, EVERY, []),
    # each list read when its step begins, its entries tested before the next read;
    # a path entry is compared with the path, then with each of its three parents
    (QUERY, "N", False, EVERY,
     ["files", "F", "file_masks", ("file.txt", "m"), "paths", "P", "P", "P", "P",
      "path_masks", ("/q/dir/file.txt", "pm"), "env_names", "E", "env_name_masks", ("N", "em")]),
    (QUERY, None, False, EVERY,
     ["files", "F", "file_masks", ("file.txt", "m"), "paths", "P", "P", "P", "P",
      "path_masks", ("/q/dir/file.txt", "pm")]),
    # the first hit ends the walk and the decision: later entries and lists untouched
    (QUERY, "N", True, dict(file_masks=["x", "*.txt", "y"], env_names="E"),
     ["files", "file_masks", ("file.txt", "x"), ("file.txt", "*.txt")]),
    (QUERY, "N", True, dict(paths=[Path("/q"), "P"], path_masks=["*"]),
     ["files", "file_masks", "paths"]),
    (QUERY, "N", True, dict(path_masks=["/q/*", "z"], env_names="E"),
     ["files", "file_masks", "paths", "path_masks", ("/q/dir/file.txt", "/q/*")]),
    # only a name: the four path lists are never read
    (None, "N", True, dict(files="F", env_name_masks=["x", "N", "y"]),
     ["env_names", "env_name_masks", ("N", "x"), ("N", "N")]),
    (None, "N", True, dict(env_names=["N"], env_name_masks=["em"]), ["env_names"]),
])
def test_read_and_test_order(monkeypatch, path, name, hit, rules, expected_log):
    log = []
    monkeypatch.setattr(talvesh, "fnmatch", Matcher(log))
    lists = {k: [Logged(log, v)] if isinstance(v, str) else v for k, v in rules.items()}
    assert logged_rule_set(log, **lists).is_ignored(path, name) is hit
    assert log == expected_log


def test_str_path_fails_before_any_rule():
    log = []
    with pytest.raises(AttributeError, match="'str' object has no attribute 'resolve'"):
        logged_rule_set(log, env_names=["N"]).is_ignored("a.txt", "N")
    assert log == []


def test_fnmatch_looked_up_at_every_test(monkeypatch):
    first, second = [], []
    replacement = Matcher(second)

    class Swapping(Matcher):
        def fnmatch(self, text, pattern):
            monkeypatch.setattr(talvesh, "fnmatch", replacement)
            return super().fnmatch(text, pattern)

    monkeypatch.setattr(talvesh, "fnmatch", Swapping(first))
    assert LoaderIgnore(file_masks=["a", "b"], path_masks=["c"]).is_ignored(Path("x")) is False
    assert (first, second) == ([("x", "a")], [("x", "b"), ("x", "c")])


def _patch_function(monkeypatch, seen):
    monkeypatch.setattr(fnmatch, "fnmatch", lambda text, pattern: seen.append(pattern))


def _swap_module_class(monkeypatch, seen):
    class Recording(types.ModuleType):
        @property
        def fnmatch(self):
            return lambda text, pattern: seen.append(pattern)

    monkeypatch.setattr(fnmatch, "__class__", Recording)


def _rebind_global(monkeypatch, seen):
    other = types.ModuleType("other")
    other.fnmatch = lambda text, pattern: seen.append(pattern)
    monkeypatch.setattr(talvesh, "fnmatch", other)


# The usual holder is the real module: whatever changes between two tests of
# one walk (its function, its class, the module global) must be used at once.
@pytest.mark.parametrize("change", [_patch_function, _swap_module_class, _rebind_global])
def test_changes_to_the_real_fnmatch_module_apply_at_the_next_test(monkeypatch, change):
    real, seen = fnmatch.fnmatch, []

    def first(text, pattern):
        change(monkeypatch, seen)
        return real(text, pattern)

    rules = LoaderIgnore(env_name_masks=["a*", "b*", "c*"])
    assert rules.is_ignored(name="zz") is False  # the real function, looked up before any change
    monkeypatch.setattr(fnmatch, "fnmatch", first)
    assert rules.is_ignored(name="zz") is False
    assert seen == ["b*", "c*"]
    monkeypatch.undo()
    assert rules.is_ignored(name="b1") is True and seen == ["b*", "c*"]


class Verdict:
    def __init__(self, truth):
        self.truth, self.tested = truth, 0

    def __bool__(self):
        self.tested += 1
        if isinstance(self.truth, Exception):
            raise self.truth
        return self.truth


class Judge:
    """Compares equal to anything with the given verdict; its own name is itself."""

    def __init__(self, verdict):
        self.verdict = verdict

    name = property(lambda self: self)
    __eq__ = lambda self, other: self.verdict
    __hash__ = None


ERR = ArithmeticError("truth test failed")


@pytest.mark.parametrize("truth", [True, False, ERR])
@pytest.mark.parametrize("kind", ["files", "paths", "env_names", "file_masks", "path_masks",
                                  "env_name_masks"])
def test_truth_of_test_results(monkeypatch, kind, truth):
    verdict = Verdict(truth)
    monkeypatch.setattr(talvesh, "fnmatch", Matcher([], result=verdict))
    x = LoaderIgnore()
    getattr(x, kind).append("pattern" if "mask" in kind else Judge(verdict))
    if truth is ERR:
        with pytest.raises(ArithmeticError) as info:
            x.is_ignored(Path("/a"), "N")
        assert info.value is ERR
    else:
        assert x.is_ignored(Path("/a"), "N") is truth
    # each result's truth is tested as often as Python's own `or` and any() test it
    native, verdict.tested = verdict.tested, 0
    with contextlib.suppress(ArithmeticError):
        twin.under(twin.LoaderIgnore.is_ignored, vars(talvesh))(x, Path("/a"), "N")
    assert native == verdict.tested


def test_lists_are_live(tree):
    masks = []
    x = LoaderIgnore(file_masks=masks)
    masks.append("*.yaml")
    assert x.is_ignored(Path("a.yaml")) is True
    x.paths.append(str(tree))  # a str never equals a path: no match, no error
    assert x.is_ignored(tree / "cfg") is False
    x.files.append(Path("sub/b.txt"))
    assert x.is_ignored(Path("b.txt")) is True
    x.files.append("c.txt")  # reached only when the earlier entry misses
    assert x.is_ignored(Path("b.txt")) is True
    with pytest.raises(AttributeError, match="'str' object has no attribute 'name'"):
        x.is_ignored(Path("c.txt"))


class GivenPath:
    def __init__(self, log):
        self.log = log

    def resolve(self):
        self.log.append("resolve")
        return Logged(self.log, "abs_path")

    @property
    def name(self):
        self.log.append("name")
        return Logged(self.log, "file_name")

    def __format__(self, format_spec):
        self.log.append(("format", format_spec))
        return "text"


def test_derived_values_order_operands_and_parents_per_entry():
    log = []
    entries = [Logged(log, "entry"), Logged(log, "entry")]
    x = logged_rule_set([], files=entries[:1], paths=entries)
    assert x.is_ignored(GivenPath(log)) is False
    assert log == ["resolve", "name", ("format", ""),
                   "file_name", "abs_path", "parents", "abs_path", "parents"]
