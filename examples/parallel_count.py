"""Counts the JSON documents of a large NDJSON file in parallel with Dask, and gathers the numbers of
the lines that contain a given text into one Bitmap.

The file is cut into byte ranges that start at line starts. Each Dask task counts its range with
quorvel_ndjson.count_ndjson and returns the result (documents, lines, bad lines) with a Bitmap of
its matching lines, numbered from 0 within the range. The driver shifts each partial Bitmap up by
the lines of the ranges before it and unions them, and renumbers the bad lines.

By default a local cluster of worker processes is started; --scheduler ADDRESS uses any running
Dask scheduler instead (its workers must see the file under the same path). --check also counts
the whole file in this process and compares totals, Bitmaps and times.
"""
import argparse
import contextlib
import importlib
import io
import os
import re
import sys
import time
from pathlib import Path

import numpy as np

from _quorvel_rec_extension import Bitmap
from quorvel_ndjson import DEFAULT_CHUNK_SIZE, KEPT_BAD_LINES, BadLine, NdjsonCount, count_ndjson


def line_aligned_ranges(path, parts):
    """At most `parts` non-empty byte ranges [start, end) that cover the file; every start is a
    line start (offset 0 or just after a newline)."""
    size = Path(path).stat().st_size
    cuts = [0]
    with open(path, "rb") as source:
        for part in range(1, parts):
            guess = max(size * part // parts, cuts[-1] + 1)
            if guess >= size:
                break
            source.seek(guess - 1)
            cut = guess - 1 + len(source.readline())  # just past the first newline at or after guess - 1
            if cut >= size:
                break
            cuts.append(cut)
    cuts.append(size)
    return [(start, end) for start, end in zip(cuts, cuts[1:]) if end > start]


class ByteRange(io.RawIOBase):
    """The bytes [start, end) of a file, as a binary stream."""

    def __init__(self, path, start, end):
        super().__init__()
        self._file = open(path, "rb", buffering=0)
        self._file.seek(start)
        self._left = end - start

    def readable(self):
        return True

    def readinto(self, buffer):
        with memoryview(buffer) as view:
            got = self._file.readinto(view[:min(len(view), self._left)]) if self._left else 0
        self._left -= got
        return got

    def close(self):
        self._file.close()
        super().close()


def matching_ordinals(lines, pattern):
    """Numbers, from 0, of the lines of `lines` (complete lines) in which `pattern` occurs."""
    hits = [match.start() for match in pattern.finditer(lines)]
    if not hits:
        return np.empty(0, dtype=np.uint64)
    line_ends = np.flatnonzero(np.frombuffer(lines, dtype=np.uint8) == 0x0A)
    return np.unique(np.searchsorted(line_ends, hits)).astype(np.uint64)


def scan_range(path, start, end, pattern, chunk_size=DEFAULT_CHUNK_SIZE):
    """(count_ndjson's result, Bitmap of the matching lines numbered from 0 within the range) for the
    bytes [start, end) of `path`. A range that is not the file's first is counted as an input of its
    own: a byte order mark opening it would be skipped."""
    pattern = re.compile(re.escape(pattern.encode() if isinstance(pattern, str) else pattern))
    found = []
    with ByteRange(path, start, end) as source:
        result = count_ndjson(source, chunk_size=chunk_size, on_lines=lambda lines, first_line: found.append(
            matching_ordinals(lines, pattern) + np.uint64(first_line - 1)))
    return result, Bitmap(np.concatenate(found)) if found else Bitmap()


def combine(partials, starts):
    """The file's result and one Bitmap of file-wide line numbers, from the per-range results in file
    order and the ranges' start offsets."""
    total, matches = NdjsonCount(0, 0, (), 0, 0), Bitmap()
    for (result, partial), start in zip(partials, starts):
        partial.expand(0, total.lines)  # lines of this range follow those of every range before it
        matches.inplace_union(partial)
        moved = tuple(BadLine(bad.line + total.lines, bad.offset + start) for bad in result.bad_lines)
        total = NdjsonCount(total.documents + result.documents, total.lines + result.lines,
                            (total.bad_lines + moved)[:KEPT_BAD_LINES], total.bad_line_count + result.bad_line_count,
                            total.bytes_read + result.bytes_read)
    return total, matches


def parallel_scan(client, path, pattern, parts, chunk_size):
    """Counts `path` on the Dask cluster behind `client`, one task per line-aligned range."""
    ranges = line_aligned_ranges(path, parts)
    futures = [client.submit(scan_range, str(path), start, end, pattern, chunk_size, pure=False)
               for start, end in ranges]
    return combine(client.gather(futures), [start for start, _ in ranges]), len(ranges)


def at_least_one(text):
    """An argparse type: a whole number of at least 1."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"must be a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def describe(result):
    bad = f", {result.bad_line_count:,} bad lines" if result.bad_line_count else ""
    return f"{result.documents:,} documents in {result.lines:,} lines{bad}"


@contextlib.contextmanager
def dask_client(scheduler, workers):
    """A client of the scheduler at `scheduler`, or of a new local cluster of `workers` processes
    with one thread each, closed on exit."""
    from dask.distributed import Client, LocalCluster

    if scheduler:
        with Client(scheduler) as client:
            yield client
        return
    with LocalCluster(n_workers=workers, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        client.run(importlib.import_module, "_quorvel_rec_extension")  # loaded before the first task
        yield client


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("file", type=Path, help="NDJSON file (one record per line)")
    parser.add_argument("--pattern", default='"error":', help='text that marks a matching line (default "error":)')
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=at_least_one, default=os.cpu_count(),
                        help="local worker processes (default: cores)")
    parser.add_argument("--parts", type=at_least_one,
                        help="byte ranges to cut the file into (default: 1 per worker thread)")
    parser.add_argument("--chunk-size", type=at_least_one, default=DEFAULT_CHUNK_SIZE, help="bytes read at a time")
    parser.add_argument("--check", action="store_true", help="also count in this process alone and compare")
    args = parser.parse_args()

    try:
        size = args.file.stat().st_size
    except OSError as error:
        parser.error(f"cannot read {args.file}: {error.strerror}")
    started = time.perf_counter()
    with dask_client(args.scheduler, args.workers) as client:
        threads = sum(client.nthreads().values())
        print(f"Dask: {threads} worker threads ready in {time.perf_counter() - started:.1f} s", file=sys.stderr)
        started = time.perf_counter()
        (total, matches), tasks = parallel_scan(client, args.file, args.pattern, args.parts or threads, args.chunk_size)
        parallel_seconds = time.perf_counter() - started

    print(f"{args.file} ({size / 1e6:.1f} MB): {describe(total)}, {matches.cardinality:,} matching "
          f"{args.pattern}; {tasks} tasks on {threads} worker threads in {parallel_seconds:.2f} s "
          f"({size / parallel_seconds / 1e6:,.0f} MB/s)")
    print(f"matching lines: {matches!r}")
    if not args.check:
        return 0
    started = time.perf_counter()
    single, single_matches = scan_range(args.file, 0, size, args.pattern, args.chunk_size)
    single_seconds = time.perf_counter() - started
    agree = single == total and single_matches == matches
    print(f"one process: {describe(single)}, {single_matches.cardinality:,} matching in "
          f"{single_seconds:.2f} s ({size / single_seconds / 1e6:,.0f} MB/s); speed-up "
          f"{single_seconds / parallel_seconds:.2f}x; {'match' if agree else 'MISMATCH'}")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
