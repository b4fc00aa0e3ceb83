"""NumPy interchange (constructor, index_array, bool_array) and Python iteration."""
import itertools
import threading

import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap
from conftest import BOUNDARY_POSITIONS, BUCKET, MAX, bitmap_of
from persisted_records import persisted


@pytest.mark.parametrize("make", [lambda: Bitmap(), lambda: Bitmap(None)])
def test_no_indices_makes_an_empty_bitmap(make):
    assert list(make()) == []


def test_constructor_sorts_and_deduplicates():
    b = Bitmap(np.array([5, 3, 5, 2**40], dtype=np.uint64))
    assert list(b) == [3, 5, 2**40]


@pytest.mark.parametrize("view", [
    lambda a: a[::2], lambda a: a[::-2], lambda a: a[::-1], lambda a: a[1::3],
])
def test_strided_views_match_their_values(view):
    base = np.array(BOUNDARY_POSITIONS + [7, BUCKET + 7], dtype=np.uint64)
    values = view(base)
    assert list(Bitmap(values)) == sorted(set(values.tolist()))


def test_strided_view_of_uint64_is_taken_without_conversion():
    assert list(Bitmap(np.array([1, 2, 3], dtype=np.uint64)[::2])) == [1, 3]
    assert list(Bitmap(np.array([1, 2, 3], dtype=np.uint64)[::-2])) == [1, 3]


@pytest.mark.parametrize("indices", [[1, 2, 3], np.array([3, 1], dtype=np.int32), (2**40, 7)])
def test_other_integer_inputs_are_converted(indices):
    assert list(Bitmap(indices)) == sorted(set(int(i) for i in indices))


@pytest.mark.parametrize("kind", ["sorted sparse", "sorted runs", "unsorted"])
def test_construction_from_an_array_that_another_thread_rewrites(kind):
    """NumPy copies without the interpreter lock, so the array may change while it is read: any
    mix of old and new values must give a sound Bitmap, never corrupt memory."""
    rng = np.random.default_rng(11)
    count = 1 << 18
    if kind == "sorted runs":
        shapes = [np.arange(start, start + count, dtype=np.uint64) for start in (0, 2**32 - 1000)]
    else:
        shapes = [rng.integers(0, 2**36, count, dtype=np.uint64) for _ in range(2)]
        if kind == "sorted sparse":
            shapes = [np.sort(shape) for shape in shapes]
    shared = shapes[0].copy()
    stop = threading.Event()

    def rewrite():
        for turn in itertools.count():
            if stop.is_set():
                return
            np.copyto(shared, shapes[turn % 2])

    writer = threading.Thread(target=rewrite)
    writer.start()
    try:
        for _ in range(10):
            b = Bitmap(shared)
            members = b.index_array()
            assert len(members) == len(b) <= count
            assert np.all(members[1:] > members[:-1])
            assert Bitmap.read(persisted(b)) == b
    finally:
        stop.set()
        writer.join()


@pytest.mark.parametrize("shape", [(2, 2), (1, 3), ()])
def test_wrong_dimensions_are_refused(shape):
    with pytest.raises(ValueError, match=rf"^array has incorrect number of dimensions: {len(shape)}; expected 1$"):
        Bitmap(np.zeros(shape, dtype=np.uint64))


def test_unconvertible_indices_are_refused():
    with pytest.raises(TypeError):
        Bitmap(["a", "b"])


@pytest.mark.parametrize("ends", [[0, MAX], [0]], ids=["bitsets inside", "bitsets last"])
def test_random_array_round_trips_through_index_array(ends):
    rng = np.random.default_rng(7)
    values = np.concatenate([rng.integers(0, 2**40, 5000, dtype=np.uint64),
                             rng.integers(BUCKET - 50, BUCKET + 50, 200, dtype=np.uint64),
                             rng.integers(2**41, 2**41 + 3 * 2**16, 100000, dtype=np.uint64),
                             np.array(ends, dtype=np.uint64)])
    b = Bitmap(values)
    out = b.index_array()
    assert out.dtype == np.uint64 and out.flags.c_contiguous and out.flags.writeable
    assert np.array_equal(out, np.unique(values))
    assert list(b) == out.tolist()


CONTAINER = 2**16
# Sorted inputs either side of the limits of array containers (4,096 distinct values) and of runs
# stored as runs (64 positions), with duplicates and across container and bucket boundaries.
LAYOUT_INPUTS = {
    "scattered": sorted(set(np.random.default_rng(5).integers(0, 2**40, 20000).tolist())),
    "duplicates": [7, 7, 7, BUCKET + 9, BUCKET + 9, 3 * CONTAINER],
    "4096 per container": list(range(0, 2 * 4096, 2)),
    "4097 per container": list(range(CONTAINER, CONTAINER + 2 * 4097, 2)),
    "runs of 63 with duplicates": sorted(list(range(BUCKET - 60, BUCKET + 3)) * 2 + list(range(5 * BUCKET, 5 * BUCKET + 63))),
    "at the top": [MAX - 3 * CONTAINER, MAX - 1, MAX],
}


@pytest.mark.parametrize("values", LAYOUT_INPUTS.values(), ids=LAYOUT_INPUTS.keys())
def test_construction_lays_out_containers_as_single_sets(values):
    """Without runs of 64, a sorted array builds the same containers as setting each value in turn."""
    reference = Bitmap()
    for v in values:
        reference.set(v)
    built = Bitmap(np.array(values, dtype=np.uint64))
    for portable in (True, False):
        assert persisted(built, portable) == persisted(reference, portable)


@pytest.mark.parametrize("before", range(66))
def test_construction_adds_every_run_of_64_as_a_range(before):
    """A run of 64 positions that opens a container becomes a run container (one by one it would be an
    array container of 64 values), wherever it lies in the input."""
    run = list(range(before * CONTAINER, before * CONTAINER + 64))
    values = [k * CONTAINER + 5 for k in range(before)] + run + [k * CONTAINER + 5 for k in range(before + 1, before + 66)]
    built, reference = Bitmap(np.array(values, dtype=np.uint64)), Bitmap()
    for v in values:
        reference.set(v)
    assert list(built) == values
    assert built.persisted_size(True, False, False) < reference.persisted_size(True, False, False)


READ_BLOCK = 2**15  # positions that construction reads at a time


@pytest.mark.parametrize("cut", [1, 2, 33, 63, 64, 100])
@pytest.mark.parametrize("step, length", [(2, 1000), (CONTAINER, 1000), (CONTAINER, 70)],
                         ids=["full-container", "sparse", "sparse-short-run"])
def test_construction_joins_a_run_cut_by_a_block_edge(cut, step, length):
    """A run that the edge of a block of the input cuts after `cut` of its positions is still added as
    one range: sorted input, read block by block, builds the same bytes as the same input unsorted.
    With one position per container before it, the bucket stays sparse up to the run, and a run of
    70 has fewer than 64 positions on either side of some cuts."""
    before = np.arange(0, step * (READ_BLOCK - cut), step, dtype=np.uint64)  # the first block, up to the cut
    run = np.arange(BUCKET // 2, BUCKET // 2 + length, dtype=np.uint64)  # opens a container of its own
    values = np.concatenate([before, run, run[-1] + 10 + 3 * np.arange(10, dtype=np.uint64)])
    built = Bitmap(values)
    assert np.array_equal(built.index_array(), values)
    unsorted = Bitmap(values[::-1].copy())
    for portable in (True, False):
        assert persisted(built, portable, prepare=False) == persisted(unsorted, portable, prepare=False)


def test_index_array_of_empty_bitmap():
    out = Bitmap().index_array()
    assert out.shape == (0,) and out.dtype == np.uint64


def test_index_array_of_dense_ranges():
    b = Bitmap()
    b.set(BUCKET - 70000, BUCKET + 70000)
    assert np.array_equal(b.index_array(), np.arange(BUCKET - 70000, BUCKET + 70000, dtype=np.uint64))


def expected_mask(members, invert, relative):
    low = min(members) if relative else 0
    mask = np.full(max(members) - low + 1, invert)
    mask[[m - low for m in members]] = not invert
    return mask


# Bitset containers that lie wholly inside the mask, and ones that the mask's ends cut.
BITSETS = sorted(np.random.default_rng(5).choice(np.arange(60000, 270000), 120000, replace=False).tolist())
# Runs, one across a container edge, between arrays.
RUNS = list(range(10, 300)) + [400, 900] + list(range(65500, 65600)) + [70200] + list(range(70300, 71000))
MASK_CASES = [(members, relative)
              for members in ([2, 4, 5], [0], [7, 70000, 70001, 200000], [BUCKET - 3, BUCKET + 2], BITSETS, RUNS)
              for relative in (True, False) if relative or max(members) < 10**6]


@pytest.mark.parametrize("members, relative", MASK_CASES)
@pytest.mark.parametrize("invert", [True, False])
def test_bool_array_marks_members(members, invert, relative):
    mask = bitmap_of(members).bool_array(invert, relative)
    assert mask.dtype == np.bool_ and mask.flags.c_contiguous
    assert np.array_equal(mask, expected_mask(members, invert, relative))


def test_bool_array_of_empty_bitmap():
    mask = Bitmap().bool_array()
    assert mask.shape == (0,) and mask.dtype == np.bool_


def test_bool_array_of_full_runs():
    b = Bitmap()
    b.set(3, 200003)
    b.unset(100)
    mask = b.bool_array(invert=False)
    assert mask.sum() == 199999 and not mask[97] and mask[96]


@pytest.mark.parametrize("members, relative", [
    ([0, MAX], True), ([0, MAX], False), ([MAX], False), ([1, MAX], True), ([2**63 - 1], False),
])
def test_bool_array_too_long_for_numpy_is_refused(members, relative):
    with pytest.raises(OverflowError):
        bitmap_of(members).bool_array(relative=relative)


def test_bool_array_beyond_memory_raises_instead_of_shortening():
    with pytest.raises((MemoryError, ValueError)):
        bitmap_of([2**62]).bool_array(relative=False)


def test_iteration_skips_empty_buckets():
    b = bitmap_of([5, 2**33])
    b.unset(5)
    assert list(b) == [2**33]


def test_exhausted_iterator_keeps_stopping():
    it = iter(bitmap_of([1]))
    assert next(it) == 1
    for _ in range(3):
        with pytest.raises(StopIteration):
            next(it)


def test_a_step_that_fails_for_memory_yields_its_member_at_the_next_step():
    testcapi = pytest.importorskip("_testcapi")
    it = iter(bitmap_of([1000, 2000, 3000]))  # ints above the small-int cache: each one allocates
    assert next(it) == 1000
    failed = False
    testcapi.set_nomemory(0, 1)  # the next allocation fails: nothing may stand between it and next()
    try:
        next(it)
    except MemoryError:
        failed = True
    finally:
        testcapi.remove_mem_hooks()
    assert failed and list(it) == [2000, 3000]


def test_iterator_is_its_own_iterator():
    it = iter(bitmap_of([1, 2]))
    assert iter(it) is it and list(it) == [1, 2]


def test_iteration_crosses_many_batches_and_buckets():
    members = list(range(0, 300)) + list(range(BUCKET - 100, BUCKET + 100)) + [MAX]
    assert list(bitmap_of(members)) == members


MUTATIONS = [
    ("set", lambda b: b.set(10**6)),
    ("set existing", lambda b: b.set(1)),
    ("unset", lambda b: b.unset(2)),
    ("flip", lambda b: b.flip(3, None)),
    ("set range", lambda b: b.set(BUCKET - 5, 2 * BUCKET + 5)),
    ("unset range", lambda b: b.unset(0, 5 * BUCKET)),
    ("flip range", lambda b: b.flip(BUCKET - 9, BUCKET + 9)),
    ("__init__ again", lambda b: b.__init__(np.array([1, 2, 3], dtype=np.uint64))),
    ("__setstate__ again", lambda b: b.__setstate__(b.__getstate__())),
]


@pytest.mark.parametrize("name, mutate", MUTATIONS, ids=[m[0] for m in MUTATIONS])
def test_changing_the_bitmap_during_iteration_raises(name, mutate):
    b = bitmap_of(list(range(1, 500)) + [BUCKET + 1, 3 * BUCKET])
    it = iter(b)
    assert next(it) == 1
    mutate(b)
    for _ in range(2):
        with pytest.raises(RuntimeError, match="changed during iteration"):
            next(it)
    assert list(itertools.islice(iter(b), 3)) == [b.nth(i) for i in range(min(3, len(b)))]


def test_reads_do_not_disturb_iteration():
    b = bitmap_of([1, 2, BUCKET])
    seen = []
    for member in b:
        seen.append(member)
        b.contains(member + 1)
        b.any(0, 10)
        b.index_array()
    assert seen == [1, 2, BUCKET]
