"""Rank and select: members below/above a position, the member of an ordinal, nearest members."""
import bisect
import random

import pytest

from _quorvel_rec_extension import Bitmap

BUCKET = 2**32
TOP = 2**64 - 1
EXAMPLE = (3, 5, BUCKET + 1)


def bitmap_of(members):
    bitmap = Bitmap()
    for member in members:
        bitmap.set(member)
    return bitmap


def ordinal_error(ordinal):
    return f"The ordinal value [ {ordinal}] is greater than the total cardinality"


@pytest.mark.parametrize(
    "members, method, argument, expected",
    [
        (EXAMPLE, "lower_cardinality", 5, 1),
        (EXAMPLE, "upper_cardinality", 5, 1),
        (EXAMPLE, "lower_cardinality", 0, 0),
        (EXAMPLE, "upper_cardinality", TOP, 0),
        (EXAMPLE, "lower_cardinality", BUCKET, 2),
        (EXAMPLE, "upper_cardinality", BUCKET, 1),
        (EXAMPLE, "nth", 0, 3),
        (EXAMPLE, "nth", 2, BUCKET + 1),
        (EXAMPLE, "self_or_next", 5, 5),
        (EXAMPLE, "self_or_next", 4, 5),
        (EXAMPLE, "self_or_next", 6, BUCKET + 1),
        (EXAMPLE, "self_or_previous", 4, 3),
        (EXAMPLE, "self_or_previous", BUCKET, 5),
        (EXAMPLE, "self_or_previous", BUCKET + 7, BUCKET + 1),
        ((10, BUCKET + 50), "self_or_previous", BUCKET + 20, 10),
        # No qualifying member: None, never the position itself.
        (EXAMPLE, "self_or_next", BUCKET + 2, None),
        (EXAMPLE, "self_or_next", TOP, None),
        (EXAMPLE, "self_or_previous", 2, None),
        ((), "self_or_next", 0, None),
        ((), "self_or_previous", TOP, None),
        ((TOP,), "self_or_next", TOP, TOP),
        ((TOP,), "self_or_previous", TOP - 1, None),
        ((0,), "self_or_previous", TOP, 0),
    ],
)
def test_worked_examples(members, method, argument, expected):
    assert getattr(bitmap_of(members), method)(argument) == expected


@pytest.mark.parametrize(
    "members, emptied, ordinal",
    [(EXAMPLE, (), 3), ((), (), 0), ((BUCKET,), (BUCKET,), 0), (EXAMPLE, (), TOP), ((TOP,), (), 1)],
)
def test_nth_past_the_end(members, emptied, ordinal):
    bitmap = bitmap_of(members)
    for position in emptied:
        bitmap.unset(position)
    with pytest.raises(RuntimeError) as failure:
        bitmap.nth(ordinal)
    assert str(failure.value) == ordinal_error(ordinal)
    assert list(bitmap) == sorted(set(members) - set(emptied))


def test_full_bucket_then_empty_bucket():
    bitmap = Bitmap()
    bitmap.set(0, BUCKET)
    bitmap.set(BUCKET + 9)
    bitmap.unset(BUCKET + 9)  # bucket 1 stays, empty
    bitmap.set(2 * BUCKET + 7)
    bitmap.set(2 * BUCKET + 9)
    assert bitmap.nth(BUCKET - 1) == BUCKET - 1
    assert bitmap.nth(BUCKET) == 2 * BUCKET + 7
    assert bitmap.nth(BUCKET + 1) == 2 * BUCKET + 9
    assert bitmap.lower_cardinality(2 * BUCKET + 9) == BUCKET + 1
    assert bitmap.upper_cardinality(0) == BUCKET + 1
    assert bitmap.self_or_previous(2 * BUCKET) == BUCKET - 1
    assert bitmap.self_or_next(BUCKET) == 2 * BUCKET + 7
    with pytest.raises(RuntimeError, match=r"^The ordinal value \[ 4294967298\] is greater"):
        bitmap.nth(BUCKET + 2)


def test_search_adds_no_member():
    bitmap = bitmap_of([3])
    form = bitmap.__getstate__()  # the persisted form lists every bucket, empty ones too
    assert bitmap.self_or_next(2**40) is None
    assert bitmap.self_or_previous(2**41) == 3
    assert bitmap.cardinality == 1 and bitmap == bitmap_of([3])
    assert bitmap.__getstate__() == form


@pytest.mark.parametrize("search", ["self_or_next", "self_or_previous"])
def test_search_keeps_live_iterators_valid(search):
    members = [1, 2, BUCKET * 5 + 1, BUCKET * 5 + 2]
    bitmap = bitmap_of(members)
    form = bitmap.__getstate__()
    walk = iter(bitmap)
    assert next(walk) == 1
    # Searches read only: no bucket is created for their positions, the stamp does not move.
    for position in [0, 3, BUCKET * 3, BUCKET * 5, BUCKET * 5 + 9, 2**40, TOP] + [BUCKET * k for k in range(6, 99)]:
        expected = [m for m in members if m >= position][:1] if search == "self_or_next" else \
            [m for m in members if m <= position][-1:]
        assert getattr(bitmap, search)(position) == (expected[0] if expected else None)
    assert bitmap.__getstate__() == form
    assert list(walk) == members[1:]


def random_members(rng):
    """Members clustered at the edges of buckets 0, 1, 2 and the last bucket, plus strays."""
    anchors = [0, BUCKET, 2 * BUCKET, TOP - 300]
    members = {rng.choice(anchors) + rng.randrange(-300, 301) for _ in range(rng.randrange(0, 300))}
    members |= {rng.randrange(2**64) for _ in range(rng.randrange(0, 10))}
    return sorted(m for m in members if 0 <= m <= TOP)


def probes(members):
    edges = [0, 1, BUCKET - 1, BUCKET, BUCKET + 1, 2 * BUCKET, TOP - 1, TOP]
    return sorted({p for m in members for p in (m - 1, m, m + 1) if 0 <= p <= TOP} | set(edges))


@pytest.mark.parametrize("seed", range(25))
def test_against_sorted_model(seed):
    rng = random.Random(seed)
    members = random_members(rng)
    bitmap = bitmap_of(members)
    for position in {rng.randrange(2**64) for _ in range(5)} - set(members):
        bitmap.set(position)  # leaves an empty bucket, which counts nothing
        bitmap.unset(position)
    count = len(members)
    for position in probes(members):
        below = bisect.bisect_left(members, position)
        at_or_below = bisect.bisect_right(members, position)
        lower = bitmap.lower_cardinality(position)
        upper = bitmap.upper_cardinality(position)
        assert (lower, upper) == (below, count - at_or_below)
        assert lower + upper + (position in bitmap) == bitmap.cardinality
        assert bitmap.self_or_next(position) == (members[below] if below < count else None)
        assert bitmap.self_or_previous(position) == (members[at_or_below - 1] if at_or_below else None)
    for ordinal, member in enumerate(members):
        assert bitmap.nth(ordinal) == member
        assert bitmap.nth(bitmap.lower_cardinality(member)) == member
    with pytest.raises(RuntimeError, match=r"^The ordinal value \[ %d\]" % count):
        bitmap.nth(count)
    assert list(bitmap) == members


CHANGES = {
    "set": lambda b: b.set(BUCKET + 4),
    "unset": lambda b: b.unset(5),
    "flip": lambda b: b.flip(2 * BUCKET, 2 * BUCKET + 1),
    "set range": lambda b: b.set(BUCKET - 2, BUCKET + 3),
    "unset range": lambda b: b.unset(0, BUCKET + 2),
    "flip range": lambda b: b.flip(BUCKET - 3, BUCKET + 3),
    "union": lambda b: b.inplace_union(bitmap_of([7, 3 * BUCKET])),
    "intersection": lambda b: b.inplace_intersect(bitmap_of([5, BUCKET + 1])),
    "difference": lambda b: b.inplace_difference(bitmap_of([3])),
    "symmetric difference": lambda b: b.inplace_symmetric_difference(bitmap_of([3, 9 * BUCKET])),
    "contract": lambda b: b.contract(6, 2),
    "expand": lambda b: b.expand(4, BUCKET),
    "__setstate__": lambda b: b.__setstate__(bitmap_of([11, 5 * BUCKET]).__getstate__()),
    "__init__": lambda b: b.__init__([12, 6 * BUCKET]),
}


@pytest.mark.parametrize("change", CHANGES.values(), ids=CHANGES.keys())
def test_rank_answers_follow_every_change(change):
    """Repeated rank queries answer from an index of the buckets; a change of any kind must show."""
    bitmap = bitmap_of(EXAMPLE + (BUCKET + 2,))
    for _ in range(3):  # the index is built by the second query under one state
        assert [bitmap.nth(i) for i in range(4)] == sorted(EXAMPLE + (BUCKET + 2,))
    change(bitmap)
    members = list(bitmap)
    for _ in range(3):
        assert [bitmap.nth(i) for i in range(len(members))] == members
        assert [bitmap.lower_cardinality(m) for m in members] == list(range(len(members)))
        assert [bitmap.upper_cardinality(m) for m in members] == list(range(len(members)))[::-1]
    with pytest.raises(RuntimeError):
        bitmap.nth(len(members))
