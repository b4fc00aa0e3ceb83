"""Set algebra and comparison: new-object and in-place forms, equality and the subset tests."""
import operator
import random

import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap
from persisted_records import persisted

BUCKET = 2**32
TOP = 2**64 - 1

# name -> (new-object method, operator, in-place method, in-place operator, Python set model)
OPERATIONS = {
    "union": ("union", operator.or_, "inplace_union", operator.ior, set.__or__),
    "intersect": ("intersect", operator.and_, "inplace_intersect", operator.iand, set.__and__),
    "difference": ("difference", operator.sub, "inplace_difference", operator.isub, set.__sub__),
    "symmetric_difference": (
        "symmetric_difference", operator.xor, "inplace_symmetric_difference", operator.ixor, set.__xor__,
    ),
}


def bitmap_of(members, emptied=()):
    """A bitmap of `members` that also keeps the (empty) buckets of the positions in `emptied`."""
    bitmap = Bitmap()
    for position in emptied:
        bitmap.set(position)
        bitmap.unset(position)
    for member in members:
        bitmap.set(member)
    return bitmap


def new_object_forms(name):
    method, op, *_ = OPERATIONS[name]
    return [lambda a, b: getattr(a, method)(b), op]


def in_place_forms(name):
    _, _, method, op, _ = OPERATIONS[name]
    return [lambda a, b: getattr(a, method)(b), op]


@pytest.mark.parametrize(
    "name, expected",
    [("union", {1, 2, 3}), ("intersect", {2}), ("difference", {1}), ("symmetric_difference", {1, 3})],
)
def test_worked_example(name, expected):
    for form in new_object_forms(name):
        a, b = bitmap_of({1, 2}), bitmap_of({2, 3})
        assert list(form(a, b)) == sorted(expected)
        assert (list(a), list(b)) == ([1, 2], [2, 3])


@pytest.mark.parametrize("name", OPERATIONS)
def test_in_place_returns_a_changed_copy(name):
    model = OPERATIONS[name][4]
    for form in in_place_forms(name):
        a, b = bitmap_of({1, BUCKET + 2}), bitmap_of({BUCKET + 2, TOP})
        c = a
        a = form(a, b)
        assert a is not c
        assert list(c) == sorted(model({1, BUCKET + 2}, {BUCKET + 2, TOP}))
        assert a == c
        a.set(7)  # the returned object is a separate copy
        assert 7 not in c


def test_empty_intersection_across_buckets():
    result = bitmap_of({BUCKET + 1}) & bitmap_of({5})
    assert result.empty and result.cardinality == 0 and result.first is None
    assert result == Bitmap()


def test_xor_with_a_copy_is_empty():
    a = bitmap_of({0, BUCKET - 1, BUCKET, TOP})
    assert (a ^ a.copy()) == Bitmap()


@pytest.mark.parametrize(
    "left, right, equal, subset, strict",
    [
        (bitmap_of(()), bitmap_of(()), True, True, False),
        (bitmap_of((), emptied=[BUCKET]), bitmap_of(()), True, True, False),
        (bitmap_of(()), bitmap_of((), emptied=[BUCKET]), True, True, False),
        (bitmap_of({1}), bitmap_of({1, 2}), False, True, True),
        (bitmap_of({1, 2}), bitmap_of({1, 2}), True, True, False),
        (bitmap_of({1, 2}), bitmap_of({1}), False, False, False),
        (bitmap_of({5}), bitmap_of({BUCKET + 5}), False, False, False),
        (bitmap_of({TOP}, emptied=[3]), bitmap_of({3, TOP}), False, True, True),
    ],
)
def test_comparisons(left, right, equal, subset, strict):
    assert (left == right, left != right) == (equal, not equal)
    assert left.subset_of(right) == subset
    assert left.strict_subset_of(right) == strict


@pytest.mark.parametrize(
    "call",
    [
        lambda b: b | 5,
        lambda b: b | [1],
        lambda b: b == 5,
        lambda b: b.inplace_union(None),
        lambda b: b.subset_of(None),
        lambda b: b.strict_subset_of(set()),
        hash,
    ],
)
def test_non_bitmap_operands_raise_type_error(call):
    with pytest.raises(TypeError):
        call(Bitmap())


@pytest.mark.parametrize("name", OPERATIONS)
def test_in_place_change_stops_iteration_but_new_object_form_does_not(name):
    a, b = bitmap_of({1, 2, 3}), bitmap_of({3, 4})
    walk = iter(a)
    assert next(walk) == 1
    getattr(a, OPERATIONS[name][0])(b)
    assert list(walk) == [2, 3]
    walk = iter(a)
    getattr(a, OPERATIONS[name][2])(b)
    with pytest.raises(RuntimeError, match="^Bitmap changed during iteration$"):
        next(walk)


def random_operands(rng):
    """Two overlapping member sets near bucket edges and the top, and positions to leave as empty buckets."""
    pool = [base + offset for base in (0, BUCKET, 3 * BUCKET, TOP - 99) for offset in range(-50, 100)]
    pool = [p for p in pool if 0 <= p <= TOP]
    a = set(rng.sample(pool, rng.randrange(0, 60)))
    shape = rng.choice(["independent", "subset", "superset", "equal"])
    if shape == "independent":
        b = set(rng.sample(pool, rng.randrange(0, 60)))
    elif shape == "subset":
        b = {m for m in a if rng.random() < 0.7}
    elif shape == "superset":
        b = a | set(rng.sample(pool, rng.randrange(1, 5)))
    else:
        b = set(a)
    empty = [rng.choice([2 * BUCKET + 1, 5 * BUCKET, 7, TOP - 2**40]) for _ in range(2)]
    return a, b, [p for p in empty if p not in a], [p for p in empty if p not in b]


@pytest.mark.parametrize("seed", range(40))
def test_against_set_model(seed):
    rng = random.Random(seed)
    a, b, a_empty, b_empty = random_operands(rng)
    for name, (_, _, _, _, model) in OPERATIONS.items():
        for form in new_object_forms(name):
            left, right = bitmap_of(a, a_empty), bitmap_of(b, b_empty)
            assert list(form(left, right)) == sorted(model(a, b))
            assert (list(left), list(right)) == (sorted(a), sorted(b))
        for form in in_place_forms(name):
            left, right = bitmap_of(a, a_empty), bitmap_of(b, b_empty)
            original = left
            returned = form(left, right)
            assert list(original) == sorted(model(a, b)) and returned == original
            assert list(right) == sorted(b)
    left, right = bitmap_of(a, a_empty), bitmap_of(b, b_empty)
    assert (left == right, left.subset_of(right), left.strict_subset_of(right)) == (a == b, a <= b, a < b)
    assert (right == left, right.subset_of(left), right.strict_subset_of(left)) == (a == b, b <= a, b < a)


@pytest.mark.parametrize("name", OPERATIONS)
@pytest.mark.parametrize("seed", range(5))
def test_aliased_operands(name, seed):
    # Sparse, dense (every other value) and run-shaped members: each kind of CRoaring container.
    dense = set(range(3 * BUCKET, 3 * BUCKET + 20000, 2)) | set(range(TOP - 9000, TOP + 1))
    a = random_operands(random.Random(seed))[0] | (dense if seed % 2 else set())
    model = OPERATIONS[name][4]
    for form in new_object_forms(name):
        bitmap = bitmap_of(a, emptied=[5 * BUCKET])
        assert list(form(bitmap, bitmap)) == sorted(model(a, a))
        assert list(bitmap) == sorted(a)
    for form in in_place_forms(name):
        bitmap = bitmap_of(a, emptied=[5 * BUCKET])
        returned = form(bitmap, bitmap)
        assert list(bitmap) == sorted(model(a, a)) and returned == bitmap
    bitmap = bitmap_of(a)
    assert bitmap == bitmap and bitmap.subset_of(bitmap) and not bitmap.strict_subset_of(bitmap)


CONTAINER = 2**16
# (first container, containers, density) parts of each operand, in bucket 3; densities above 1/16
# give bitset containers, and full ones (other's are run-optimised) run containers. The in-place
# forms change bitsets that stay bitsets, and arrays that shrink, where they lie, build aside only
# the containers that change where few do, and everything else aside; either way the bytes must be
# the new-object form's.
CONTAINER_CASES = {
    "dense, partial last container": ([(0, 16.5, 0.9)], [(0, 16.5, 0.9)]),
    "bitsets and arrays": ([(0, 6, 0.6)], [(0, 6, 0.01)]),
    "arrays and bitsets": ([(0, 6, 0.01)], [(0, 6, 0.6)]),
    "arrays, many left empty": ([(0, 40, 0.0002)], [(10, 40, 0.0002)]),
    "arrays and runs": ([(0, 6, 0.01)], [(2, 3, 1.0), (5, 2, 0.01)]),
    "other reaches past self": ([(0, 5, 0.9)], [(3, 5, 0.1)]),
    "self reaches past other": ([(0, 8, 0.9)], [(0, 6, 0.9)]),
    "a last container falls to an array": ([(0, 16, 0.9)], [(0, 15, 0.9), (15, 1, 4200 / CONTAINER)]),
    "a bitset bucket and an array bucket": ([(0, 8, 0.9), (BUCKET // CONTAINER, 3, 0.001)],
                                            [(0, 8, 0.9), (BUCKET // CONTAINER, 3, 0.002)]),
    "few of self's containers change": ([(0, 16, 0.9)], [(15, 3, 0.001)]),
    "full runs stay in a union": ([(0, 12, 1.0), (12, 2, 0.01)], [(0, 14, 0.5)]),
    "a full run empties a bitset": ([(0, 16, 0.5)], [(4, 1, 1.0)]),
}
NUMPY_MODELS = {"union": np.union1d, "intersect": np.intersect1d, "difference": np.setdiff1d,
                "symmetric_difference": np.setxor1d}


def random_members(rng, parts):
    chosen = []
    for first, containers, density in parts:
        span = int(containers * CONTAINER)
        offsets = rng.choice(span, int(span * density), replace=False).astype(np.uint64)
        chosen.append(np.uint64(3 * BUCKET + first * CONTAINER) + offsets)
    return np.unique(np.concatenate(chosen))


@pytest.mark.parametrize("name", OPERATIONS)
@pytest.mark.parametrize("self_parts, other_parts", CONTAINER_CASES.values(), ids=CONTAINER_CASES)
def test_in_place_forms_container_by_container(name, self_parts, other_parts):
    rng = np.random.default_rng(7)
    a, b = random_members(rng, self_parts), random_members(rng, other_parts)
    method, _, in_place_method, _, _ = OPERATIONS[name]
    other = Bitmap(b)
    other.persisted_size()  # run-optimises
    built = getattr(Bitmap(a), method)(other)
    changed = Bitmap(a)
    getattr(changed, in_place_method)(other)
    assert np.array_equal(changed.index_array(), NUMPY_MODELS[name](a, b))
    assert persisted(changed) == persisted(built)


def test_in_place_symmetric_difference_drops_the_arrays_it_empties_where_they_lie():
    # Two of self's sixteen small arrays meet their equals and other brings a key self lacks: the
    # arrays change where they lie, and the two emptied must go.
    a = np.array([3 * BUCKET + key * CONTAINER + low for key in range(16) for low in (1, 5)], dtype=np.uint64)
    b = np.append(a[:4], np.uint64(3 * BUCKET + 40 * CONTAINER + 2))
    built = Bitmap(a).symmetric_difference(Bitmap(b))
    changed = Bitmap(a)
    changed.inplace_symmetric_difference(Bitmap(b))
    assert np.array_equal(changed.index_array(), np.setxor1d(a, b))
    assert persisted(changed) == persisted(built)
