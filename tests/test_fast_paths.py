"""Per-call shortcuts (`in`, `len`, contains, set, unset, nth, self_or_next, the properties cardinality, empty,
first and last) behave exactly like the bound methods for every argument shape: plain ints, other integer types,
keywords, subclasses, errors."""
import gc
import sys
import types
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap
from conftest import BUCKET, MAX, bitmap_of

MEMBERS = [3, BUCKET + 1, MAX]


class Derived(Bitmap):
    pass


def make(kind):
    b = Derived() if kind == "subclass" else Bitmap()
    for m in MEMBERS:
        b.set(m)
    return b


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


ARGUMENT_SHAPES = [
    ("int", lambda p: p), ("numpy uint64", np.uint64), ("int subclass", type("IntSubclass", (int,), {})),
    ("__index__", Index),
]


@pytest.mark.parametrize("kind", ["exact", "subclass"])
@pytest.mark.parametrize("shape, convert", ARGUMENT_SHAPES, ids=[s[0] for s in ARGUMENT_SHAPES])
@pytest.mark.parametrize("position", [0, 3, 2**30 + 3, BUCKET, BUCKET + 1, 2**60 - 1, 2**60 + 3, MAX - 1, MAX])
def test_queries_agree_with_the_members(kind, shape, convert, position):
    b = make(kind)
    value = convert(position)
    assert b.contains(value) == (position in MEMBERS) == (value in b) == b.contains(position=value)
    following = [m for m in MEMBERS if m >= position]
    assert b.self_or_next(value) == (following[0] if following else None)
    if following:
        assert b.nth(convert(MEMBERS.index(following[0]))) == following[0]


@pytest.mark.parametrize("kind", ["exact", "subclass"])
@pytest.mark.parametrize("bad", [-1, 2**64, 1.5, "3", None, np.float32(3.0), Fraction(3), Decimal(3), Index(-1)])
def test_bad_arguments_raise_type_error(kind, bad):
    b = make(kind)
    for call in (b.contains, b.set, b.unset, b.nth, b.self_or_next, b.__contains__):
        with pytest.raises(TypeError):
            call(bad)
    with pytest.raises(TypeError):
        bad in b
    assert list(b) == MEMBERS


@pytest.mark.parametrize("flags", [(), (False,), (True, False), (False, True, False), (True, False, False),
                                   (np.bool_(False),), (0, 1), (None,)], ids=repr)
def test_persisted_size_takes_every_flag_shape(flags):
    """The exact Bitmap's shortcut gives the subclass's (registered) answer for each shape of flags;
    with the size cached, a change since must still show."""
    exact, derived = make("exact"), make("subclass")
    assert exact.persisted_size(*flags) == derived.persisted_size(*flags)
    exact.set(BUCKET + 2)
    derived.set(BUCKET + 2)
    size = exact.persisted_size(*flags)
    assert size == derived.persisted_size(*flags) == exact.write(bytearray(size), *flags[:1])
    with pytest.raises(TypeError):
        exact.persisted_size(*flags, *[True] * (4 - len(flags)))


@pytest.mark.parametrize("kind", ["exact", "subclass"])
def test_bool_is_the_int_it_stands_for(kind):
    b = make(kind)
    assert (True in b, b.contains(False), b.nth(False)) == (1 in MEMBERS, 0 in MEMBERS, MEMBERS[0])


@pytest.mark.parametrize("kind", ["exact", "subclass"])
def test_set_adds_unset_removes_and_nth_fails_past_the_end(kind):
    b = make(kind)
    b.set(7)
    b.set(position=8)
    b.unset(3)
    b.unset(position=9)
    assert list(b) == sorted(MEMBERS[1:] + [7, 8])
    assert (b.cardinality, b.empty, b.first, b.last) == (len(MEMBERS) + 1, False, 7, MAX)  # after the changes
    with pytest.raises(RuntimeError, match=r"^The ordinal value \[ 4\] is greater than the total cardinality$"):
        b.nth(4)
    with pytest.raises(TypeError):
        b.contains(1, 2)


@pytest.mark.parametrize("kind", ["exact", "subclass"])
def test_methods_called_through_the_class_and_with_every_shape(kind):
    b = make(kind)
    model = set(MEMBERS)
    Bitmap.set(b, 10, 13)  # the range form goes to the registered overloads
    Bitmap.set(b, position=20, endEx=None)
    model |= {10, 11, 12, 20}
    assert list(b) == sorted(model)
    assert Bitmap.contains(b, 11) and not Bitmap.contains(b, position=13)
    assert Bitmap.nth(b, 1) == sorted(model)[1]
    assert Bitmap.self_or_next(b, 13) == 20
    for name in FAST_METHODS:
        method = getattr(Bitmap, name)
        assert method.__name__ == name and method.__doc__.startswith(name + "(self: _quorvel_rec_extension.Bitmap")
        with pytest.raises(TypeError):
            method(5, 1)  # not a Bitmap
        with pytest.raises(TypeError):
            method(b, 1, unknown=2)
    assert list(b) == sorted(model)


FAST_METHODS = ["contains", "set", "unset", "nth", "self_or_next", "persisted_size"]


@pytest.mark.parametrize("name", FAST_METHODS)
def test_fast_methods_are_in_place(name):
    # A method descriptor of the class, not pybind11's instancemethod: the import installed it.
    method = vars(Bitmap)[name]
    assert type(method) is types.MethodDescriptorType and method.__objclass__ is Bitmap


@pytest.mark.parametrize("name", ["cardinality", "empty", "first", "last"])
def test_fast_property_getters_are_in_place(name):
    # A builtin getter, not pybind11's function; the row stays a read-only property.
    getter = vars(Bitmap)[name].fget
    assert type(getter) is types.BuiltinFunctionType and getter.__name__ == name


def test_fast_membership_slot_is_in_place():
    """`int in Bitmap` never reaches the __contains__ row; other arguments go through it."""
    class_dict = gc.get_referents(vars(Bitmap))[0]  # the dict behind the read-only proxy
    registered, calls = class_dict["__contains__"], []

    def spy(self, position):
        calls.append(position)
        return registered(self, position)

    class_dict["__contains__"] = spy  # no slot update: only the slot's fallback looks it up
    sys._clear_type_cache()
    try:
        b = make("exact")
        assert (3 in b, 4 in b, np.uint64(3) in b) == (True, False, True)
        assert [type(c) for c in calls] == [np.uint64]
        assert 3 in make("subclass") and len(calls) == 2
    finally:
        class_dict["__contains__"] = registered
        sys._clear_type_cache()


def test_fast_length_slot_is_in_place():
    """len() of an exact Bitmap never reaches the __len__ row (its count is cached); a subclass's does."""
    class_dict = gc.get_referents(vars(Bitmap))[0]
    registered, calls = class_dict["__len__"], []

    def spy(self):
        calls.append(self)
        return registered(self)

    class_dict["__len__"] = spy
    sys._clear_type_cache()
    try:
        exact = make("exact")
        assert len(exact) == len(MEMBERS) and calls == []
        exact.set(7)
        assert len(exact) == len(MEMBERS) + 1 and calls == []  # the cached count follows the change
        assert len(make("subclass")) == len(MEMBERS) and len(calls) == 1
    finally:
        class_dict["__len__"] = registered
        sys._clear_type_cache()
