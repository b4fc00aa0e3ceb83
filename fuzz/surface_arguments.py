"""The arguments a caller can pass, in every kind: boundary, negative and huge ints, bools, NumPy
scalars, floats, Fraction, Decimal, None, text, other Bitmaps (the called one included), objects
never initialised, subclasses with decoy overrides, and integers whose __index__ changes the
Bitmap during the call. Each comes with what the call must do with it (Argument)."""
import copyreg
import pickle
from decimal import Decimal
from fractions import Fraction

import numpy as np
from _quorvel_rec_extension import Bitmap

from surface_model import MAX, SPAN

REFUSED = object()       # the value of an argument that the call must refuse
UNINITIALIZED_PICKLE = b"\x80\x02c_quorvel_rec_extension\nBitmap\nq\x00)\x81q\x01."  # NEWOBJ, no state
BOUNDARIES = [0, 1, 2, SPAN - 2, SPAN - 1, SPAN, SPAN + 1, 2 * SPAN - 1, 2 * SPAN, 2**63 - 1, 2**63,
              MAX - SPAN, MAX - SPAN + 1, MAX - 2, MAX - 1, MAX]
KEYS = [0, 1, 2, 3, 2**31, 2**32 - 2, 2**32 - 1]
LOWS = [0, 1, 2, 0xFFFF, 0x10000, SPAN - 2, SPAN - 1]


class Plain(Bitmap):
    """A subclass that changes nothing."""


class Overriding(Bitmap):
    """Decoy protocols and per-call methods: the module's own paths must never use them."""
    __hash__ = None

    def __eq__(self, other):
        return "decoy"

    def __iter__(self):
        return iter([7])

    def __len__(self):
        return 7

    def __contains__(self, position):
        return True

    def contains(self, position):
        return True

    def set(self, position, endEx=None):
        pass

    def nth(self, ordinal):
        return 7

    def self_or_next(self, position):
        return 7


class Indexed(Bitmap):
    """A Bitmap that is also an integer: its cardinality."""

    def __index__(self):
        return Bitmap.__len__(self)


class NoInit(Bitmap):
    """Never runs Bitmap.__init__."""

    def __init__(self, *args):
        pass


class Integer(int):
    """An int subclass: accepted as the int it is."""


class Index:
    """Not an int, but operator.index gives one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Meddling(Index):
    """An integer whose __index__ first changes a Bitmap; errors inside are swallowed."""

    def __init__(self, value, meddle):
        super().__init__(value)
        self.meddle = meddle

    def __index__(self):
        try:
            self.meddle()
        except Exception:
            pass
        return self.value


class Raising:
    def __index__(self):
        raise ZeroDivisionError("from __index__")


class NotAnInt:
    def __index__(self):
        return 1.5


UNINITIALIZED = [
    lambda: Bitmap.__new__(Bitmap), lambda: Plain.__new__(Plain), lambda: Overriding.__new__(Overriding),
    lambda: Indexed.__new__(Indexed), lambda: pickle.loads(UNINITIALIZED_PICKLE), lambda: copyreg.__newobj__(Bitmap),
]
CLASSES = [Bitmap, Bitmap, Plain, Overriding, Indexed, NoInit]
STATE = Bitmap(np.array([3, SPAN + 7, 2**40], dtype=np.uint64)).__getstate__()


class Argument:
    """What is passed; the value the model sees (REFUSED: the call must fail); the exceptions this
    argument may cause instead of the model's answer; the pool entry it is, if any; and whether its
    __index__ changes the Bitmap."""

    def __init__(self, obj, value, errors=(), entry=None, meddles=False, omitted=False):
        self.obj, self.value, self.errors, self.entry, self.meddles = obj, value, errors, entry, meddles
        self.omitted = omitted  # left out of the call (the last parameter): its default, if it has one


def refused(obj, *errors):
    return Argument(obj, REFUSED, (TypeError,) + errors)


class ArgumentKinds:
    """Decodes positions and arguments from the fuzzer's bytes (self.fdp), with the pool of the
    sequence (self.entries, self.scanners) to draw Bitmaps and scanners from."""

    # --- decoding ---

    def pick(self, values):
        return values[self.fdp.ConsumeIntInRange(0, len(values) - 1)]

    def some_members(self):
        known = [entry.members for entry in self.entries if entry.members]
        return sorted(self.pick(known)) if known else []

    def position(self):
        kind = self.fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            return self.pick(BOUNDARIES)
        if kind == 1 and self.some_members():
            return min(MAX, max(0, self.pick(self.some_members()) + self.fdp.ConsumeIntInRange(-2, 2)))
        if kind == 2:
            low = self.pick(LOWS) if self.fdp.ConsumeBool() else self.fdp.ConsumeIntInRange(0, SPAN - 1)
            return self.pick(KEYS) * SPAN + low
        if kind == 3:
            return self.fdp.ConsumeIntInRange(0, 64)
        return self.fdp.ConsumeIntInRange(0, MAX)

    def positions(self):
        return [self.position() for _ in range(self.fdp.ConsumeIntInRange(0, 12))]

    def end_of(self, start):
        if self.fdp.ConsumeBool():
            return min(MAX, start + self.fdp.ConsumeIntInRange(0, 300))
        return self.position()

    def entry(self):
        return self.pick(self.entries)

    # --- arguments of every kind ---

    def integer(self, value, target, optional=False):
        """`value` passed as one of the kinds a caller may use, with what the call must do with it."""
        kinds = [self.as_bool, self.numpy_scalar, self.numpy_scalar, self.negative, self.too_large,
                 self.not_integral, self.not_integral, self.text, self.none, self.none, self.index_object,
                 self.bitmap_as_integer, self.scanner_as_integer, self.meddling]
        kind = self.fdp.ConsumeIntInRange(0, 2 * len(kinds) - 1)
        if kind >= len(kinds):
            return Argument(value, value)
        return kinds[kind](value, target, optional)

    def as_bool(self, value, target, optional):
        return Argument(bool(value & 1), value & 1)

    def numpy_scalar(self, value, target, optional):
        kind = self.fdp.ConsumeIntInRange(0, 4)
        if kind == 0:
            return Argument(np.uint64(value), value)
        if kind == 1:
            signed = value - 2**63 if value >= 2**63 else value
            return Argument(np.int64(signed), signed) if signed >= 0 else refused(np.int64(signed))
        if kind == 2:
            return Argument(np.uint8(value & 0xFF), value & 0xFF)
        if kind == 3:
            return refused(np.int8(-1 - (value & 0x7F)))
        return Argument(np.bool_(value & 1), value & 1, (TypeError,))  # NumPy deprecates it as an index

    def negative(self, value, target, optional):
        return refused(self.pick([-1, -1 - value, -(2**64), -(2**63), -(2**100)]))

    def too_large(self, value, target, optional):
        return refused(self.pick([2**64, 2**64 + value, 2**65, 2**100, 2**64 * (value + 1)]))

    def not_integral(self, value, target, optional):
        return refused(self.pick([float(value), value + 0.5, float("nan"), float("inf"), -0.0, np.float32(value),
                                  np.float64(value) + 0.5, np.float32(3.7), Fraction(2 * value + 1, 2),
                                  Fraction(value), Decimal(value), Decimal(value) + Decimal("0.9"), complex(value)]))

    def text(self, value, target, optional):
        return refused(self.pick([str(value), str(value).encode(), [value], (value,), {value}, np.array([value])]))

    def none(self, value, target, optional):
        return Argument(None, None) if optional else refused(None)

    def index_object(self, value, target, optional):
        kind = self.fdp.ConsumeIntInRange(0, 3)
        if kind == 0:
            return Argument(Index(value), value)
        if kind == 1:
            return Argument(Integer(value), value)
        if kind == 2:
            return refused(NotAnInt())
        return refused(Raising(), ZeroDivisionError)

    def bitmap_as_integer(self, value, target, optional):
        entry = self.entry()
        if not isinstance(entry.obj, Indexed):
            return refused(entry.obj)
        if entry.members is None:
            return Argument(entry.obj, 0, (TypeError,))
        return Argument(entry.obj, len(entry.members))

    def scanner_as_integer(self, value, target, optional):
        return refused(self.pick(self.scanners))

    def meddling(self, value, target, optional):
        return Argument(Meddling(value, self.meddle(target.obj)), value, meddles=True)

    def meddle(self, bitmap):
        """A change of `bitmap` to make while its own call converts its arguments."""
        position, other = self.position(), self.entry().obj
        return self.pick([
            lambda: Bitmap.set(bitmap, position),
            lambda: Bitmap.set(bitmap, position, min(MAX, position + 100)),
            lambda: Bitmap.unset(bitmap, 0, MAX),
            lambda: Bitmap.flip(bitmap, position, None),
            lambda: Bitmap.inplace_union(bitmap, other),
            lambda: Bitmap.inplace_symmetric_difference(bitmap, bitmap),
            lambda: Bitmap.contract(bitmap, position, 1),
            lambda: Bitmap.expand(bitmap, position, SPAN),
            lambda: Bitmap.__init__(bitmap, np.array([position], dtype=np.uint64)),
            lambda: Bitmap.__setstate__(bitmap, STATE),
            lambda: Bitmap.persisted_size(bitmap),
        ])

    def operand(self, target):
        """A Bitmap argument: the called object itself, another of the pool, or not a Bitmap."""
        kind = self.fdp.ConsumeIntInRange(0, 7)
        if kind == 0:
            return Argument(target.obj, target.members if target.members is not None else set(),
                            (TypeError,) if target.members is None else (), target)
        if kind == 1:
            return refused(self.pick([None, 5, [1], np.array([1], dtype=np.uint64), self.pick(self.scanners),
                                      {1}, STATE]))
        entry = self.entry()
        if entry.members is None:
            return Argument(entry.obj, set(), (TypeError,), entry)
        return Argument(entry.obj, entry.members, (), entry)

    def flag(self):
        """A bool argument: bools, NumPy bools, ints and None convert by truth; str and list do not."""
        value = self.pick([True, False, np.True_, np.False_, 0, 1, None, 2.5, "yes", []])
        if isinstance(value, (str, list)):
            return refused(value)
        return Argument(value, bool(value))
