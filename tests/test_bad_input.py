"""Bad arguments to every method of both classes, in one table: the exact exception class and,
where the module fixes it, the exact message. No row may crash or hang, nor change the Bitmap
it is called on."""
import re
from decimal import Decimal
from fractions import Fraction

import numpy as np
import pytest
from _quorvel_rec_extension import Bitmap, MemoryScanner

from persisted_records import records

SPAN = 2**32
MAX = 2**64 - 1
TOP_BIT = 2**63


def sample():
    return Bitmap(np.array([3, 5, 70000, SPAN + 1, MAX], dtype=np.uint64))


def form(portable):
    bitmap = sample()
    buffer = bytearray(bitmap.persisted_size(portable, False, False))
    bitmap.write(buffer, portable)
    return bytes(buffer)


def snapshot(bitmap):
    """Members and the exact persisted bytes (which list every bucket)."""
    return bitmap.index_array().tolist(), form_of(bitmap)


def form_of(bitmap):
    buffer = bytearray(bitmap.persisted_size(True, False, False))
    bitmap.write(buffer)
    return bytes(buffer)


def incompatible(name, constructor=False):
    kind = "constructor" if constructor else "function"
    return TypeError, rf"^{re.escape(name)}\(\): incompatible {kind} arguments\. "


def exactly(text):
    return f"^{re.escape(text)}$"


ROWS = []


def row(ident, call, error, pattern):
    ROWS.append(pytest.param(call, error, pattern, id=ident))


class Index:
    """An object with __index__ (which may fail) and no other number protocol."""
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class Raising:
    """An object whose conversions to an array and to a truth value raise `error`."""
    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error

    def __bool__(self):
        raise self.error


class IntOnly:
    def __int__(self):
        return 4


# --- integer parameters: (name, valid arguments); None is valid where endEx is optional. Only
# what operator.index accepts, in [0, 2^64), is an integer: nothing is truncated or wrapped. ---
BAD_INTEGERS = {
    "negative": -1, "2**64": 2**64, "float": 1.0, "None": None, "str": "5", "list": [5],
    "np.float32": np.float32(3.7), "np.float64": np.float64(3.0), "np.int64 negative": np.int64(-1),
    "Fraction": Fraction(9, 2), "Decimal": Decimal("11.9"), "__int__ only": IntOnly(),
    "__index__ negative": Index(-1), "__index__ 2**64": Index(2**64), "__index__ not an int": Index(4.0),
}
# An exception raised by __index__ itself propagates, as from operator.index.
FAILING_INDEX = Index(LookupError("no index here"))
INTEGER_METHODS = {
    "slice": (4, SPAN + 9), "lower_cardinality": (5,), "upper_cardinality": (5,), "nth": (1,),
    "self_or_next": (4,), "self_or_previous": (4,), "contains": (5,), "__contains__": (5,),
    "all": (3, 4), "any": (3, 9), "contract": (2**40, 1), "expand": (2**40, 1),
    "set": (7, 9), "unset": (3, 6), "flip": (7, 9),
}
OPTIONAL_END = {"set", "unset", "flip"}
for name, valid in INTEGER_METHODS.items():
    for index in range(len(valid)):
        for kind, bad in BAD_INTEGERS.items():
            if bad is None and index == 1 and name in OPTIONAL_END:
                continue
            args = list(valid)
            args[index] = bad
            row(f"{name}-arg{index}-{kind}", lambda b, s, name=name, args=args: getattr(b, name)(*args),
                *incompatible(name))
        args = list(valid)
        args[index] = FAILING_INDEX
        row(f"{name}-arg{index}-__index__-raising", lambda b, s, name=name, args=args: getattr(b, name)(*args),
            LookupError, exactly("no index here"))

# --- Bitmap operands ---
BAD_OTHERS = {"None": None, "int": 5, "list": [1], "array": np.array([1], dtype=np.uint64), "scanner": MemoryScanner()}
OPERAND_METHODS = [
    "union", "intersect", "difference", "symmetric_difference", "__or__", "__and__", "__sub__", "__xor__", "__eq__",
    "inplace_union", "inplace_intersect", "inplace_difference", "inplace_symmetric_difference",
    "__ior__", "__iand__", "__isub__", "__ixor__", "subset_of", "strict_subset_of",
]
for name in OPERAND_METHODS:
    for kind, bad in BAD_OTHERS.items():
        row(f"{name}-{kind}", lambda b, s, name=name, bad=bad: getattr(b, name)(bad), *incompatible(name))
    row(f"{name}-uninitialized", lambda b, s, name=name: getattr(b, name)(Bitmap.__new__(Bitmap)), TypeError,
        exactly("Bitmap object is not initialized: its __init__ was never called"))

# --- bool parameters: None and numbers convert (pybind11's truth test), a str or list does not; an
# error of __bool__ itself propagates unless it is a TypeError or ValueError (a NumPy array's) ---
BAD_BOOLS = {"str": "yes", "list": [], "__bool__ ValueError": Raising(ValueError("ambiguous"))}
FAILING_BOOL = Raising(LookupError("no truth here"))
BOOL_METHODS = {
    "persisted_size": lambda b, args: b.persisted_size(*args),
    "bool_array": lambda b, args: b.bool_array(*args),
    "write": lambda b, args: b.write(bytearray(4096), *args),
    "read": lambda b, args: Bitmap.read(form(True), *args),
}
BOOL_COUNTS = {"persisted_size": 3, "bool_array": 2, "write": 1, "read": 1}
for name, call in BOOL_METHODS.items():
    for index in range(BOOL_COUNTS[name]):
        for kind, bad in BAD_BOOLS.items():
            args = [True] * BOOL_COUNTS[name]
            args[index] = bad
            row(f"{name}-bool{index}-{kind}", lambda b, s, call=call, args=args: call(b, args), *incompatible(name))
        args = [True] * BOOL_COUNTS[name]
        args[index] = FAILING_BOOL
        row(f"{name}-bool{index}-__bool__-raising", lambda b, s, call=call, args=args: call(b, args), LookupError,
            exactly("no truth here"))

# --- no parameters: an extra argument; read-only properties: assignment ---
for name in ["copy", "__len__", "index_array", "__iter__"]:
    row(f"{name}-extra-argument", lambda b, s, name=name: getattr(b, name)(1), *incompatible(name))
for name in ["cardinality", "empty", "first", "last", "in_memory_size"]:
    row(f"{name}-assigned", lambda b, s, name=name: setattr(b, name, 1), AttributeError, exactly("can't set attribute"))

# --- buffers ---
NOT_BUFFERS = {"None": None, "int": 5, "str": "abc"}
BUFFER_CALLS = {
    "write": lambda b, s, buffer: b.write(buffer),
    "read": lambda b, s, buffer: Bitmap.read(buffer),
    "scan": lambda b, s, buffer: s.scan(buffer),
}
for name, call in BUFFER_CALLS.items():
    for kind, bad in NOT_BUFFERS.items():
        row(f"{name}-{kind}", lambda b, s, call=call, bad=bad: call(b, s, bad), *incompatible(name))
    row(f"{name}-non-contiguous", lambda b, s, call=call: call(b, s, np.zeros(512, dtype=np.uint8)[::2]),
        BufferError, exactly("buffer must be C-contiguous"))
    row(f"{name}-4-byte-items", lambda b, s, call=call: call(b, s, np.zeros(128, dtype=np.uint32)),
        RuntimeError, exactly("Item size should be 1"))
row("scan-keyword", lambda b, s: s.scan(buffer=b"1"), *incompatible("scan"))
row("write-read-only", lambda b, s: b.write(bytes(4096)), ValueError, exactly("buffer is read-only"))
for portable in (True, False):
    variant = "portable" if portable else "native"
    size = len(form(portable))
    row(f"write-{variant}-one-byte-short", lambda b, s, p=portable, n=size: b.write(bytearray(n - 1), p), ValueError,
        exactly(f"buffer too small for the persisted form: {size} bytes needed, {size - 1} given"))

# --- persisted forms: truncated, bit-flipped, of the other variant ---
for portable in (True, False):
    variant = "portable" if portable else "native"
    blob = form(portable)
    count = len(records(blob))
    last_key, last_payload = records(blob)[-1]
    first_length = len(records(blob)[0][1])
    cases = {
        "empty": (b"", ValueError, "persisted form truncated: 0 bytes, the bucket count alone needs 8"),
        "count-cut": (blob[:7], ValueError, "persisted form truncated: 7 bytes, the bucket count alone needs 8"),
        "header-cut": (blob[:13], ValueError, f"persisted form claims {count} buckets, but its 13 bytes hold at most 0"),
        "payload-cut": (blob[:-1], ValueError,
                        f"persisted form truncated in record {count} of {count}: bucket {last_key} claims a payload "
                        f"of {len(last_payload)} bytes, {len(last_payload) - 1} remain"),
    }
    flipped_count = bytearray(blob)
    flipped_count[7] ^= 0x80
    room = (len(blob) - 8) // 12
    cases["count-top-bit"] = (bytes(flipped_count), ValueError,
                              f"persisted form claims {count + TOP_BIT} buckets, but its {len(blob)} bytes hold at most {room}")
    flipped_length = bytearray(blob)
    flipped_length[8 + 4 + 7] ^= 0x80
    cases["length-top-bit"] = (bytes(flipped_length), ValueError,
                               f"persisted form truncated in record 1 of {count}: bucket 0 claims a payload of "
                               f"{first_length + TOP_BIT} bytes, {len(blob) - 20} remain")
    flipped_payload = bytearray(blob)
    flipped_payload[8 + 12] ^= 0x08  # the cookie's first byte (portable), the kind byte (native)
    cases["payload-first-byte"] = (bytes(flipped_payload), RuntimeError, "failed alloc while reading")
    cases["other-variant"] = (form(not portable), RuntimeError, "failed alloc while reading")
    for kind, (data, error, message) in cases.items():
        row(f"read-{variant}-{kind}", lambda b, s, d=data, p=portable: Bitmap.read(d, p), error, exactly(message))

# --- constructors ---
CONSTRUCTOR_CASES = {
    "2-D": (np.zeros((2, 2), dtype=np.uint64), ValueError, exactly("array has incorrect number of dimensions: 2; expected 1")),
    "3-D": (np.zeros((1, 1, 1), dtype=np.uint64), ValueError,
            exactly("array has incorrect number of dimensions: 3; expected 1")),
    "scalar": (5, ValueError, exactly("array has incorrect number of dimensions: 0; expected 1")),
    "str": ("abc",) + incompatible("__init__", constructor=True),
    "negative": ([-1],) + incompatible("__init__", constructor=True),
    "2**64": ([2**64],) + incompatible("__init__", constructor=True),
    # NumPy refuses with TypeError, ValueError or OverflowError; any other error of the conversion,
    # the caller's own or the interpreter's, propagates.
    "__array__ ValueError": (Raising(ValueError("ragged")),) + incompatible("__init__", constructor=True),
    "__array__ OverflowError": (Raising(OverflowError("big")),) + incompatible("__init__", constructor=True),
    "__array__ LookupError": (Raising(LookupError("no array here")), LookupError, exactly("no array here")),
    "__array__ MemoryError": (Raising(MemoryError("no room")), MemoryError, exactly("no room")),
    "__array__ KeyboardInterrupt": (Raising(KeyboardInterrupt()), KeyboardInterrupt, exactly("")),
}
for kind, (argument, error, pattern) in CONSTRUCTOR_CASES.items():
    row(f"Bitmap-{kind}", lambda b, s, a=argument: Bitmap(a), error, pattern)
row("MemoryScanner-argument", lambda b, s: MemoryScanner(b"1"), *incompatible("__init__", constructor=True))


@pytest.mark.parametrize("call, error, pattern", ROWS)
def test_bad_input_is_refused_and_changes_nothing(call, error, pattern):
    bitmap, scanner = sample(), MemoryScanner()
    before = snapshot(bitmap)
    with pytest.raises(error, match=pattern):
        call(bitmap, scanner)
    assert snapshot(bitmap) == before
    assert scanner.scan(b'{"a":1}\n{"b":') == (1, 8)  # the scanner stays usable


class Rebuilding(Index):
    """An index whose __index__ first rebuilds the Bitmap the call is made on."""
    def __init__(self, bitmap, value, members):
        super().__init__(value)
        self.bitmap, self.members = bitmap, members

    def __index__(self):
        self.bitmap.__init__(np.array(self.members, dtype=np.uint64))
        return super().__index__()


def outcome(call):
    try:
        return call()
    except Exception as error:  # the class is compared; the model raises the same one
        return type(error)


@pytest.mark.parametrize("name, valid", INTEGER_METHODS.items(), ids=INTEGER_METHODS.keys())
def test_index_that_changes_the_bitmap_during_the_call(name, valid):
    members = [1, 2, SPAN + 3, 2**40 + 7, MAX]
    for index in range(len(valid)):
        bitmap = sample()
        args = list(valid)
        args[index] = Rebuilding(bitmap, valid[index], members)
        model = Bitmap(np.array(members, dtype=np.uint64))
        assert outcome(lambda: getattr(bitmap, name)(*args)) == outcome(lambda: getattr(model, name)(*valid))
        assert snapshot(bitmap) == snapshot(model)
