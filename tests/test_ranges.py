"""Range operations set/unset/flip and the tests all/any, cut at bucket boundaries."""
import os
import subprocess
import sys

import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap
from conftest import BUCKET, MAX, bitmap_of
from persisted_records import bucket_keys, persisted


def test_set_range_within_a_bucket():
    b = Bitmap()
    b.set(10, 20)
    assert list(b) == list(range(10, 20))
    assert (b.all(10, 20), b.all(10, 21), b.any(19, 25), b.any(20, 25)) == (True, False, True, False)


def test_set_range_across_a_bucket_boundary():
    b = Bitmap()
    b.set(BUCKET - 2, BUCKET + 2)
    assert list(b) == [BUCKET - 2, BUCKET - 1, BUCKET, BUCKET + 1]
    assert b.all(BUCKET - 2, BUCKET + 2)


def test_set_two_whole_buckets():
    b = Bitmap()
    b.set(0, 2 * BUCKET)
    assert b.cardinality == 2 * BUCKET
    assert b.in_memory_size == 2 * 65536
    assert b.all(0, 2 * BUCKET) and not b.any(2 * BUCKET, 3 * BUCKET)
    assert (b.first, b.last) == (0, 2 * BUCKET - 1)


CONTAINER = 2**16


def containers_of_every_kind(base):
    """Keys 1-8 from `base`: one member, an array of 100, a bitset, a bitset whose complement is an
    array, one run, 40 runs, none, and a container holding members on both sides of position
    8 * CONTAINER + 9."""
    b = Bitmap()
    b.set(base + CONTAINER + 5)
    for i in range(100):
        b.set(base + 2 * CONTAINER + 3 * i)
    for i in range(5000):
        b.set(base + 3 * CONTAINER + 2 * i)
    near_full = np.arange(CONTAINER, dtype=np.uint64)
    b.inplace_union(Bitmap(near_full[near_full % 17 != 0] + np.uint64(base + 4 * CONTAINER)))
    b.set(base + 5 * CONTAINER + 10, base + 5 * CONTAINER + 20)
    for i in range(40):
        b.set(base + 6 * CONTAINER + 100 * i, base + 6 * CONTAINER + 100 * i + 70)
    b.set(base + 8 * CONTAINER + 3)
    b.set(base + 8 * CONTAINER + 30)
    return b


# Whole containers of every kind become full (set) or their complements (flip), with the partial ones
# at the ends; each kind either changes where it lies or is replaced, and copies hold their
# containers with tight capacities.
@pytest.mark.parametrize("change, expected", [("set", np.union1d), ("flip", np.setxor1d)])
@pytest.mark.parametrize("copied", [False, True])
@pytest.mark.parametrize("base, start, end", [
    (0, CONTAINER - 3, 8 * CONTAINER + 9),
    (BUCKET - 9 * CONTAINER, BUCKET - 8 * CONTAINER - 3, BUCKET + 5),
    (BUCKET, BUCKET + CONTAINER, BUCKET + 8 * CONTAINER),
])
def test_range_over_containers_of_every_kind(change, expected, copied, base, start, end):
    source = containers_of_every_kind(base)
    before = source.index_array()
    b = source.copy() if copied else source
    getattr(b, change)(start, end)
    members = expected(before, np.arange(start, end, dtype=np.uint64))
    assert np.array_equal(b.index_array(), members)
    assert len(b) == len(members) and Bitmap.read(persisted(b, prepare=False)) == b
    if copied:
        assert np.array_equal(source.index_array(), before)


@pytest.mark.parametrize("start, end", [(5, 5), (9, 3), (9, 0), (2**40, 5)])
def test_empty_or_reversed_ranges_change_nothing(start, end):
    b = bitmap_of([4])
    b.set(start, end)
    b.unset(start, end)
    assert list(b) == [4]


def test_unset_range_keeps_the_rest():
    b = Bitmap()
    b.set(0, 100)
    b.unset(5, 10)
    assert list(b) == list(range(5)) + list(range(10, 100))


def test_unset_range_on_empty_bitmap_adds_no_member():
    b = Bitmap()
    b.unset(0, 4 * BUCKET)
    assert (b.cardinality, b.empty, list(b)) == (0, True, [])


def test_unset_of_a_huge_range_creates_no_bucket():
    b = bitmap_of([5, 2**63, MAX])
    keys = bucket_keys(b)
    b.unset(6, MAX)
    assert list(b) == [5, MAX] and bucket_keys(b) == keys
    b.unset(0, MAX)
    assert list(b) == [MAX] and bucket_keys(b) == keys


def test_set_and_flip_ranges_create_every_bucket_of_the_range():
    b = Bitmap()
    b.set(BUCKET - 1, 3 * BUCKET)
    assert bucket_keys(b) == [0, 1, 2, 3]
    b.flip(5 * BUCKET, 6 * BUCKET)
    assert bucket_keys(b) == [0, 1, 2, 3, 5, 6]


def test_flip_single_position_twice_restores():
    b = bitmap_of([1, 2])
    b.flip(7, None)
    assert list(b) == [1, 2, 7]
    b.flip(7, None)
    assert list(b) == [1, 2]
    b.flip(MAX, None)
    assert b.last == MAX


@pytest.mark.parametrize("start, end", [(3, 3), (4, 3), (BUCKET + 1, 1)])
def test_flip_of_empty_range_fails(start, end):
    b = bitmap_of([3])
    with pytest.raises(RuntimeError, match=r"^Invalid range\.$"):
        b.flip(start, end)
    assert list(b) == [3]


def test_flip_range_across_boundary_twice_empties():
    b = Bitmap()
    b.flip(BUCKET - 1, BUCKET + 1)
    assert list(b) == [BUCKET - 1, BUCKET]
    b.flip(BUCKET - 1, BUCKET + 1)
    assert b.empty


def test_flip_range_toggles_each_position():
    b = bitmap_of([BUCKET - 3, BUCKET + 2, 5])
    b.flip(BUCKET - 4, BUCKET + 3)
    expected = {5} | (set(range(BUCKET - 4, BUCKET + 3)) ^ {BUCKET - 3, BUCKET + 2})
    assert list(b) == sorted(expected)


@pytest.mark.parametrize("start, end", [(5, 5), (5, 1), (2 * BUCKET, BUCKET), (MAX, MAX)])
def test_all_of_an_empty_range_is_true(start, end):
    assert Bitmap().all(start, end)


def test_all_ignores_absent_and_empty_buckets_that_hold_no_position_of_the_range():
    full = Bitmap()
    full.set(0, BUCKET)
    assert full.all(0, BUCKET)                 # bucket 1 absent: its piece is empty
    full.set(BUCKET + 5)
    full.unset(BUCKET + 5)
    assert full.all(0, BUCKET)                 # bucket 1 present and empty
    assert not full.all(0, BUCKET + 1)


def test_all_across_buckets_needs_every_piece():
    b = Bitmap()
    b.set(BUCKET - 5, 3 * BUCKET + 5)
    assert b.all(BUCKET - 5, 3 * BUCKET + 5)
    b.unset(2 * BUCKET + 7)
    assert not b.all(BUCKET - 5, 3 * BUCKET + 5)
    assert b.all(BUCKET - 5, 2 * BUCKET + 7)


def test_any_skips_absent_buckets_and_checks_pieces():
    b = bitmap_of([BUCKET + 100])
    assert not b.any(BUCKET + 5, BUCKET + 10)
    assert b.any(0, MAX)
    assert not b.any(BUCKET + 101, MAX)
    assert b.any(5, BUCKET + 101)


def test_range_ending_in_the_last_bucket():
    b = Bitmap()
    b.set(MAX - 2 * BUCKET, MAX)
    assert b.cardinality == 2 * BUCKET
    assert (b.first, b.last) == (MAX - 2 * BUCKET, MAX - 1)
    assert b.all(MAX - 2 * BUCKET, MAX) and not b.contains(MAX)


OUT_OF_MEMORY = """
import resource, sys
from _quorvel_rec_extension import Bitmap
b = Bitmap()
for p in (3, 2**32 + 9, 2**40):
    b.set(p)
size = b.persisted_size(True, False, False)
with open("/proc/self/statm") as statm:
    used = int(statm.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (used + HEADROOM, resource.RLIM_INFINITY))
try:
    CALL
except MemoryError:
    pass
else:
    sys.exit("no MemoryError")
assert list(b) == [3, 2**32 + 9, 2**40], list(b)
assert (len(b), b.persisted_size(True, False, False)) == (3, size)
b.set(7, 9)
assert list(b) == [3, 7, 8, 2**32 + 9, 2**40]
"""


@pytest.mark.parametrize("call, headroom", [
    ("b.set(0, 2**64 - 1)", 0),     # refused before it starts: the range needs far more than there is
    ("b.flip(0, 2**64 - 1)", 0),
    ("b.set(0, 2**32)", 2 << 20),  # a whole bucket takes 4.7 MB: fails half-way
    ("b.flip(2**32 - 5, 2**33 + 7)", 2 << 20),
])
def test_a_range_that_runs_out_of_memory_changes_nothing(call, headroom):
    if os.environ.get("QUORVEL_SANITIZED"):
        pytest.skip("AddressSanitizer's shadow memory does not fit under an address space limit")
    script = OUT_OF_MEMORY.replace("HEADROOM", str(headroom)).replace("CALL", call)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
