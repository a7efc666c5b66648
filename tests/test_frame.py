"""Binding and conversion rules shared by every function of the module."""

import sys

import pytest

import quor_core
from test_module import PRESENT, SIGNATURES


def quoted(names):
    items = [f"'{n}'" for n in names]
    if len(items) <= 2:
        return " and ".join(items)
    return ", ".join(items[:-1]) + ", and " + items[-1]


BINDING_CASES = []
for name in PRESENT:
    params = SIGNATURES[name]
    n = len(params)
    dummy = [object()] * (n + 1)
    BINDING_CASES.append((name, dummy, {},
                          f"{name}() takes {n} positional arguments but {n + 1} were given"))
    BINDING_CASES.append((name, [], {},
                          f"{name}() missing {n} required positional argument"
                          f"{'s' if n > 1 else ''}: {quoted(params)}"))
    BINDING_CASES.append((name, dummy[:1], {params[0]: 1},
                          f"{name}() got multiple values for argument '{params[0]}'"))
    BINDING_CASES.append((name, [], {"extra": 1, params[0]: 1},
                          f"{name}() got an unexpected keyword argument 'extra'"))
    BINDING_CASES.append((name, [], {"\udcff": 1},
                          f"{name}() got an unexpected keyword argument '\udcff'"))
    if n > 1:
        BINDING_CASES.append((name, dummy[:1], {},
                              f"{name}() missing {n - 1} required positional argument"
                              f"{'s' if n > 2 else ''}: {quoted(params[1:])}"))


@pytest.mark.parametrize("name, args, kwargs, message", BINDING_CASES)
def test_binding_errors(name, args, kwargs, message):
    with pytest.raises(TypeError) as info:
        getattr(quor_core, name)(*args, **kwargs)
    assert str(info.value) == message
    assert info.value.__cause__ is None


plan = quor_core.plan_supersteps


class Seq:
    """A sequence with a configurable __len__ and a configurable failure."""

    def __init__(self, items, length=None, fail_at=None, error=None):
        self.items, self.length, self.fail_at, self.error = items, length, fail_at, error

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        if i == self.fail_at:
            raise self.error
        return self.items[i]


@pytest.mark.parametrize("length", [RuntimeError("len failed"), sys.maxsize, 0, 10**6])
def test_reported_length_is_only_a_hint(length):
    assert plan(Seq(["b", "a"], length=length), []) == [["a", "b"]]


@pytest.mark.parametrize(
    "nodes, edges, exc, message",
    [
        ("ab", [], TypeError, "argument 'nodes': Can't extract `str` to `Vec`"),
        (["a"], "ab", TypeError, "argument 'edges': Can't extract `str` to `Vec`"),
        ({"a"}, [], TypeError, "argument 'nodes': 'set' object cannot be converted to 'Sequence'"),
        ((x for x in "a"), [], TypeError,
         "argument 'nodes': 'generator' object cannot be converted to 'Sequence'"),
        ({"a": 1}, [], TypeError,
         "argument 'nodes': 'dict' object cannot be converted to 'Sequence'"),
        (b"a", [], TypeError, "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
        ([1], [], TypeError, "argument 'nodes': 'int' object cannot be converted to 'PyString'"),
        (["a"], [["a", "b"]], TypeError,
         "argument 'edges': 'list' object cannot be converted to 'PyTuple'"),
        (["a"], [("a", 1)], TypeError,
         "argument 'edges': 'int' object cannot be converted to 'PyString'"),
        (["a"], [("a", "b", "c")], ValueError, "expected tuple of length 2, but got tuple of length 3"),
        (["a"], [()], ValueError, "expected tuple of length 2, but got tuple of length 0"),
        # Only the first bad argument is reported.
        (5, "x", TypeError, "argument 'nodes': 'int' object cannot be converted to 'Sequence'"),
        (Seq(["a", "b"], fail_at=1, error=ValueError("boom")), [], ValueError, "boom"),
        (Seq(["a", "b"], fail_at=1, error=TypeError("bad item")), [], TypeError,
         "argument 'nodes': bad item"),
        (Seq(["a"], fail_at=0, error=OverflowError("big")), [], OverflowError, "big"),
    ],
)
def test_conversion_errors(nodes, edges, exc, message):
    with pytest.raises(exc) as info:
        plan(nodes, edges)
    assert type(info.value) is exc
    assert str(info.value) == message


def test_lone_surrogate_raises_the_interpreters_encoding_error_unwrapped():
    with pytest.raises(UnicodeEncodeError):
        plan(["\ud800"], [])
    with pytest.raises(UnicodeEncodeError):
        plan(["a"], [("a", "\udfff")])


def test_wrapped_type_error_keeps_the_cause():
    cause = KeyError("root")
    error = TypeError("inner")
    error.__cause__ = cause
    with pytest.raises(TypeError) as info:
        plan(Seq(["a"], fail_at=0, error=error), [])
    assert str(info.value) == "argument 'nodes': inner"
    assert info.value.__cause__ is cause


def test_type_error_subclass_is_not_wrapped():
    class MyTypeError(TypeError):
        pass

    with pytest.raises(MyTypeError, match="^mine$"):
        plan(Seq(["a"], fail_at=0, error=MyTypeError("mine")), [])


def test_type_name_is_the_qualified_name():
    class Outer:
        class Inner:
            pass

    with pytest.raises(TypeError, match=r"'test_type_name_is_the_qualified_name\.<locals>\.Outer\.Inner' object"):
        plan([Outer.Inner()], [])


def test_failed_call_leaves_the_module_usable():
    with pytest.raises(TypeError):
        plan(["a"], [["a", "b"]])
    assert plan(["a", "b"], [("a", "b")]) == [["a"], ["b"]]
