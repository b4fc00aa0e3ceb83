"""Python protocols beside the binding tables: text form, pickling and copying of both classes."""
import copy
import pickle

import pytest

from _quorvel_rec_extension import Bitmap, MemoryScanner
from conftest import BOUNDARY_POSITIONS, BUCKET, MAX, bitmap_of

MEMBER_SETS = {
    "empty": [],
    "one": [7],
    "bucket boundaries": BOUNDARY_POSITIONS,  # exactly ten members: shown whole
    "eleven": BOUNDARY_POSITIONS + [3 * BUCKET],
    "only a high bucket": [MAX],
    "thousand": list(range(0, 3000, 3)),
}
PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def expected_repr(members):
    """The text form as users are promised it: the first ten members, then '...' and the count."""
    members = sorted(members)
    if len(members) <= 10:
        return f"Bitmap({members})"
    return f"Bitmap([{', '.join(map(str, members[:10]))}, ...], cardinality={len(members)})"


class TestRepr:
    @pytest.mark.parametrize("members", MEMBER_SETS.values(), ids=MEMBER_SETS.keys())
    def test_matches_the_model(self, members):
        assert repr(bitmap_of(members)) == expected_repr(members)

    def test_shown_as_a_list_of_ints(self):
        assert repr(bitmap_of([3, 5, 4294967297])) == "Bitmap([3, 5, 4294967297])"

    def test_huge_bitmap_is_shown_without_walking_its_members(self):
        b = Bitmap()
        b.set(BUCKET - 5, 2**40)  # 2^40 - 2^32 + 5 members: a full walk would never end
        shown = ", ".join(str(BUCKET - 5 + i) for i in range(10))
        assert repr(b) == f"Bitmap([{shown}, ...], cardinality={2**40 - BUCKET + 5})"

    def test_empty_buckets_do_not_show(self):
        b = bitmap_of([1, BUCKET])
        b.unset(1)
        assert repr(b) == f"Bitmap([{BUCKET}])"

    def test_scanner(self):
        assert repr(MemoryScanner()) == "MemoryScanner()"


class TestPickle:
    @pytest.mark.parametrize("protocol", PROTOCOLS)
    @pytest.mark.parametrize("members", MEMBER_SETS.values(), ids=MEMBER_SETS.keys())
    def test_round_trip_keeps_the_members(self, members, protocol):
        loaded = pickle.loads(pickle.dumps(bitmap_of(members), protocol=protocol))
        assert type(loaded) is Bitmap
        assert list(loaded) == sorted(members)

    def test_state_is_the_portable_persisted_form(self):
        b = bitmap_of(BOUNDARY_POSITIONS)
        buffer = bytearray(b.persisted_size(True, False, False))
        written = b.write(buffer, portable=True)
        assert b.__getstate__() == bytes(buffer[:written])
        assert not hasattr(b, "__dict__")

    def test_empty_buckets_survive(self):
        both = bitmap_of([1, BUCKET + 1]) & bitmap_of([2, BUCKET + 2])  # two empty buckets remain
        loaded = pickle.loads(pickle.dumps(both))
        assert loaded.persisted_size(True, False, False) == both.persisted_size(True, False, False)
        assert loaded.empty

    def test_pickling_neither_compresses_nor_invalidates_iterators(self):
        # runs of 63 (short of the constructor's run threshold): bitsets that run optimisation would shrink
        b = bitmap_of([i for i in range(100_000) if i % 64])
        plain_size = b.persisted_size(True, False, False)
        members = iter(b)
        assert next(members) == 1
        pickle.dumps(b)
        assert next(members) == 2  # the modification stamp did not move
        assert b.persisted_size(True, False, False) == plain_size
        assert b.persisted_size(True, True, False) < plain_size  # optimisation would have shown

    @pytest.mark.parametrize("state, error, message", [
        (b"", ValueError, "persisted form truncated: 0 bytes, the bucket count alone needs 8"),
        ((1).to_bytes(8, "little"), ValueError, "persisted form claims 1 buckets, but its 8 bytes hold at most 0"),
        # one record, key 0, an 8-byte payload that is no portable Roaring form
        ((1).to_bytes(8, "little") + bytes(4) + (8).to_bytes(8, "little") + b"\xff" * 8, RuntimeError,
         "failed alloc while reading"),
    ])
    def test_corrupt_state_raises(self, state, error, message):
        with pytest.raises(error, match=message):
            Bitmap.__new__(Bitmap).__setstate__(state)

    @pytest.mark.parametrize("protocol", PROTOCOLS)
    def test_scanner_pickles_as_a_fresh_scanner(self, protocol):
        used = MemoryScanner()
        used.scan(b'{"a":1}\n' * 100)
        loaded = pickle.loads(pickle.dumps(used, protocol=protocol))
        assert type(loaded) is MemoryScanner
        assert loaded.scan(b'{"a":1}\n{"b":') == MemoryScanner().scan(b'{"a":1}\n{"b":')


class TestCopy:
    @pytest.mark.parametrize("make_copy", [copy.copy, copy.deepcopy, Bitmap.copy])
    def test_copies_are_independent(self, make_copy):
        original = bitmap_of(BOUNDARY_POSITIONS)
        duplicate = make_copy(original)
        assert duplicate == original and duplicate is not original
        duplicate.set(12345)
        original.unset(MAX)
        assert list(duplicate) == sorted(set(BOUNDARY_POSITIONS) | {12345})
        assert list(original) == sorted(set(BOUNDARY_POSITIONS) - {MAX})

    def test_deepcopy_keeps_shared_references_shared(self):
        b = bitmap_of([1, 2])
        pair = copy.deepcopy([b, b])
        assert pair[0] is pair[1] and pair[0] is not b

    def test_scanner_copy_is_usable(self):
        assert copy.copy(MemoryScanner()).scan(b"1 2 3") == (3, 5)
