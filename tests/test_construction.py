import builtins
import pathlib
from pathlib import Path

import pytest

import brindova.talvesh as talvesh
from brindova.talvesh import LoaderIgnore
from support import GETTERS


class RecordingStores(LoaderIgnore):
    __slots__ = ("stores",)

    def __setattr__(self, name, value):
        if name != "stores":
            self.stores.append(name.removeprefix("_LoaderIgnore__"))
        super().__setattr__(name, value)


class AlwaysEqual:
    __eq__ = lambda self, other: True


ALWAYS = AlwaysEqual()


def test_six_stores_in_slot_order():
    x = RecordingStores.__new__(RecordingStores)
    x.stores = []
    x.__init__(files=["a"], file_mask="m", paths=["p"], env_name_masks=[])
    x.__init__()
    assert x.stores == [*GETTERS] * 2


def test_conversion_order_and_fresh_lookup(monkeypatch):
    log = []

    class LoggedPath(pathlib.PosixPath):
        def resolve(self):
            log.append(("resolve", self.name))
            return super().resolve()

    def second(value):
        log.append(("second", value))
        return LoggedPath(value)

    def first(value):
        log.append(("first", value))
        monkeypatch.setattr(talvesh, "Path", second)  # must serve the very next conversion
        return LoggedPath(value)

    monkeypatch.setattr(talvesh, "Path", first)
    LoaderIgnore(file="f", files=["a", "b"], path="p", paths=["q"])
    assert log == [("first", "a"), ("second", "b"), ("second", "f"),
                   ("second", "q"), ("resolve", "q"), ("second", "p"), ("resolve", "p")]


def test_path_falls_back_to_builtins_then_name_error(monkeypatch):
    monkeypatch.delattr(talvesh, "Path")
    assert LoaderIgnore(files=[], paths=[], file_mask="*").files == []  # nothing to convert
    with pytest.raises(NameError, match=r"^name 'Path' is not defined$"):
        LoaderIgnore(file="a")
    monkeypatch.setattr(builtins, "Path", lambda v: ("converted", v), raising=False)
    assert LoaderIgnore(files=["a"]).files == [("converted", "a")]


@pytest.mark.parametrize("singular, plural", [
    ("file_mask", "file_masks"), ("path_mask", "path_masks"),
    ("env_name", "env_names"), ("env_name_mask", "env_name_masks"),
])
def test_mask_lists_are_the_callers_lists(singular, plural):
    given, empty = ["x"], []
    x = LoaderIgnore(**{plural: given, singular: "new"})
    given.append("later")
    assert getattr(x, plural) is given and given == ["x", "new", "later"]
    assert getattr(LoaderIgnore(**{plural: empty}), plural) is empty


@pytest.mark.parametrize("plural", ["files", "paths"])
def test_path_lists_are_always_new(plural):
    given, empty = ["/a"], []
    assert getattr(LoaderIgnore(**{plural: given}), plural) is not given and given == ["/a"]
    assert getattr(LoaderIgnore(**{plural: empty}), plural) is not empty


def test_shared_and_distinct_lists():
    shared = []
    x = LoaderIgnore(file_mask="a", file_masks=shared, path_mask="b", path_masks=shared)
    assert x.file_masks is shared and x.path_masks is shared and shared == ["a", "b"]
    lists = [getattr(LoaderIgnore(), n) for n in GETTERS]
    assert lists == [[]] * 6 and len({id(v) for v in lists}) == 6


@pytest.mark.parametrize("kwargs, attr, expected", [
    # the singular value is added last, once, and only when no equal entry exists
    (dict(file="a.txt", files=["a.txt", "b.txt"]), "files", [Path("a.txt"), Path("b.txt")]),
    (dict(file="c.txt", files=["a.txt"]), "files", [Path("a.txt"), Path("c.txt")]),
    (dict(file=Path("a"), files=["a"]), "files", [Path("a")]),
    (dict(file="A", files=["a"]), "files", [Path("a"), Path("A")]),
    (dict(file="", files=None), "files", [Path(".")]),
    (dict(file_mask="x", file_masks=[ALWAYS]), "file_masks", [ALWAYS]),
    (dict(file_mask="", file_masks=None), "file_masks", [""]),
    (dict(env_name="A", env_names=["A", "A"]), "env_names", ["A", "A"]),
    # plural values are kept as given: duplicates, odd types, relative paths
    (dict(files=["a", "a", "sub/x.yaml"]), "files", [Path("a"), Path("a"), Path("sub/x.yaml")]),
    (dict(file_masks=[1, None, ""]), "file_masks", [1, None, ""]),
])
def test_contents(kwargs, attr, expected):
    assert getattr(LoaderIgnore(**kwargs), attr) == expected


def test_paths_resolved_against_cwd_of_construction(tmp_path, monkeypatch):
    root = tmp_path.resolve()
    (root / "deep" / "real").mkdir(parents=True)
    (root / "link").symlink_to(root / "deep" / "real")
    monkeypatch.chdir(root)
    x = LoaderIgnore(paths=["cfg", "x", "./x", "link", "link/.."], path="./x")
    y = LoaderIgnore(path="", files=["cfg"])
    monkeypatch.chdir(root / "deep")
    assert x.paths == [root / "cfg", root / "x", root / "x", root / "deep" / "real", root / "deep"]
    assert y.paths == [root] and y.files == [Path("cfg")]


def test_failure_keeps_slots_and_completed_appends():
    masks, names = [], ["N"]
    new = LoaderIgnore.__new__(LoaderIgnore)
    with pytest.raises(TypeError):
        new.__init__(file_mask="*.x", file_masks=masks, paths=["ok", None], env_name="N",
                     env_names=names)
    assert masks == ["*.x"] and names == ["N"]
    for name in GETTERS:
        with pytest.raises(AttributeError):
            getattr(new, name)
    old = LoaderIgnore(files=["a"])
    before = [getattr(old, n) for n in GETTERS]
    with pytest.raises(TypeError):
        old.__init__(files=[3])
    assert all(getattr(old, n) is v for n, v in zip(GETTERS, before))


def test_failing_store_leaves_earlier_stores():
    class FailsThirdStore(LoaderIgnore):
        def __setattr__(self, name, value):
            if name.endswith("__paths"):
                raise LookupError(name)
            super().__setattr__(name, value)

    x = FailsThirdStore.__new__(FailsThirdStore)
    with pytest.raises(LookupError):
        x.__init__(file="a")
    assert x.files == [Path("a")] and x.file_masks == []
    with pytest.raises(AttributeError):
        x.paths  # noqa: B018
