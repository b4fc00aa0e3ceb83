"""Call sequences over the whole Python surface of Bitmap and MemoryScanner, decoded from fuzzer
bytes, with arguments of every kind a caller can pass: boundary, negative and huge ints, bools,
NumPy scalars, floats, Fraction, Decimal, None, other Bitmaps (the called one included), objects
never initialised, subclasses with decoy overrides, and integers whose __index__ changes the
Bitmap during the call.

Rules checked on every call: an argument that operator.index refuses, or that lies outside
[0, 2^64), makes the call raise TypeError; a call that raises leaves every Bitmap it was given as
it was; a call that succeeds returns what the member model (surface_model) says and leaves the
members it says. An object whose __init__ never ran raises TypeError or acts as a new one. After
an __index__ that changed the Bitmap, only a self-consistent Bitmap is required."""
import copy
import operator
import pickle
import re

import numpy as np
from _quorvel_rec_extension import Bitmap, MemoryScanner

import surface_model as model
from surface_arguments import (CLASSES, REFUSED, STATE, UNINITIALIZED, Argument, ArgumentKinds, NoInit, Overriding,
                               refused)
from surface_model import SPAN, NewBitmap

CALLS = 40               # calls decoded from one input at most
POOL_LIMIT = 6           # objects one sequence works on
ITERATOR_LIMIT = 3       # live iterators one sequence keeps
WIDTH_LIMIT = 1 << 12    # widest range given to set or flip: the model enumerates it
MASK_LIMIT = 1 << 16     # longest bool_array made
SIZE = object()          # a result the model leaves open: a persisted size (empty buckets count too)
JSON_PIECES = [b'{"a":1}', b"\n", b"[1,2]", b'"s"', b" ", b'{"b":', b"}", b"]", b"\xef\xbb\xbf", b"\xff",
               b"123", b"true", b"\\", b'"', b"{", b"[", b"\r\n", b"\xc3\xa9", b"null", b","]



def described(obj):
    """repr(obj) for the report, or its type's name where repr raises (an uninitialized Bitmap)."""
    try:
        return repr(obj)
    except Exception:  # noqa: BLE001 - any failure of repr only shortens the report
        return f"<{type(obj).__name__}>"

class Disagreement(AssertionError):
    """The module did what neither the model nor the refusal rules allow."""


def check(condition, *context):
    if not condition:
        raise Disagreement(" | ".join(map(str, context)))


def members_of(bitmap):
    return list(Bitmap.__iter__(bitmap))


def uint64_list(array):
    return array.tolist() if array.dtype == np.uint64 and array.ndim == 1 else array


def overridden(obj, name):
    return getattr(type(obj), name, None) is not getattr(Bitmap, name, None)


def parameter_names(name):
    """The keyword names of a Bitmap method, read from its signature line."""
    return re.findall(r", (\w+):", getattr(Bitmap, name).__doc__.split("\n")[0])


OPERATOR_FORMS = {
    "__contains__": lambda bitmap, position: position in bitmap, "__eq__": operator.eq,
    "__or__": operator.or_, "__and__": operator.and_, "__sub__": operator.sub, "__xor__": operator.xor,
    "__ior__": operator.ior, "__iand__": operator.iand, "__isub__": operator.isub, "__ixor__": operator.ixor,
}
KEYWORDS = {name: parameter_names(name) for name in model.OPERATIONS}
PROPERTIES = {"cardinality", "empty", "first", "last", "in_memory_size"}


class Entry:
    """An object of the sequence and the members it should hold (None: never initialised)."""

    def __init__(self, obj, members):
        self.obj = obj
        self.members = None if members is None else set(members)
        self.version = 0  # bumped whenever the members change; live iterators compare it

    def become(self, members):
        if members != self.members:
            self.version += 1
        self.members = set(members)


class LiveIterator:
    """An iterator of the sequence, the members it has still to yield, and its Bitmap's version."""

    def __init__(self, members, target):
        self.members, self.target, self.version = members, target, target.version
        self.expected = sorted(target.members)
        self.exhausted = False


class Session(ArgumentKinds):
    """One input: a pool of objects, live iterators over them, and the calls the bytes decode to."""

    def __init__(self, fdp):
        self.fdp = fdp
        self.entries = []
        self.iterators = []
        self.scanners = [MemoryScanner()]
        self.unready = []  # scanners whose __init__ never ran
        self.trail = []

    def run(self):
        self.construct(initialized=True)
        self.construct(initialized=True)
        operations = [self.positional, self.positional, self.positional, self.algebra, self.algebra,
                      self.query, self.iterate, self.bool_array, self.persist, self.read_bytes, self.duplicate,
                      self.reinitialize, self.construct, self.scan, self.hostile_type]
        try:
            for _ in range(CALLS):
                if self.fdp.remaining_bytes() == 0:
                    break
                self.pick(operations)()
            for entry in self.entries:
                if entry.members is not None:
                    check(self.validate(entry.obj) == entry.members, "members at the end", sorted(entry.members))
        except Disagreement as failure:
            raise Disagreement(f"{failure}\nafter the calls:\n  " + "\n  ".join(self.trail)) from None

    def note(self, name, target, arguments=()):
        """Keeps a line per call for the report of a disagreement (without calling the module)."""
        def shown(argument):
            if argument.entry is not None:
                return f"object {self.entries.index(argument.entry)}" if argument.entry in self.entries else "object"
            return f"{type(argument.obj).__name__}({'refused' if argument.value is REFUSED else argument.value})"
        index = self.entries.index(target) if target in self.entries else "?"
        self.trail.append(f"{name} on object {index} ({type(target.obj).__name__}, members "
                          f"{None if target.members is None else sorted(target.members)[:12]}): "
                          + ", ".join(shown(a) for a in arguments))

    def adopt(self, obj, members):
        entry = Entry(obj, members)
        if len(self.entries) < POOL_LIMIT:
            self.entries.append(entry)
        else:
            self.entries[self.fdp.ConsumeIntInRange(0, POOL_LIMIT - 1)] = entry
        return entry

    # --- calls and their checks ---

    def operation(self, name):
        kinds, apply = model.OPERATIONS[name]
        target = self.entry()
        arguments = []
        for kind in kinds:
            if kind == "b":
                arguments.append(self.operand(target))
            elif kind == "o" and self.fdp.ConsumeIntInRange(0, 3) == 0:
                arguments.append(self.left_out(name))
            else:
                start = arguments[0].value if arguments and type(arguments[0].value) is int else None
                shift = name in ("contract", "expand")
                value = self.end_of(start) if start is not None and not shift else self.position()
                arguments.append(self.integer(value, target, optional=kind == "o"))
        if name in ("set", "flip"):
            self.narrow(arguments)
        self.note(name, target, arguments)
        return self.expect(target, self.invocation(target.obj, name, arguments), arguments, apply)

    def left_out(self, name):
        """endEx as None, or not passed: set and unset default it to None, flip requires it."""
        if self.fdp.ConsumeBool():
            return Argument(None, None)
        return Argument(None, REFUSED, (TypeError,), omitted=True) if name == "flip" else \
            Argument(None, None, omitted=True)

    @staticmethod
    def narrow(arguments):
        """A range of set or flip wider than the model can list gets a plain end within reach."""
        start, end = arguments[0].value, arguments[1].value
        if type(start) is int and type(end) is int and end - start > WIDTH_LIMIT:
            end = start + (end - start) % WIDTH_LIMIT
            arguments[1] = Argument(end, end)

    def invocation(self, obj, name, arguments):
        """A call of Bitmap method `name` in one of the ways Python code can make it."""
        values = [a.obj for a in arguments if not a.omitted]
        style = self.fdp.ConsumeIntInRange(0, 3)
        decoys = any(isinstance(o, Overriding) for o in [obj] + values)
        if style == 0 and name in OPERATOR_FORMS and not decoys:
            return lambda: OPERATOR_FORMS[name](obj, *values)
        if style == 1 and not overridden(obj, name):
            return lambda: getattr(obj, name)(*values)
        if style == 2:
            return lambda: getattr(Bitmap, name)(obj, **dict(zip(KEYWORDS[name], values)))
        return lambda: getattr(Bitmap, name)(obj, *values)

    def positional(self):
        return self.operation(self.pick(POSITIONAL_NAMES))

    def algebra(self):
        return self.operation(self.pick(OPERAND_NAMES))

    def expect(self, target, call, arguments, apply):
        """Runs `call` and holds it to the rules; apply(members, *values) is the model."""
        if any(a.meddles for a in arguments):
            return self.survive(target, call)
        allowed = {error for a in arguments for error in a.errors}
        if target.members is None:
            allowed.add(TypeError)
        try:
            result = call()
        except Exception as error:
            self.expect_unchanged(target, arguments)
            if not isinstance(error, tuple(allowed)):
                self.expect_model_failure(target, arguments, apply, error)
            return None
        check(all(a.value is not REFUSED for a in arguments), "accepted",
              [a.obj for a in arguments if a.value is REFUSED], "returning", result)
        before = target.members if target.members is not None else set()
        try:
            expected, after = apply(before, *[a.value for a in arguments])
        except Exception as failure:
            raise Disagreement(f"returned {result!r} where the model raises {failure!r}") from None
        check(self.same(result, expected), "returned", result, "expected", expected)
        target.become(after)
        check(members_of(target.obj) == sorted(after), "members after the call", sorted(after))
        self.expect_unchanged(target, [a for a in arguments if a.entry is not target])
        if isinstance(expected, NewBitmap):
            check(all(result is not e.obj for e in self.entries), "returned an object of the pool")
            self.adopt(result, expected)
        return result

    def expect_unchanged(self, target, arguments):
        for entry in [target] + [a.entry for a in arguments if a.entry is not None]:
            if entry.members is not None:
                check(members_of(entry.obj) == sorted(entry.members), "changed by a failed call", sorted(entry.members))

    def expect_model_failure(self, target, arguments, apply, error):
        check(all(a.value is not REFUSED for a in arguments), "refused with", repr(error), "not TypeError")
        before = target.members if target.members is not None else set()
        try:
            apply(before, *[a.value for a in arguments])
        except Exception as failure:
            check((type(failure), str(failure)) == (type(error), str(error)), "raised", repr(error), "expected",
                  repr(failure))
            return
        raise Disagreement(f"raised {error!r} where the model succeeds")

    @staticmethod
    def same(actual, expected):
        if expected is SIZE:
            return type(actual) is int and actual >= 8  # at least the bucket count
        if isinstance(expected, NewBitmap):
            return type(actual) is Bitmap and members_of(actual) == sorted(expected)
        return type(actual) is type(expected) and actual == expected

    def survive(self, target, call):
        """A call whose arguments change its Bitmap: any outcome but a crash, then a consistent Bitmap."""
        try:
            call()
        except Exception:
            pass
        self.resync(target)

    def resync(self, entry):
        try:
            members = self.validate(entry.obj)
        except TypeError:
            check(entry.members is None, "an initialised Bitmap refused")
            return
        entry.become(members)

    def validate(self, bitmap):
        """The members of `bitmap` after checking that its views of them agree."""
        members = members_of(bitmap)
        check(all(a < b for a, b in zip(members, members[1:])), "iteration not ascending", members)
        check(Bitmap.__len__(bitmap) == Bitmap.cardinality.__get__(bitmap) == len(members), "len", members)
        check(Bitmap.index_array(bitmap).tolist() == members, "index_array", members)
        check(Bitmap.first.__get__(bitmap) == (members[0] if members else None), "first", members)
        check(Bitmap.last.__get__(bitmap) == (members[-1] if members else None), "last", members)
        check(members_of(Bitmap.read(Bitmap.__getstate__(bitmap))) == members, "portable round trip", members)
        native = bytearray(Bitmap.persisted_size(bitmap, False, False, False))
        Bitmap.write(bitmap, native, False)
        check(members_of(Bitmap.read(native, False)) == members, "native round trip", members)
        return set(members)

    # --- operations ---

    def query(self):
        name = self.pick(sorted(model.QUERIES))
        target = self.entry()
        self.note(name, target)
        obj = target.obj
        if name in PROPERTIES:
            call = (lambda: getattr(Bitmap, name).__get__(obj)) if overridden(obj, name) or self.fdp.ConsumeBool() \
                else (lambda: getattr(obj, name))
        elif name == "index_array":
            call = lambda: uint64_list(Bitmap.index_array(obj))
        elif name == "__len__" and not overridden(obj, name) and self.fdp.ConsumeBool():
            call = lambda: len(obj)
        elif name == "__repr__" and not overridden(obj, name) and self.fdp.ConsumeBool():
            call = lambda: repr(obj)
        else:
            call = lambda: getattr(Bitmap, name)(obj)
        self.expect(target, call, [], model.unchanged(model.QUERIES[name]))

    def bool_array(self):
        target = self.entry()
        invert, relative = self.flag(), self.flag()
        self.note("bool_array", target, [invert, relative])
        if target.members and relative.value is not REFUSED:
            if MASK_LIMIT <= model.mask_span(target.members, relative.value) < model.LARGEST_MASK:
                return  # too long to compare, short enough to be made
        arguments = [invert, relative]
        call = lambda: Bitmap.bool_array(target.obj, *[a.obj for a in arguments]).tolist()
        self.expect(target, call, arguments, model.bool_mask)

    def iterate(self):
        if self.iterators and self.fdp.ConsumeBool():
            live = self.pick(self.iterators)
            self.note("next", live.target)
            return self.advance(live, self.fdp.ConsumeIntInRange(1, 20))
        target = self.entry()
        self.note("iter", target)
        try:
            members = iter(target.obj) if not overridden(target.obj, "__iter__") else Bitmap.__iter__(target.obj)
        except TypeError:
            check(target.members is None, "iter() of an initialised Bitmap refused")
            return
        if target.members is None:
            target.become(set())
        if len(self.iterators) == ITERATOR_LIMIT:
            self.iterators.pop(0)
        self.iterators.append(LiveIterator(members, target))

    def advance(self, live, steps):
        """Once its Bitmap has changed, an iterator in use raises RuntimeError; an exhausted one
        keeps stopping. Otherwise it yields the members it was made over, or RuntimeError."""
        for _ in range(steps):
            try:
                value = next(live.members)
            except RuntimeError as error:
                check(str(error) == "Bitmap changed during iteration" and not live.exhausted, repr(error))
                self.iterators.remove(live)
                return
            except StopIteration:
                value = None
            if not live.exhausted:
                check(live.target.version == live.version, "an iterator went on after its Bitmap changed", value)
            check(value == (live.expected.pop(0) if live.expected else None), "iterator yielded", value)
            live.exhausted = value is None

    def persist(self):
        target = self.entry()
        portable, optimize, shrink = self.flag(), self.flag(), self.flag()
        arguments = [portable, optimize, shrink]
        self.note("persisted_size, write, read", target, arguments)
        size = self.expect(target, lambda: Bitmap.persisted_size(target.obj, *[a.obj for a in arguments]),
                           arguments, lambda members, *flags: (SIZE, members))
        if size is None:
            return
        kind = bool(portable.value)
        buffer = self.pick([bytearray(size), np.zeros(size, dtype=np.uint8), memoryview(bytearray(size))])
        write = self.expect(target, lambda: Bitmap.write(target.obj, buffer, kind), [], model.unchanged(lambda m: size))
        if write is not None:
            loaded = Bitmap.read(bytes(buffer), kind)
            check(members_of(loaded) == sorted(target.members), "read of what write wrote")
            self.adopt(loaded, target.members)
        bad, error = self.pick([(bytearray(size - 1), ValueError), (bytes(size), ValueError),
                                (np.zeros(size, dtype=np.uint32), RuntimeError), (np.zeros(2 * size, np.uint8)[::2], BufferError),
                                ("x" * size, TypeError)])
        self.expect(target, lambda: Bitmap.write(target.obj, bad, kind), [refused(bad, error)],
                    model.unchanged(lambda m, b: size))

    def read_bytes(self):
        """Bitmap.read of bytes near a valid form: a Bitmap that validates, or ValueError/RuntimeError."""
        form = bytearray(Bitmap(np.array(self.positions(), dtype=np.uint64)).__getstate__())
        for _ in range(self.fdp.ConsumeIntInRange(0, 4)):
            where = self.fdp.ConsumeIntInRange(0, len(form) - 1)
            form[where] = self.fdp.ConsumeIntInRange(0, 255)
        data = self.pick([bytes(form), bytes(form[:self.fdp.ConsumeIntInRange(0, len(form))]),
                          self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 64)), bytes(form) + bytes(form)])
        self.trail.append(f"read of {data!r}")
        try:
            loaded = Bitmap.read(data, self.fdp.ConsumeBool())
        except (ValueError, RuntimeError, MemoryError):
            return
        self.adopt(loaded, self.validate(loaded))

    def duplicate(self):
        """copy(), copy.copy, copy.deepcopy and pickling at every protocol: an equal, separate object."""
        target = self.entry()
        obj = target.obj
        protocol = self.fdp.ConsumeIntInRange(0, pickle.HIGHEST_PROTOCOL)
        how = self.fdp.ConsumeIntInRange(0, 3)
        call = [lambda: Bitmap.copy(obj), lambda: copy.copy(obj), lambda: copy.deepcopy(obj),
                lambda: pickle.loads(pickle.dumps(obj, protocol))][how]
        self.note(["copy", "copy.copy", "copy.deepcopy", f"pickle protocol {protocol}"][how], target)
        try:
            result = call()
        except TypeError:
            check(target.members is None, "copying an initialised Bitmap refused")
            return
        members = target.members if target.members is not None else set()
        check(result is not obj and members_of(result) == sorted(members), "copy", sorted(members))
        check(type(result) is (type(obj) if how == 3 else Bitmap), "type of the copy", type(result))
        self.adopt(result, members)

    def reinitialize(self):
        """__init__ or __setstate__ again on a live object: it works, or it raises and changes nothing."""
        target = self.entry()
        if self.fdp.ConsumeBool():
            positions = self.positions()
            call = lambda: Bitmap.__init__(target.obj, np.array(positions, dtype=np.uint64))
        else:
            positions = self.pick([[3, SPAN + 7, 2**40], []])
            state = STATE if positions else Bitmap().__getstate__()
            call = lambda: Bitmap.__setstate__(target.obj, state)
        self.note(f"__init__ or __setstate__ to {positions}", target)
        try:
            call()
        except Exception:
            self.expect_unchanged(target, [])
            return
        check(members_of(target.obj) == sorted(set(positions)), "re-initialised members", sorted(set(positions)))
        target.become(set(positions))

    def construct(self, initialized=False):
        """A new object: Bitmap(...) of every argument kind, or one whose __init__ never ran."""
        if not initialized and self.fdp.ConsumeIntInRange(0, 3) == 0:
            self.adopt(self.pick(UNINITIALIZED)(), None)
            self.trail.append(f"an uninitialised {type(self.entries[-1].obj).__name__}")
            return
        cls = Bitmap if initialized else self.pick(CLASSES)
        indices, members, errors = self.indices() if not initialized else self.valid_indices()
        self.trail.append(f"{cls.__name__}({described(indices)})")
        if cls is NoInit:  # refused by pybind11 (TypeError), or an object whose __init__ never ran
            members, errors = None, (TypeError,)
        try:
            obj = cls(indices) if self.fdp.ConsumeBool() or indices is not None else cls()
        except Exception as error:
            check(isinstance(error, errors), "Bitmap() raised", repr(error))
            return
        check(members is not None or cls is NoInit, "accepted indices", indices)
        self.resync(self.adopt(obj, members))

    def valid_indices(self):
        positions = self.positions()
        return np.array(positions, dtype=np.uint64), set(positions), ()

    def indices(self):
        """(indices, the members they give or None when refused, the exceptions allowed)."""
        positions = self.positions()
        array = np.array(positions, dtype=np.uint64)
        kind = self.fdp.ConsumeIntInRange(0, 9)
        if kind == 0:
            return None, set(), ()
        if kind in (1, 2):
            view = array[::2] if kind == 1 else array[::-1]
            return view, set(view.tolist()), ()
        if kind == 3:
            signed = array.astype(np.int64)  # negative values cast back to the same positions
            return signed, set(positions), ()
        if kind == 4:
            floats = np.array([p % 2**52 for p in positions], dtype=np.float64) + 0.5  # cast as NumPy casts
            return floats, set(floats.astype(np.uint64).tolist()), ()
        if kind == 5:
            return positions, set(positions), ()
        if kind == 6:
            return positions + [-1], None, (TypeError,)
        if kind == 7:
            return array.reshape(-1, 1), None, (ValueError,)
        return self.pick([5, "abc", {1}] + [e.obj for e in self.entries[:1]]), None, (TypeError, ValueError)

    def scan(self):
        """MemoryScanner.scan of fuzzer bytes: never a crash; 0 <= consumed <= len; a fresh scanner agrees.
        A scanner whose __init__ never ran may refuse with TypeError."""
        if self.fdp.ConsumeIntInRange(0, 3) == 0:
            self.add_scanner()
        scanner = self.pick(self.scanners)
        data = b"".join(self.pick(JSON_PIECES) for _ in range(self.fdp.ConsumeIntInRange(0, 24)))
        data = data if self.fdp.ConsumeBool() else self.fdp.ConsumeBytes(self.fdp.ConsumeIntInRange(0, 256))
        buffer, error = self.pick([(data, None), (bytearray(data), None), (memoryview(data), None),
                                   (np.frombuffer(data, np.uint8), None), (np.zeros(8, np.uint32), RuntimeError),
                                   (np.frombuffer(data + data, np.uint8)[::2], BufferError if len(data) > 1 else None),
                                   (data.decode("latin-1"), TypeError), (None, TypeError)])
        self.trail.append(f"scan of {type(buffer).__name__} {data!r} by scanner {self.scanners.index(scanner)}")
        try:
            documents, consumed = scanner.scan(buffer)
        except Exception as failure:
            allowed = (error or MemoryError,) + ((TypeError,) if any(scanner is u for u in self.unready) else ())
            check(isinstance(failure, allowed), "scan raised", repr(failure))
            return
        check(error is None, "scan accepted", type(buffer))
        check(0 <= consumed <= len(data) and documents >= 0, "scan result", (documents, consumed), len(data))
        check(MemoryScanner().scan(bytes(buffer)) == (documents, consumed), "a fresh scanner disagrees")

    def add_scanner(self):
        kind = self.fdp.ConsumeIntInRange(0, 2)
        if kind == 0:
            self.unready.append(MemoryScanner.__new__(MemoryScanner))
            self.scanners.append(self.unready[-1])
        else:
            self.scanners.append(copy.copy(self.scanners[0]) if kind == 1 else pickle.loads(pickle.dumps(self.scanners[0])))

    def hostile_type(self):
        """Instances the classes' own machinery should never make: refused with TypeError."""
        how = self.fdp.ConsumeIntInRange(0, 3)
        make = [lambda: Bitmap.__base__(), lambda: type(iter(Bitmap()))(),
                lambda: type(iter(Bitmap())).__new__(type(iter(Bitmap()))), lambda: NoInit()][how]
        self.trail.append(["Bitmap.__base__()", "iterator type()", "iterator type.__new__", "NoInit()"][how])
        try:
            made = make()
        except TypeError:
            return
        if isinstance(made, Bitmap):
            self.resync(self.adopt(made, None))
            return
        try:
            next(made)
        except Exception:
            pass


POSITIONAL_NAMES = [name for name, (kinds, _) in model.OPERATIONS.items() if "b" not in kinds]
OPERAND_NAMES = [name for name, (kinds, _) in model.OPERATIONS.items() if "b" in kinds]
