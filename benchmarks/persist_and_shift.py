"""Times write/read of a 10-million-member Bitmap and shows that contract/expand cost depends on
the buckets from the position's bucket up, not on the lower ones.

Run: .venv/bin/python benchmarks/persist_and_shift.py
Data is seeded; every result is checked against a NumPy reference before it is timed.
pyroaring's 32-bit BitMap over the same members (one bucket) is the baseline for persistence.
"""
import time

import numpy as np
import pyroaring
from _quorvel_rec_extension import Bitmap

SPAN = 2**32
MEMBERS = 10_000_000


def best_of(runs, action, setup=lambda: None):
    """Best wall time of `runs` calls of action(setup()); releasing the result is not timed."""
    times = []
    for _ in range(runs):
        argument = setup()
        start = time.perf_counter()
        result = action(argument)
        times.append(time.perf_counter() - start)
        del result
    return min(times)


def persistence(label, positions):
    bitmap = Bitmap(positions)
    expected = np.unique(positions)
    print(f"{label}: {len(expected):,} members in {len(np.unique(expected >> 32))} buckets")
    timings = {}
    for portable in (True, False):
        size = bitmap.persisted_size(portable)
        buffer = bytearray(size)
        assert bitmap.write(buffer, portable) == size
        assert np.array_equal(Bitmap.read(buffer, portable).index_array(), expected)
        write = best_of(5, lambda _: bitmap.write(buffer, portable))
        read = best_of(5, lambda _: Bitmap.read(buffer, portable))
        print(f"  {'portable' if portable else 'native  '} {size / 2**10:9.1f} KiB  "
              f"write {write * 1e3:8.3f} ms  read {read * 1e3:8.3f} ms")
        timings[portable] = write, read
    return timings[True]


def baseline(positions):
    values = np.unique(positions).astype(np.uint32)
    bitmap = pyroaring.BitMap(values)
    bitmap.run_optimize()
    blob = bitmap.serialize()
    assert np.array_equal(np.frombuffer(pyroaring.BitMap.deserialize(blob).to_array(), dtype=np.uint32), values)
    write = best_of(5, lambda _: bitmap.serialize())
    read = best_of(5, lambda _: pyroaring.BitMap.deserialize(blob))
    print(f"  pyroaring.BitMap (one 32-bit bitmap, portable) write {write * 1e3:8.3f} ms  read {read * 1e3:8.3f} ms")
    return write, read


def shifts(rng):
    low = rng.integers(0, 4 * SPAN, MEMBERS, dtype=np.uint64)  # buckets 0-3, 10 million members
    high = (10 * SPAN + rng.integers(0, 1 << 20, 1000, dtype=np.uint64))  # bucket 10, 1000 members
    positions = np.unique(np.concatenate([low, high]))
    source = Bitmap(positions)
    print(f"\ncontract/expand by 5 on {len(positions):,} members (buckets 0-3 full of members, bucket 10 small)")
    for label, position in (("position in bucket 10", 10 * SPAN + 500), ("position in bucket 0", 500)):
        above = positions[positions > position]
        expected = np.concatenate([positions[positions <= position - 5], above - 5])
        check = source.copy()
        check.contract(position, 5)
        assert np.array_equal(check.index_array(), expected)
        contract = best_of(3, lambda b: b.contract(position, 5), source.copy)
        expanded = np.concatenate([positions[positions < position], positions[positions >= position] + 5])
        check = source.copy()
        check.expand(position, 5)
        assert np.array_equal(check.index_array(), expanded)
        expand = best_of(3, lambda b: b.expand(position, 5), source.copy)
        print(f"  {label:22} contract {contract * 1e3:8.3f} ms  expand {expand * 1e3:8.3f} ms")


def main():
    rng = np.random.default_rng(20240611)
    one_bucket = rng.integers(0, SPAN, MEMBERS, dtype=np.uint64)
    ours = persistence("random in bucket 0", one_bucket)
    theirs = baseline(one_bucket)
    print(f"  ratio to pyroaring: write x{ours[0] / theirs[0]:.2f}, read x{ours[1] / theirs[1]:.2f} (portable)")
    persistence("random over 16 buckets", rng.integers(0, 16 * SPAN, MEMBERS, dtype=np.uint64))
    persistence("runs (100 runs of 100,000)", np.concatenate(
        [np.arange(s, s + 100_000, dtype=np.uint64) for s in rng.integers(0, 64 * SPAN, 100, dtype=np.uint64)]))
    shifts(rng)


if __name__ == "__main__":
    main()
