import builtins
import dataclasses
import operator
import pickle

import pytest
from hypothesis import given
from hypothesis import strategies as st

import brindova.extensions as ext
from brindova.extensions import Extensions, _Extensions

FIELDS = ("py", "yaml", "json", "env")


def test_module_namespace():
    assert {k for k in vars(ext) if not k.startswith("__")} == {"dataclass", "_Extensions", "Extensions"}
    assert ext.__builtins__ is builtins
    assert ext.dataclass is dataclasses.dataclass
    assert type(ext.__test__) is dict and ext.__test__ == {}
    assert ext.__doc__ is None


def test_class_shape():
    assert (_Extensions.__name__, _Extensions.__qualname__) == ("_Extensions", "_Extensions")
    assert _Extensions.__module__ == "brindova.extensions"
    assert _Extensions.__bases__ == (object,) and type(_Extensions) is type
    assert "__slots__" not in vars(_Extensions)
    # Annotations are the strings "str", in field order, not the type itself.
    annotations = _Extensions.__annotations__
    assert list(annotations.items()) == [(f, "str") for f in FIELDS]
    assert [(f.name, f.type, f.default) for f in dataclasses.fields(_Extensions)] == [
        (f, "str", f) for f in FIELDS
    ]
    assert [getattr(_Extensions, f) for f in FIELDS] == list(FIELDS)
    assert _Extensions.__match_args__ == FIELDS


def test_default_record():
    assert type(Extensions) is _Extensions
    assert vars(Extensions) == {f: f for f in FIELDS}
    assert repr(Extensions) == "_Extensions(py='py', yaml='yaml', json='json', env='env')"
    assert Extensions == _Extensions() and Extensions is not _Extensions()
    assert hash(Extensions) == hash(FIELDS)
    assert dataclasses.asdict(Extensions) == {f: f for f in FIELDS}


@pytest.mark.parametrize(
    "mutate",
    [
        # each kind of write a frozen record must refuse
        lambda r: setattr(r, "py", "x"),
        lambda r: setattr(r, "toml", "toml"),
        lambda r: delattr(r, "env"),
    ],
    ids=["assign-field", "assign-new-name", "delete-field"],
)
def test_frozen(mutate):
    record = _Extensions()
    with pytest.raises(dataclasses.FrozenInstanceError):
        mutate(record)
    assert vars(record) == vars(Extensions)


class _Sub(_Extensions):
    pass


_Lookalike = dataclasses.make_dataclass("_Extensions", [(f, str, f) for f in FIELDS], frozen=True)


@pytest.mark.parametrize(
    "other",
    [
        # same field values but not an exact _Extensions
        FIELDS,
        {f: f for f in FIELDS},
        _Sub(),
        _Lookalike(),
        # an _Extensions with one field changed
        _Extensions("x"),
        _Extensions(env="ENV"),
    ],
    ids=repr,
)
def test_unequal(other):
    assert Extensions != other and not Extensions == other


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
def test_no_ordering(compare):
    with pytest.raises(TypeError):
        compare(Extensions, _Extensions())


@pytest.mark.parametrize(
    "args, kwargs, expected",
    [
        # positional arguments follow the field order
        (("x",), {}, ("x", "yaml", "json", "env")),
        (("a", "b", "c", "d"), {}, ("a", "b", "c", "d")),
        # keywords, and values that are not strings are stored unchecked
        ((), {"py": 1}, (1, "yaml", "json", "env")),
        ((), {"env": None, "yaml": b"y"}, ("py", b"y", "json", None)),
    ],
)
def test_construction(args, kwargs, expected):
    assert tuple(getattr(_Extensions(*args, **kwargs), f) for f in FIELDS) == expected


@pytest.mark.parametrize(
    "make",
    [
        # too many positionals, unknown or duplicated names
        lambda: _Extensions("a", "b", "c", "d", "e"),
        lambda: _Extensions(toml="toml"),
        lambda: _Extensions("a", py="b"),
        lambda: dataclasses.replace(Extensions, toml="toml"),
    ],
    ids=["five-positional", "unknown-keyword", "duplicate", "replace-unknown"],
)
def test_bad_arguments(make):
    with pytest.raises(TypeError):
        make()


def test_replace_makes_a_new_record():
    changed = dataclasses.replace(Extensions, json="jsonc")
    assert changed == _Extensions(json="jsonc") and type(changed) is _Extensions
    assert Extensions.json == "json"


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trip(protocol):
    record = _Extensions("p", env="e")
    back = pickle.loads(pickle.dumps(record, protocol))
    assert type(back) is _Extensions and back == record


def test_positional_pattern():
    match _Extensions("a", "b", "c", "d"):
        case _Extensions(py, yaml, json, env):
            assert (py, yaml, json, env) == ("a", "b", "c", "d")
        case _:
            pytest.fail("pattern did not match")


values = st.one_of(st.text(), st.integers(), st.none())


@given(st.tuples(values, values, values, values), st.tuples(values, values, values, values))
def test_value_semantics(a, b):
    ra, rb = _Extensions(*a), _Extensions(*b)
    assert (ra == rb) == (a == b)
    assert hash(ra) == hash(a)
    assert repr(ra) == "_Extensions({})".format(", ".join(f"{f}={v!r}" for f, v in zip(FIELDS, a)))
    assert dataclasses.astuple(ra) == a
