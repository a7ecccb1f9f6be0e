"""The remembered `fnmatch` and the direct slot route never serve a stale answer.

Each test changes what a cache depends on in one way and checks that the
next use gives what ordinary Python lookup gives.
"""
import fnmatch
import gc
import types
import weakref
from pathlib import Path

import pytest

import brindova.talvesh as talvesh
from brindova.talvesh import LoaderIgnore

FNMATCH_HASH = hash("fnmatch")


def test_rebinding_during_the_lookup_itself_is_seen(monkeypatch):
    # A key of the fnmatch module's namespace that collides with "fnmatch"
    # and sits before it in the probe order: its __eq__ runs in the middle
    # of the lookup and rebinds the module global.
    seen = []
    other = types.ModuleType("other")
    other.fnmatch = lambda text, pattern: seen.append(pattern)

    class Collider:
        armed = False

        def __hash__(self):
            return FNMATCH_HASH

        def __eq__(self, other_key):
            if self.armed and talvesh.fnmatch is fnmatch:
                talvesh.fnmatch = other
            return False

    rules = LoaderIgnore(env_name_masks=["a*", "b*", "c*"])
    assert rules.is_ignored(name="zz") is False  # remembered: the real function
    ns, real = vars(fnmatch), fnmatch.fnmatch
    collider = Collider()
    monkeypatch.setattr(talvesh, "fnmatch", fnmatch)
    try:
        del ns["fnmatch"]
        ns[collider] = None
        ns["fnmatch"] = real
        collider.armed = True
        assert rules.is_ignored(name="zz") is False
    finally:
        ns.pop(collider, None)
        ns["fnmatch"] = real
    # The first test used the function that its own lookup found; every later
    # one uses the module bound meanwhile.
    assert seen == ["b*", "c*"]


def test_a_replaced_fnmatch_is_not_kept_alive(monkeypatch):
    # Rebinding the global drops the last reference to the old holder, as it
    # does in Python: the remembered entry holds none, and it is never read
    # again once the global changed.
    class Payload:
        pass

    payload = Payload()
    gone = weakref.ref(payload)
    holder = types.ModuleType("holder")
    holder.fnmatch = lambda text, pattern, _keep=payload: fnmatch.fnmatch(text, pattern)
    monkeypatch.setattr(talvesh, "fnmatch", holder)
    del payload, holder
    rules = LoaderIgnore(env_name_masks=["a*"])
    assert rules.is_ignored(name="ab") is True
    talvesh.fnmatch = fnmatch
    gc.collect()
    assert gone() is None
    assert rules.is_ignored(name="ab") is True and rules.is_ignored(name="b") is False


@pytest.mark.parametrize("namespace", ["module", "fnmatch"])
def test_key_whose_equality_changes_without_a_dict_change(namespace):
    # A colliding key probed before "fnmatch" whose __eq__ answers from outside
    # state: Python's lookup finds its value as soon as the answer flips,
    # though neither dict changed.
    flip = []

    class Key:
        def __hash__(self):
            return FNMATCH_HASH

        def __eq__(self, other_key):
            return bool(flip)

    def always(text, pattern):
        return True

    other = types.ModuleType("other")
    other.fnmatch = always
    ns, value = (vars(talvesh), other) if namespace == "module" else (vars(fnmatch), always)
    real, key = ns["fnmatch"], Key()
    try:
        del ns["fnmatch"]
        ns[key] = value
        ns["fnmatch"] = real
        rules = LoaderIgnore(env_name_masks=["A*"])
        assert rules.is_ignored(name="zz") is False
        flip.append(True)
        assert rules.is_ignored(name="zz") is True
    finally:
        ns.pop(key, None)
        ns["fnmatch"] = real


def _property_in_place_of_the_slot(cls):
    setattr(cls, "_LoaderIgnore__files",
            property(lambda self: ["from the property"], lambda self, value: None))


def _getattribute_on_the_class(cls):
    def __getattribute__(self, attr):
        if attr == "_LoaderIgnore__files":
            return ["from __getattribute__"]
        return object.__getattribute__(self, attr)

    cls.__getattribute__ = __getattribute__


def _setattr_on_the_class(cls):
    def __setattr__(self, attr, value):
        object.__setattr__(self, attr, ["from __setattr__"] if attr == "_LoaderIgnore__files" else value)

    cls.__setattr__ = __setattr__


# LoaderIgnore itself changes after its slots were used directly: reads and
# stores must go through the attribute protocol again, and take the direct
# route once the class is as it was.
class _Other:
    __slots__ = ("_LoaderIgnore__files",)


@pytest.mark.parametrize("change, expected", [
    (_property_in_place_of_the_slot, ["from the property"]),
    (_getattribute_on_the_class, ["from __getattribute__"]),
    (_setattr_on_the_class, ["from __setattr__"]),
    # the descriptor gone, or another class's in its place: Python's errors
    (lambda cls: delattr(cls, "_LoaderIgnore__files"), AttributeError),
    (lambda cls: setattr(cls, "_LoaderIgnore__files", vars(_Other)["_LoaderIgnore__files"]), TypeError),
])
def test_slot_route_follows_changes_of_the_class(change, expected):
    x = LoaderIgnore(env_names=["E"])
    assert x.files == [] and x.is_ignored(name="E") is True
    saved = dict(vars(LoaderIgnore))
    try:
        change(LoaderIgnore)
        if isinstance(expected, type):
            for use in (x.__init__, lambda: x.files, lambda: x.is_ignored(Path("f"))):
                with pytest.raises(expected):
                    use()
            return
        x.__init__()
        assert x.files == expected
        assert LoaderIgnore.files.fget(x) == expected
    finally:
        for attr in set(vars(LoaderIgnore)) - set(saved):
            delattr(LoaderIgnore, attr)
        LoaderIgnore._LoaderIgnore__files = saved["_LoaderIgnore__files"]
    x.__init__(file="f")
    assert [p.name for p in x.files] == ["f"]


def test_old_value_released_after_the_new_one_is_stored():
    # Releasing the old value runs its __del__, which reads the slot: it must
    # find the new list, never the dying object.
    x = LoaderIgnore()
    read = []

    class Old:
        def __del__(self):
            read.append(x.files)

    x._LoaderIgnore__files = Old()
    x.__init__(file="f")
    assert [type(value) for value in read] == [list]
    assert read[0] is x.files
