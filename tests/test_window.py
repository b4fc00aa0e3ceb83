"""slice, contract and expand against worked examples and a model of their definitions."""
import random

import pytest
from _quorvel_rec_extension import Bitmap

from persisted_records import SPAN, bucket_keys

MAX = 2**64 - 1


def bitmap_of(members, empty_buckets=()):
    bitmap = Bitmap()
    for member in members:
        bitmap.set(member)
    for key in empty_buckets:
        bitmap.set(key * SPAN)
        bitmap.unset(key * SPAN)
    return bitmap


# The model: sorted members plus the set of present bucket keys. Members follow the definitions
# (contract deletes (position - by, position] and moves members above position down by `by`;
# expand moves members at or above position up by `by`); keys follow the bucket rule.
def model_slice(members, keys, start, end):
    if end >> 32 < start >> 32:
        raise RuntimeError(f"Invalid range{start}..{end}")
    if start >> 32 == end >> 32:
        new_keys = {0, start >> 32}
    else:
        new_keys = {0} | {k for k in keys if start >> 32 <= k <= end >> 32}
    return [m for m in members if start <= m < end], new_keys


def model_contract(members, keys, position, by):
    if not members:
        return members, keys
    start = position >> 32
    if (any(m >> 32 == start for m in members) and position % SPAN <= by) or any(position < m < by for m in members):
        raise ValueError("Range Out of Bounds")
    result = [m for m in members if m <= position - by] + [m - by for m in members if m > position]
    top = members[-1] >> 32
    first = start if by == 0 else max(position - by + 1, 0) >> 32
    held_before, held_after = {m >> 32 for m in members}, {m >> 32 for m in result}

    def present(k):
        if k in held_after:
            return True
        if k == start:
            return True
        if start < k <= top:
            return k in keys and k not in held_before
        return k in keys

    new_keys = {k for k in keys if not first <= k <= top} | {k for k in range(first, top + 1) if present(k)}
    return result, new_keys


def model_expand(members, keys, position, by):
    if not members or position > members[-1]:
        return members, keys
    if members[-1] + by > MAX:
        raise OverflowError(f"expand by {by} would move member {members[-1]} past 2^64 - 1")
    result = [m for m in members if m < position] + [m + by for m in members if m >= position]
    new_keys = set(keys) | {position >> 32} | {m >> 32 for m in result}
    return result, new_keys


MODELS = {"slice": model_slice, "contract": model_contract, "expand": model_expand}


def apply(bitmap, name, args):
    """Runs one operation in place (slice replaces the bitmap by its result)."""
    result = getattr(bitmap, name)(*args)
    return result if name == "slice" else bitmap


class TestWorkedExamples:
    @pytest.mark.parametrize(
        "members, name, args, expected, keys",
        [
            ([1, 5, 9], "slice", (5, 9), [5], None),
            ([1, 5, 9], "slice", (1, 10), [1, 5, 9], None),
            ([1, 5, 9], "slice", (9, 5), [], [0]),
            ([1, SPAN + 1, 2 * SPAN + 1], "slice", (1, 2 * SPAN + 1), [1, SPAN + 1], [0, 1, 2]),
            ([2 * SPAN + 1], "slice", (2 * SPAN, 2 * SPAN + 5), [2 * SPAN + 1], [0, 2]),
            ([], "slice", (2 * SPAN, 2 * SPAN + 1), [], [0, 2]),
            ([10, 20, 30], "contract", (20, 5), [10, 25], None),
            ([10, 20, 30], "contract", (18, 5), [10, 15, 25], None),
            ([1, 2, 3], "contract", (5, 3), [1, 2], [0]),
            ([SPAN + 3], "contract", (100, 10), [SPAN - 7], [0]),
            ([5, 2 * SPAN + 5], "contract", (10, 2), [5, 2 * SPAN + 3], [0, 2]),
            ([0, MAX], "contract", (5, 1), [0, MAX - 1], [0, 2**32 - 1]),
            ([0, MAX - 1], "expand", (5, 1), [0, MAX], [0, 2**32 - 1]),
            ([SPAN - 1, 2 * SPAN + 3], "contract", (SPAN + 2, 5), [2 * SPAN - 2], [0, 1]),
            ([2 * SPAN + 5], "contract", (SPAN, 2 * SPAN + 5), [0], [0, 1]),
            ([10, 20, 30], "expand", (20, 5), [10, 25, 35], None),
            ([10, 20, 30], "expand", (0, 0), [10, 20, 30], None),
            ([SPAN - 2], "expand", (0, 5), [SPAN + 3], [0, 1]),
            ([2 * SPAN], "expand", (5, 1), [2 * SPAN + 1], [0, 2]),
            ([SPAN + 1], "expand", (SPAN, SPAN), [2 * SPAN + 1], [0, 1, 2]),
            ([MAX - 1], "expand", (MAX - 1, 1), [MAX], [0, 2**32 - 1]),
            ([7, MAX], "contract", (MAX, 1), [7], [0, 2**32 - 1]),
        ],
    )
    def test_result(self, members, name, args, expected, keys):
        result = apply(bitmap_of(members), name, args)
        assert list(result) == expected
        if keys is not None:
            assert bucket_keys(result) == keys

    @pytest.mark.parametrize(
        "members, name, args, error, message",
        [
            ([1, SPAN + 1, 2 * SPAN + 1], "slice", (2 * SPAN, 5), RuntimeError, "Invalid range8589934592..5"),
            ([1, 2, 3], "contract", (2, 5), ValueError, "Range Out of Bounds"),
            ([0], "contract", (0, 0), ValueError, "Range Out of Bounds"),
            ([1, 2, 3], "contract", (6, 7), ValueError, "Range Out of Bounds"),
            ([SPAN + 9, 3 * SPAN], "contract", (SPAN + 10, 10), ValueError, "Range Out of Bounds"),
            ([2 * SPAN + 5], "contract", (SPAN, 2 * SPAN + 6), ValueError, "Range Out of Bounds"),
            ([MAX], "expand", (0, 1), OverflowError, f"expand by 1 would move member {MAX} past 2^64 - 1"),
            ([5, MAX - 1], "expand", (5, 2), OverflowError, f"expand by 2 would move member {MAX - 1} past 2^64 - 1"),
        ],
    )
    def test_failure_leaves_bitmap_unchanged(self, members, name, args, error, message):
        bitmap = bitmap_of(members, empty_buckets=[4])
        keys = bucket_keys(bitmap)
        with pytest.raises(error) as raised:
            getattr(bitmap, name)(*args)
        assert str(raised.value) == message
        assert list(bitmap) == members and bucket_keys(bitmap) == keys

    @pytest.mark.parametrize("name, args", [("contract", (100, 1)), ("expand", (0, 1))])
    def test_change_invalidates_iterators(self, name, args):
        bitmap = bitmap_of([1, 200, SPAN + 5])
        members = iter(bitmap)
        next(members)
        getattr(bitmap, name)(*args)
        with pytest.raises(RuntimeError):
            next(members)

    def test_slice_leaves_source_alone(self):
        bitmap = bitmap_of([1, SPAN + 1, 2 * SPAN + 1], empty_buckets=[7])
        before = bucket_keys(bitmap)
        bitmap.slice(2, 2 * SPAN).set(3)
        assert list(bitmap) == [1, SPAN + 1, 2 * SPAN + 1] and bucket_keys(bitmap) == before


SHIFTS = [0, 1, 2, 3, SPAN - 1, SPAN, SPAN + 1, 2 * SPAN - 1, 2 * SPAN + 5]
LOWS = [0, 1, 2, 3, SPAN - 3, SPAN - 2, SPAN - 1]


def random_case(rng):
    """Members clustered around bucket boundaries of six adjacent keys, low or at the top."""
    base = rng.choice([0, 1, 2**32 - 6])
    members = sorted({(base + rng.randrange(6)) * SPAN + rng.choice(LOWS + [rng.randrange(SPAN)])
                      for _ in range(rng.randrange(2, 14))})
    empty = [base + rng.randrange(6) for _ in range(rng.randrange(2))]
    return base, [m for m in members if m >> 32 not in empty], empty


def random_position(rng, base, members):
    if members and rng.random() < 0.6:
        anchor = rng.choice(members)
    else:
        anchor = (base + rng.randrange(7)) * SPAN
    return min(MAX, max(base * SPAN, anchor + rng.choice([-2, -1, 0, 1, 2, 100])))


def random_operation(rng, base, members):
    name = rng.choice(["contract"] * 3 + ["expand"] * 3 + ["slice"])
    position = random_position(rng, base, members)
    if name == "slice":
        return name, (position, random_position(rng, base, members))
    return name, (position, rng.choice(SHIFTS + [rng.randrange(4 * SPAN), rng.randrange(50)]))


@pytest.mark.parametrize("seed", range(60))
def test_random_sequences_follow_the_model(seed):
    rng = random.Random(seed)
    base, members, empty = random_case(rng)
    bitmap = bitmap_of(members, empty)
    keys = set(bucket_keys(bitmap))
    for _ in range(12):
        name, args = random_operation(rng, base, members)
        try:
            expected = MODELS[name](members, keys, *args)
        except (RuntimeError, ValueError, OverflowError) as failure:
            with pytest.raises(type(failure)) as raised:
                getattr(bitmap, name)(*args)
            assert str(raised.value) == str(failure)
        else:
            bitmap = apply(bitmap, name, args)
            members, keys = sorted(expected[0]), set(expected[1])
        assert list(bitmap) == members, (name, args)
        assert bucket_keys(bitmap) == sorted(keys), (name, args)
