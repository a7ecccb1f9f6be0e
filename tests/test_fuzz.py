"""Hostile calls: arguments of any type and count, keywords of any name (not
even strings), to the class, to its eight functions bound and unbound, and to
the property getters. Every call must return or raise an Exception, leave the
interpreter sound, and fail its binding exactly as the binding rules in
tests/twin.py say, message and note included."""

import gc
import itertools
import traceback
from pathlib import Path

from hypothesis import assume, event, given, settings
from hypothesis import strategies as st

import twin
from brindova.talvesh import LoaderIgnore
from support import GETTERS, Boom, EqBoom, EqBoomStr, SubList, SubStr, vectorcall

FIRST_LINES = {"__init__": 26, "is_ignored": 135, "files": 105, "file_masks": 110, "paths": 115,
               "path_masks": 120, "env_names": 125, "env_name_masks": 130}


PARAM_NAMES = sorted({"self", *twin.INIT_PARAMS, *twin.IS_IGNORED.params})
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False), st.text(max_size=6),
    st.binary(max_size=3), st.text(max_size=3).map(SubStr), st.sampled_from(PARAM_NAMES),
    st.builds(object), st.builds(EqBoom), st.sampled_from(["a", "/", "", ".", "..", "*"]).map(Path),
)
# None often, so that bindings get through to the bodies.
values = st.one_of(st.none(), st.none(), scalars, st.lists(scalars, max_size=3),
                   st.lists(scalars, max_size=3).map(SubList), st.tuples(scalars))


def now_and_then(rare, usual):
    """`rare` one draw in ten, else `usual`."""
    return st.integers(0, 9).flatmap(lambda i: rare if i == 0 else usual)


def keyword_names(sig):
    """Mostly names of the function's own parameters, so that keywords
    bind, collide with positional ones or go unexpected alike."""
    own = st.sampled_from(("self",) + sig.params)
    return now_and_then(
        st.one_of(st.integers(), st.none(), st.tuples(st.integers()), own.map(EqBoomStr)),
        st.one_of(own, own, own.map(SubStr), st.sampled_from(PARAM_NAMES), st.text(max_size=4)),
    )


@st.composite
def calls(draw, sig, implicit_self):
    """Positional arguments and keyword pairs: mostly around the counts the
    function accepts, now and then very many."""
    size = draw(now_and_then(st.sampled_from(["many-positional", "many-keywords"]), st.just("few")))
    if size == "many-positional":
        args = [draw(values)] * draw(st.integers(14, 3000))
    else:
        most = len(sig.params) + (implicit_self is None)
        args = draw(st.lists(values, max_size=draw(st.integers(0, most + 1))))
    keywords = draw(st.lists(st.tuples(keyword_names(sig), values), max_size=3))
    if size == "many-keywords":
        keywords += [(f"k{i}", None) for i in range(draw(st.integers(10, 1000)))]
    return args, keywords


def targets(rules, getter):
    """label: (callable, signature, implicit self or None), every way in."""
    fget = getattr(LoaderIgnore, getter).fget
    sig = twin.GETTER_SIGNATURES[getter]
    return {"class": (LoaderIgnore, twin.INIT, "new instance"),
            "init-unbound": (LoaderIgnore.__init__, twin.INIT, None),
            "init-bound": (rules.__init__, twin.INIT, rules),
            "ignored-unbound": (LoaderIgnore.is_ignored, twin.IS_IGNORED, None),
            "ignored-bound": (rules.is_ignored, twin.IS_IGNORED, rules),
            "getter-unbound": (fget, sig, None),
            "getter-bound": (fget.__get__(rules), sig, rules)}


TARGETS = list(targets(LoaderIgnore(), "files"))


def expected_binding(sig, implicit_self, args, keywords, dict_call):
    prefix = [] if implicit_self is None else [implicit_self]
    try:
        twin.bind(sig, prefix + list(args), keywords, dict_call)
    except (TypeError, Boom) as exc:
        return exc
    return None


def binding_kind(exc):
    text = str(exc)
    kinds = ("takes", "multiple values", "unexpected", "keywords must", "Argument")
    return next((k for k in kinds if k in text), type(exc).__name__)


def our_entries(exc, sig):
    """Lines of the traceback entries of the function `sig` names."""
    return [line for frame, line in traceback.walk_tb(exc.__traceback__)
            if frame.f_code.co_name.endswith("LoaderIgnore." + sig.name)]


_calls = itertools.count()


def sound():
    # A full collection walks every object, so damage done by a call shows
    # up there; it costs too much to run after each example.
    if next(_calls) % 20 == 0:
        gc.collect()
    rules = LoaderIgnore(files=["a"], env_name_masks=["X*"])
    assert rules.is_ignored(Path("b/a")) is True and rules.is_ignored(name="Y") is False


@settings(max_examples=400, deadline=None)
@given(label=st.sampled_from(TARGETS), getter=st.sampled_from(GETTERS),
       transport=st.sampled_from(["syntax", "vector"]), data=st.data())
def test_hostile_calls(label, getter, transport, data):
    rules = LoaderIgnore()
    function, sig, implicit_self = targets(rules, getter)[label]
    args, keywords = data.draw(calls(sig, implicit_self))
    if transport == "syntax" or label == "class":
        try:
            as_dict = dict(keywords)
        except (TypeError, Boom):  # a name a dict cannot carry
            assume(False)
        keywords = list(as_dict.items())
        expected = expected_binding(sig, implicit_self, args, keywords, dict_call=True)
        invoke = lambda: function(*args, **as_dict)
    else:
        expected = expected_binding(sig, implicit_self, args, keywords, dict_call=False)
        invoke = lambda: vectorcall(function, args, keywords)
    try:
        invoke()
        got = None
    except BaseException as exc:  # noqa: BLE001  anything but an Exception fails below
        got = exc
    assert got is None or isinstance(got, Exception), repr(got)
    event(f"{label}: {binding_kind(expected)}" if expected else f"{label}: body, {type(got).__name__}")
    if expected is not None:
        assert type(got) is type(expected), (got, expected)
        assert str(got) == str(expected)
        assert len(getattr(got, "__notes__", ())) == len(getattr(expected, "__notes__", ()))
        if str(expected) != "keywords must be strings":
            assert our_entries(got, sig)[-1:] == [FIRST_LINES[sig.name]]
    elif got is not None:
        # The body failed, after a binding that passed: no entry at the binding's line.
        assert FIRST_LINES[sig.name] not in our_entries(got, sig), got
    sound()


@settings(max_examples=100, deadline=None)
@given(name=st.sampled_from(list(GETTERS)), obj=st.one_of(values, st.builds(LoaderIgnore)))
def test_property_getters_on_anything(name, obj):
    prop = getattr(LoaderIgnore, name)
    if obj is None:
        return  # read through the class: the property itself
    try:
        got = prop.__get__(obj, type(obj))
    except AttributeError as exc:
        assert our_entries(exc, twin.GETTER_SIGNATURES[name]) == [FIRST_LINES[name] + 2]
    else:
        assert type(obj) is LoaderIgnore and got == []
    sound()
