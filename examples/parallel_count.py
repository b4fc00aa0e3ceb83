"""Counts the JSON documents of a large NDJSON file in parallel with Dask, and gathers the ordinals
of the records that contain a given text into one Bitmap.

The file is cut into byte ranges that start at line starts. Each Dask task scans its range with
MemoryScanner, reading it in chunks and carrying the unfinished tail of one chunk into the next,
and returns its document count and a Bitmap of its matching records, numbered from 0 within the
range. The driver shifts each partial Bitmap up by the documents of the ranges before it and
unions them. NDJSON is assumed: one record per line, no blank lines.

By default a local cluster of worker processes is started; --scheduler ADDRESS uses any running
Dask scheduler instead (its workers must see the file under the same path). --check also scans
the whole file in this process and compares totals, Bitmaps and times.
"""
import argparse
import contextlib
import importlib
import os
import re
import sys
import time
from pathlib import Path

import numpy as np

from _quorvel_rec_extension import Bitmap, MemoryScanner

CHUNK_SIZE = 16 << 20
LEADING_WHITESPACE = re.compile(rb"\s*")


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


def matching_ordinals(buffer, covered, pattern):
    """Ordinals, counted from 0, of the records in buffer[:covered] in which `pattern` occurs.
    buffer[:covered] holds complete records, one per line, perhaps after whitespace left over from
    the previous chunk. Counts newlines between hits in place: no copy, no temporary arrays."""
    ordinals, line, counted_to = [], 0, LEADING_WHITESPACE.match(buffer, 0, covered).end()
    for hit in pattern.finditer(buffer, counted_to, covered):
        line += buffer.count(b"\n", counted_to, hit.start())
        counted_to = hit.start()
        if not ordinals or ordinals[-1] != line:
            ordinals.append(line)
    return ordinals


def scan_range(path, start, end, pattern, chunk_size=CHUNK_SIZE):
    """(documents, Bitmap of the matching records numbered from 0 within the range, bytes left
    uncovered at the range's end) for the bytes [start, end) of `path`.

    Chunks are read into one reused buffer behind the tail carried over from the previous chunk;
    the buffer grows only when a single record outgrows it."""
    pattern = re.compile(re.escape(pattern.encode() if isinstance(pattern, str) else pattern))
    scanner, documents, found = MemoryScanner(), 0, []
    buffer, held = bytearray(chunk_size), 0  # buffer[:held] is the carried tail
    with open(path, "rb") as source:
        source.seek(start)
        remaining = end - start
        while remaining > 0:
            if held == len(buffer):
                buffer.extend(bytes(len(buffer)))
            with memoryview(buffer) as view:
                got = source.readinto(view[held:held + min(len(buffer) - held, remaining)])
            if got == 0:
                break
            remaining -= got
            filled = held + got
            with memoryview(buffer)[:filled] as data:
                count, consumed = scanner.scan(data)
            found.append(np.array(matching_ordinals(buffer, consumed, pattern), dtype=np.uint64) + np.uint64(documents))
            documents += count
            held = filled - consumed
            buffer[:held] = buffer[consumed:filled]
    return documents, Bitmap(np.concatenate(found)) if found else Bitmap(), held


def combine(partials):
    """Total documents, one Bitmap of file-wide ordinals and the bytes left uncovered, from the
    per-range results in file order."""
    total, left, matches = 0, 0, Bitmap()
    for documents, partial, uncovered in partials:
        partial.expand(0, total)  # ordinals of this range follow those of every range before it
        matches.inplace_union(partial)
        total += documents
        left += uncovered
    return total, matches, left


def parallel_scan(client, path, pattern, parts, chunk_size):
    """Scans `path` on the Dask cluster behind `client`, one task per line-aligned range."""
    ranges = line_aligned_ranges(path, parts)
    futures = [client.submit(scan_range, str(path), start, end, pattern, chunk_size, pure=False)
               for start, end in ranges]
    return combine(client.gather(futures)), len(ranges)


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
    parser.add_argument("--pattern", default='"error":', help='text that marks a matching record (default "error":)')
    parser.add_argument("--scheduler", help="address of a running Dask scheduler (default: a local cluster)")
    parser.add_argument("--workers", type=int, default=os.cpu_count(), help="local worker processes (default: cores)")
    parser.add_argument("--parts", type=int, help="byte ranges to cut the file into (default: 1 per worker thread)")
    parser.add_argument("--chunk-size", type=int, default=CHUNK_SIZE, help="bytes read per scan call")
    parser.add_argument("--check", action="store_true", help="also scan in this process alone and compare")
    args = parser.parse_args()

    size = args.file.stat().st_size
    started = time.perf_counter()
    with dask_client(args.scheduler, args.workers) as client:
        threads = sum(client.nthreads().values())
        print(f"Dask: {threads} worker threads ready in {time.perf_counter() - started:.1f} s", file=sys.stderr)
        started = time.perf_counter()
        (total, matches, left), tasks = parallel_scan(client, args.file, args.pattern, args.parts or threads,
                                                      args.chunk_size)
        parallel_seconds = time.perf_counter() - started

    print(f"{args.file} ({size / 1e6:.1f} MB): {total:,} documents, {matches.cardinality:,} matching "
          f"{args.pattern}; {tasks} tasks on {threads} worker threads in {parallel_seconds:.2f} s "
          f"({size / parallel_seconds / 1e6:,.0f} MB/s){f', {left} bytes left uncovered' if left else ''}")
    print(f"matching records: {matches!r}")
    if not args.check:
        return 0
    started = time.perf_counter()
    single_total, single_matches, single_left = scan_range(args.file, 0, size, args.pattern, args.chunk_size)
    single_seconds = time.perf_counter() - started
    agree = (single_total, single_left) == (total, left) and single_matches == matches
    print(f"one process: {single_total:,} documents, {single_matches.cardinality:,} matching in "
          f"{single_seconds:.2f} s ({size / single_seconds / 1e6:,.0f} MB/s); speed-up "
          f"{single_seconds / parallel_seconds:.2f}x; {'match' if agree else 'MISMATCH'}")
    return 0 if agree else 1


if __name__ == "__main__":
    sys.exit(main())
