"""The persisted form: worked bytes, round trips, committed blobs, and hostile input."""
import pathlib
import random

import numpy as np
import pytest
from _quorvel_rec_extension import Bitmap

from persisted_records import SPAN, bucket_keys, members_of_form, persisted

MAX = 2**64 - 1
DATA = pathlib.Path(__file__).parent / "data"
VARIANTS = pytest.mark.parametrize("portable", [True, False], ids=["portable", "native"])
EMPTY_PORTABLE = bytes.fromhex("3a30000000000000")
EMPTY_NATIVE = bytes.fromhex("0100000000")


def bitmap_of(members, empty_buckets=()):
    bitmap = Bitmap(np.array(members, dtype=np.uint64))
    for key in empty_buckets:
        bitmap.set(key * SPAN)
        bitmap.unset(key * SPAN)
    return bitmap


def form(*records_, count=None):
    """A persisted form assembled by hand from (key, payload) records."""
    head = (len(records_) if count is None else count).to_bytes(8, "little")
    return head + b"".join(k.to_bytes(4, "little") + len(p).to_bytes(8, "little") + p for k, p in records_)


# Recipes of the committed blobs in tests/data: (members, keys of extra empty buckets).
RECIPES = {
    "mixed": (sorted({0, 1, 2, 65535, 65536, SPAN - 1, SPAN + 7, 2**40 + 5, MAX}
                     | set(range(1000, 6000)) | set(range(2 * SPAN, 2 * SPAN + 15000, 3))), [3, 9]),
    "empty_buckets": ([], [1, 2, 2**32 - 1]),
}
GOLDEN = [(name, portable) for name in RECIPES for portable in (True, False)]


def golden_blob(name, portable):
    return (DATA / f"{name}.{'portable' if portable else 'native'}.bin").read_bytes()


class TestWorkedBytes:
    def test_fresh_bitmap(self):
        buffer = bytearray(28)
        assert Bitmap().persisted_size() == 28 and Bitmap().persisted_size(False) == 25
        assert Bitmap().write(buffer) == 28
        assert bytes(buffer) == form((0, EMPTY_PORTABLE))

    @VARIANTS
    def test_single_member(self, portable):
        payload = bytes.fromhex("3a300000 01000000 0000 0000 10000000 0100" if portable else "01 01000000 01000000")
        bitmap = bitmap_of([1])
        assert bitmap.persisted_size(portable) == 12 + 8 + len(payload)
        assert persisted(bitmap, portable) == form((0, payload))


class TestRoundTrip:
    @VARIANTS
    @pytest.mark.parametrize("seed", range(8))
    def test_random_bitmaps(self, portable, seed):
        rng = random.Random(seed)
        keys = [rng.choice([0, 1, 2, 7, 2**31, 2**32 - 1]) for _ in range(4)]
        members = {k * SPAN + rng.choice([0, 1, SPAN - 1, rng.randrange(SPAN)]) for k in keys for _ in range(20)}
        bitmap = bitmap_of(sorted(members), empty_buckets=[rng.randrange(2**32)])
        start = rng.choice(keys) * SPAN + rng.randrange(SPAN - 70000)
        bitmap.set(start, start + rng.randrange(70000))
        blob = persisted(bitmap, portable)
        loaded = Bitmap.read(blob, portable)
        assert list(loaded) == list(bitmap) == members_of_form(blob, portable)
        assert persisted(loaded, portable) == blob

    @VARIANTS
    def test_larger_buffers_keep_their_tail(self, portable):
        bitmap = bitmap_of([5, SPAN + 5])
        size = bitmap.persisted_size(portable)
        buffer = bytearray(b"\xaa" * (size + 10))
        assert bitmap.write(buffer, portable) == size
        assert buffer[size:] == b"\xaa" * 10
        assert list(Bitmap.read(buffer, portable)) == [5, SPAN + 5]

    @pytest.mark.parametrize("wrap", [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8)])
    def test_byte_buffers_of_every_kind_are_read(self, wrap):
        assert list(Bitmap.read(wrap(persisted(bitmap_of([3, MAX]))))) == [3, MAX]

    def test_persisted_size_invalidates_iterators(self):
        bitmap = bitmap_of([1, 2, 3])
        members = iter(bitmap)
        next(members)
        bitmap.persisted_size()
        with pytest.raises(RuntimeError):
            next(members)


class TestGoldenBlobs:
    @pytest.mark.parametrize("name, portable", GOLDEN)
    def test_still_loads_and_is_still_written(self, name, portable):
        members, empty = RECIPES[name]
        blob = golden_blob(name, portable)
        loaded = Bitmap.read(blob, portable)
        assert list(loaded) == members == members_of_form(blob, portable)
        assert bucket_keys(loaded) == sorted({0, *empty} | {m >> 32 for m in members})
        assert persisted(bitmap_of(members, empty), portable) == blob

    @pytest.mark.parametrize("name, portable", GOLDEN)
    def test_every_prefix_is_refused(self, name, portable):
        blob = golden_blob(name, portable)
        for end in range(len(blob)):
            with pytest.raises(ValueError, match="^persisted form"):
                Bitmap.read(blob[:end], portable)

    @pytest.mark.parametrize("portable", [True, False])
    def test_flipped_bytes_never_crash(self, portable):
        blob = golden_blob("mixed", portable)
        rng = random.Random(20240611)
        for _ in range(600):
            corrupt = bytearray(blob)
            corrupt[rng.randrange(len(blob))] ^= 1 << rng.randrange(8)
            try:
                loaded = Bitmap.read(bytes(corrupt), portable)
            except (ValueError, RuntimeError):
                continue
            # No checksum: a flip inside member data may load as other members, but consistently.
            members = list(loaded)
            assert members == sorted(set(members)) and len(loaded) == len(members)

    def test_the_other_variant_is_refused(self):
        for name, portable in GOLDEN:
            with pytest.raises(RuntimeError, match="^failed alloc while reading$"):
                Bitmap.read(golden_blob(name, portable), not portable)


class TestHostileInput:
    @pytest.mark.parametrize(
        "portable, payload",
        [
            (True, b""),
            (True, EMPTY_PORTABLE[:4]),
            (True, EMPTY_NATIVE),
            (True, bytes.fromhex("3a300000 01000000 0000 0100 10000000 0500 0300")),  # unsorted array
            (True, bytes.fromhex("3a300000 01000000 0000 0100 10000000 0500")),  # a value short
            (False, b""),
            (False, b"\x01"),
            (False, bytes.fromhex("01 02000000 07000000")),
            (False, bytes.fromhex("03 00000000")),
            (False, EMPTY_PORTABLE),
            (False, b"\x02" + EMPTY_PORTABLE[:6]),
        ],
    )
    def test_undecodable_payloads(self, portable, payload):
        with pytest.raises(RuntimeError, match="^failed alloc while reading$"):
            Bitmap.read(form((0, EMPTY_PORTABLE if portable else EMPTY_NATIVE), (4, payload)), portable)

    @pytest.mark.parametrize(
        "portable, payload",
        [(True, EMPTY_PORTABLE), (True, EMPTY_PORTABLE + b"tail"), (False, EMPTY_NATIVE),
         (False, EMPTY_NATIVE + b"\xff"), (False, b"\x02" + EMPTY_PORTABLE)],
    )
    def test_empty_payloads_give_present_empty_buckets(self, portable, payload):
        loaded = Bitmap.read(form((5, payload), (6, payload)), portable)
        assert list(loaded) == [] and bucket_keys(loaded) == [0, 5, 6]

    def test_a_repeated_key_replaces_the_earlier_record(self):
        first, second = (persisted(bitmap_of([m]))[20:] for m in (1, 2))
        assert list(Bitmap.read(form((5, first), (5, second)))) == [5 * SPAN + 2]

    @pytest.mark.parametrize(
        "blob, message",
        [
            (b"", "persisted form truncated: 0 bytes, the bucket count alone needs 8"),
            (form(count=2**64 - 1), "persisted form claims 18446744073709551615 buckets, but its 8 bytes hold at most 0"),
            (form((0, EMPTY_PORTABLE), count=2**63), "persisted form claims 9223372036854775808 buckets"),
            (form((0, EMPTY_PORTABLE), (1, EMPTY_PORTABLE), count=3) + bytes(5),
             "persisted form truncated in record 3 of 3: its 12-byte header starts at offset 48, 5 bytes remain"),
            (form((0, EMPTY_PORTABLE))[:12] + (2**64 - 1).to_bytes(8, "little") + EMPTY_PORTABLE,
             "persisted form truncated in record 1 of 1: bucket 0 claims a payload of 18446744073709551615 bytes, 8 remain"),
        ],
    )
    def test_framing_past_the_end_is_refused(self, blob, message):
        with pytest.raises(ValueError) as raised:
            Bitmap.read(blob)
        assert str(raised.value).startswith(message)


class TestWriteBuffers:
    @pytest.mark.parametrize(
        "make_buffer, error, message",
        [
            (lambda size: bytearray(b"\xaa" * (size - 1)), ValueError,
             "buffer too small for the persisted form: {size} bytes needed, {short} given"),
            (lambda size: bytearray(), ValueError, "buffer too small for the persisted form: {size} bytes needed, 0 given"),
            (lambda size: b"\xaa" * size, ValueError, "buffer is read-only"),
            (lambda size: np.full(size, 0xAAAAAAAA, dtype=np.uint32), RuntimeError, "Item size should be 1"),
        ],
    )
    @VARIANTS
    def test_refused_buffers_stay_untouched(self, make_buffer, error, message, portable):
        bitmap = bitmap_of([7, SPAN, MAX])
        size = bitmap.persisted_size(portable)
        buffer = make_buffer(size)
        before = bytes(buffer)
        with pytest.raises(error) as raised:
            bitmap.write(buffer, portable)
        assert str(raised.value) == message.format(size=size, short=size - 1)
        assert bytes(buffer) == before

    def test_read_refuses_wide_items(self):
        with pytest.raises(RuntimeError, match="^Item size should be 1$"):
            Bitmap.read(np.zeros(7, dtype=np.uint32))
