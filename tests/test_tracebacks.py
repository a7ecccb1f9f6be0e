import pathlib
import traceback

import pytest

import brindova.talvesh as talvesh
from brindova.talvesh import LoaderIgnore

SRC = "src/brindova/talvesh"
INIT = "brindova.talvesh.LoaderIgnore.__init__"
DECIDE = "brindova.talvesh.LoaderIgnore.is_ignored"
QUERY = pathlib.Path("/a/b.txt")
DELETE = object()
MESSAGE = "from Python code"


def init(line):
    return [(SRC, INIT, line)]


def decide(line, walk=None):
    return [(SRC, DECIDE, line)] + ([(SRC, "genexpr", walk)] if walk else [])


def assert_entries(exc, expected):
    """The native entries sit right below the test's frame; no others follow further down."""
    frames = traceback.extract_tb(exc.__traceback__)
    assert frames[0].name.startswith("test_")
    got = [(f.filename, f.name, f.lineno) for f in frames[1:]]
    assert got[:len(expected)] == expected
    assert all(filename != SRC for filename, _, _ in got[len(expected):]), got
    for frame, _ in traceback.walk_tb(exc.__traceback__):
        if frame.f_code.co_filename == SRC:  # entries run in the module's namespace
            assert frame.f_globals is vars(talvesh)


class Failure(Exception):
    pass


def fail(*args, error=Failure):
    raise error(MESSAGE)


def stop(*args):
    fail(error=StopIteration)


def stub(**members):
    """One object of a throwaway class with the given members (unhashable if it has __eq__)."""
    return type("Stub", (), {"__hash__": None, **members})()


def query_path(failing, action=fail):
    """A path stand-in whose resolve, name, text or resolved parents run `action`."""
    step = lambda name, value: (lambda *a: action()) if name == failing else (lambda *a: value)
    resolved = stub(__eq__=lambda s, o: False, parents=property(step("parents", ())))
    return stub(resolve=step("resolve", resolved), name=property(step("name", "b.txt")),
                __format__=step("format", "/a/b.txt"))


failing_eq = lambda *args: stub(__eq__=fail, resolve=lambda self: self)
failing_truth = lambda: stub(name=property(lambda s: s), __eq__=lambda s, o: stub(__bool__=fail))
broken_iterable = lambda: stub(__iter__=lambda s: s, __next__=fail)


def construct(patches=None, cls=LoaderIgnore, **kwargs):
    return patches or {}, lambda: (cls, (), kwargs)


def failing_store(n):
    class FailingStore(LoaderIgnore):
        stores = 0

        def __setattr__(self, name, value):
            type(self).stores += 1
            if self.stores == n:
                fail()
            super().__setattr__(name, value)

    return FailingStore


def failing_read(slot):
    class FailingRead(LoaderIgnore):
        def __getattribute__(self, attr):
            if attr == "_LoaderIgnore__" + slot:
                fail()
            return super().__getattribute__(attr)

    return FailingRead


def query(path=QUERY, name="N", cls=LoaderIgnore, patches=None, **slots):
    def call():
        x = cls()
        for key, value in slots.items():
            setattr(x, "_LoaderIgnore__" + key, value)
        return x.is_ignored, (path, name), {}

    return patches or {}, call


NO_PATH = {"Path": DELETE}
READS = [("files", 157), ("file_masks", 161), ("paths", 165), ("path_masks", 169),
         ("env_names", 176), ("env_name_masks", 179)]
WALKS = [(slot, line - 1) for slot, line in READS if slot != "env_names"]

CASES = [
    # construction: converting plural elements and singular values
    (construct(files=[None]), TypeError, init(49)),
    (construct({"Path": fail}, files=["a"]), Failure, init(49)),
    (construct(NO_PATH, files=["a"]), NameError, init(49)),
    (construct(file=3), TypeError, init(52)),
    (construct(NO_PATH, file="a"), NameError, init(52)),
    (construct(paths=[3]), TypeError, init(67)),
    (construct({"Path": lambda v: v}, paths=[query_path("resolve")]), Failure, init(67)),
    (construct(NO_PATH, paths=["a"]), NameError, init(67)),
    (construct(path=3), TypeError, init(70)),
    (construct({"Path": lambda v: v}, path=query_path("resolve")), Failure, init(70)),
    (construct(NO_PATH, path=""), NameError, init(70)),
    # construction: containment tests of the singular values
    (construct({"Path": failing_eq}, files=["a"], file="b"), Failure, init(53)),
    (construct({"Path": failing_eq}, paths=["a"], path="b"), Failure, init(71)),
    (construct(file_masks=[failing_eq()], file_mask="x"), Failure, init(60)),
    (construct(path_masks=["y", failing_eq()], path_mask="x"), Failure, init(78)),
    (construct(env_names=[failing_eq()], env_name="x"), Failure, init(85)),
    (construct(env_name_masks=[failing_eq()], env_name_mask="x"), Failure, init(92)),
    # construction: the six stores, one line each
    *[(construct(cls=failing_store(n)), Failure, init(95 + n)) for n in range(1, 7)],
    # decision: the values derived from the path
    (query(path="a.txt"), AttributeError, decide(151)),
    (query(path=query_path("resolve")), Failure, decide(151)),
    (query(path=query_path("name")), Failure, decide(152)),
    (query(path=query_path("format")), Failure, decide(153)),
    # decision: reading a list, or starting to walk it
    *[(query(cls=failing_read(slot)), Failure, decide(line)) for slot, line in READS],
    *[(query(**{slot: 5}), TypeError, decide(line)) for slot, line in READS],
    # decision: inside a test (including the truth test of its value)
    (query(files=["str has no name"]), AttributeError, decide(156, 156)),
    (query(files=[failing_truth()]), Failure, decide(156, 156)),
    (query(file_masks=[3]), TypeError, decide(160, 160)),
    (query(patches={"fnmatch": DELETE}, file_masks=["*"]), NameError, decide(160, 160)),
    (query(paths=[failing_eq()]), Failure, decide(164, 164)),
    (query(paths=[failing_truth()]), Failure, decide(164, 164)),
    (query(path=query_path("parents"), paths=[QUERY]), Failure, decide(164, 164)),
    (query(path_masks=[3]), TypeError, decide(168, 168)),
    (query(env_names=[failing_eq()]), Failure, decide(176)),
    (query(env_name_masks=[3]), TypeError, decide(178, 178)),
    # decision: walking past an entry
    *[(query(**{slot: broken_iterable()}), Failure, decide(line, line + 1)) for slot, line in WALKS],
]


@pytest.mark.parametrize("setup, error, expected", CASES)
def test_entries(monkeypatch, setup, error, expected):
    patches, make_call = setup
    for attr, value in patches.items():
        if value is DELETE:
            monkeypatch.delattr(talvesh, attr)
        else:
            monkeypatch.setattr(talvesh, attr, value)
    func, args, kwargs = make_call()
    with pytest.raises(error) as info:
        func(*args, **kwargs)
    if error is Failure:  # the exception our code raised, passed through as it is
        assert info.value.args == (MESSAGE,)
    assert_entries(info.value, expected)


@pytest.mark.parametrize("slot, entry, line", [
    ("files", stub(name=property(stop)), 156),
    ("file_masks", "*", 160),
    ("paths", stub(__eq__=stop), 164),
    ("path_masks", "*", 168),
    ("env_name_masks", "*", 178),
])
def test_stop_iteration_inside_a_test_becomes_runtime_error(monkeypatch, slot, entry, line):
    monkeypatch.setattr(talvesh, "fnmatch", stub(fnmatch=staticmethod(stop)))
    x = LoaderIgnore()
    getattr(x, slot).append(entry)
    with pytest.raises(RuntimeError, match=r"^generator raised StopIteration$") as info:
        x.is_ignored(QUERY, "N")
    cause = info.value.__cause__
    assert type(cause) is StopIteration and cause.args == (MESSAGE,)
    assert_entries(info.value, decide(line, line))
    # the StopIteration keeps the entry of the walk it left, as a generator's would
    first = traceback.extract_tb(cause.__traceback__)[0]
    assert (first.filename, first.name, first.lineno) == (SRC, "genexpr", line)


@pytest.mark.parametrize("path, env_names, line", [
    (query_path("resolve", stop), [], 151),
    (query_path("name", stop), [], 152),
    (query_path("format", stop), [], 153),
    (None, [stub(__eq__=stop)], 176),
])
def test_stop_iteration_outside_tests_propagates(path, env_names, line):
    with pytest.raises(StopIteration) as info:
        LoaderIgnore(env_names=env_names).is_ignored(path, "N")
    assert info.value.args == (MESSAGE,)
    assert_entries(info.value, decide(line))
