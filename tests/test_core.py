"""Bitmap storage model: one-position operations, whole-set queries, copies and argument conversion."""
import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap
from conftest import BOUNDARY_POSITIONS, BUCKET, MAX, bitmap_of


def test_new_bitmap_is_empty():
    b = Bitmap()
    assert (b.cardinality, len(b), b.empty, b.first, b.last, b.in_memory_size) == (0, 0, True, None, None, 0)
    assert not b.contains(0) and 0 not in b


@pytest.mark.parametrize("position", BOUNDARY_POSITIONS)
def test_single_member_anywhere(position):
    b = Bitmap()
    b.set(position)
    assert (b.first, b.last, b.cardinality, b.empty) == (position, position, 1, False)
    assert b.contains(position) and position in b
    assert all(not b.contains(other) for other in BOUNDARY_POSITIONS if other != position)


@pytest.mark.parametrize("positions, containers", [
    ([0, BUCKET], 2),           # two buckets, one container each
    ([5, 70000], 2),            # one bucket, upper 16 bits 0 and 1
    ([5, 6, 65535], 1),
    ([MAX, MAX - 1], 1),
])
def test_in_memory_size_counts_containers(positions, containers):
    b = bitmap_of(positions)
    assert b.in_memory_size == containers
    assert b.cardinality == len(set(positions))


def test_setting_twice_keeps_one_member():
    b = Bitmap()
    b.set(7)
    b.set(7)
    assert b.cardinality == 1


def test_unset_of_non_member_changes_nothing():
    b = bitmap_of([3])
    b.unset(4)
    b.unset(2**40)
    assert list(b) == [3]


def test_emptied_bucket_is_skipped_by_queries():
    b = bitmap_of([1, 7 * BUCKET + 9, 9 * BUCKET])
    b.unset(7 * BUCKET + 9)
    b.unset(9 * BUCKET)
    assert (b.first, b.last, b.cardinality, list(b)) == (1, 1, 1, [1])
    b.unset(1)
    assert (b.empty, b.first, b.last, b.in_memory_size) == (True, None, None, 0)


def test_copy_is_independent():
    a = bitmap_of([1, BUCKET + 1])
    c = a.copy()
    c.set(5)
    a.unset(1)
    assert list(a) == [BUCKET + 1]
    assert list(c) == [1, 5, BUCKET + 1]


@pytest.mark.parametrize("bad", [-1, 2**64, 2**70, 1.0, float("nan"), "3", None])
def test_positions_outside_uint64_are_refused(bad):
    with pytest.raises(TypeError):
        Bitmap().contains(bad)
    with pytest.raises(TypeError):
        Bitmap().set(bad)


def test_largest_position_is_accepted():
    assert Bitmap().contains(MAX) is False


@pytest.mark.parametrize("method, args", [
    ("set", (np.uint64(MAX),)), ("contains", (np.uint64(5),)), ("unset", (np.uint64(5), np.uint64(9))),
    ("flip", (np.uint64(BUCKET), None)), ("all", (np.uint64(0), np.uint64(1))), ("any", (np.int64(0), 1)),
])
def test_numpy_integer_scalars_are_positions(method, args):
    getattr(Bitmap(), method)(*args)


def test_negative_numpy_scalar_is_refused():
    with pytest.raises(TypeError):
        Bitmap().contains(np.int64(-1))


def _copy_then_drop_original(b):
    copy = b.copy()
    b &= Bitmap()
    return copy


@pytest.mark.parametrize("change", [
    lambda b: (b.set(70 * BUCKET + 1), b)[1],
    lambda b: (b.__iand__(Bitmap([3 * BUCKET + 1, 9 * BUCKET + 1])), b)[1],
    lambda b: (b.contract(5 * BUCKET + 100, 50), b)[1],
    lambda b: (b.expand(0, 5 * BUCKET), b)[1],
    lambda b: (b.__ior__(Bitmap([90 * BUCKET + 1])), b)[1],
    _copy_then_drop_original,
], ids=["new bucket", "buckets dropped", "contract", "expand", "union", "copy"])
def test_lookups_follow_a_change_of_buckets(change):
    """Many lookups between two changes search a directory of the buckets: a change must retire it."""
    b = bitmap_of([k * BUCKET + 1 for k in range(64)])
    probes = [k * BUCKET + 1 for k in range(100)]
    for _ in range(4):
        assert sum(p in b for p in probes) == 64
    queried = change(b)
    members = set(queried.index_array().tolist())
    for _ in range(4):
        assert [p in queried for p in probes] == [p in members for p in probes]
