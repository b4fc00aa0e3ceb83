"""Streams an NDJSON event log through MemoryScanner in fixed-size chunks and keeps a Bitmap of
the ordinals of the records that carry an "error" field; checks both against orjson."""
import argparse
import re
import sys
import time
from pathlib import Path

import numpy as np
import orjson

from _quorvel_rec_extension import Bitmap, MemoryScanner

CHUNK_SIZE = 16 << 20
DEFAULT_LOG = Path(__file__).resolve().parent / "data" / "events-seed7.ndjson"
TARGET_SIZE = 210 << 20
BLOCK = 100_000  # records generated per block
ERROR_KEY = re.compile(rb'"error":')

PATHS = ["/", "/login", "/cart", "/search?q=caf\u00e9", "/api/v1/items", "/checkout", "/\u00fcber-uns"]
LEVELS = ["info", "warn", "error"]
PLAIN = '{"ts":%d,"user":%d,"level":"%s","path":"%s","ms":%d,"tags":["web","v2"]}'
WITH_ERROR = '{"ts":%d,"user":%d,"level":"%s","path":"%s","ms":%d,"error":{"code":%d,"message":"upstream failed"}}'


def generate(path, seed=7):
    """Writes a reproducible log of at least TARGET_SIZE bytes; about 4% of records have "error"."""
    rng = np.random.default_rng(seed)
    path.parent.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    written, ts = 0, 1_700_000_000_000
    with open(partial, "wb") as out:
        while written < TARGET_SIZE:
            stamps = (ts + np.cumsum(rng.integers(1, 50, BLOCK))).tolist()
            ts = stamps[-1]
            users = rng.integers(0, 1_000_000, BLOCK).tolist()
            levels = rng.choice(len(LEVELS), BLOCK, p=[0.85, 0.11, 0.04]).tolist()
            paths = rng.integers(0, len(PATHS), BLOCK).tolist()
            millis = rng.integers(1, 5000, BLOCK).tolist()
            codes = rng.choice([500, 502, 503, 504], BLOCK).tolist()
            lines = [
                WITH_ERROR % (t, u, LEVELS[lv], PATHS[p], ms, c) if lv == 2 else PLAIN % (t, u, LEVELS[lv], PATHS[p], ms)
                for t, u, lv, p, ms, c in zip(stamps, users, levels, paths, millis, codes)
            ]
            block = ("\n".join(lines) + "\n").encode()
            out.write(block)
            written += len(block)
    partial.rename(path)


def progress(done, total, started):
    width = 40
    filled = width * done // max(total, 1)
    rate = done / max(time.perf_counter() - started, 1e-9) / 1e6
    sys.stderr.write(f"\r  [{'#' * filled}{'.' * (width - filled)}] {done / 1e6:7.1f}/{total / 1e6:.1f} MB {rate:6.0f} MB/s")
    sys.stderr.flush()


def error_ordinals(covered, first_ordinal):
    """Ordinals of the lines of `covered` (complete NDJSON records) that contain an "error" key.
    `covered` may open with the newline that ended the previous chunk's last record."""
    start = 0
    while start < len(covered) and covered[start] in b" \t\r\n":
        start += 1
    covered = covered[start:]
    hits = np.fromiter((m.start() for m in ERROR_KEY.finditer(covered)), dtype=np.int64)
    if hits.size == 0:
        return np.empty(0, dtype=np.uint64)
    newlines = np.flatnonzero(np.frombuffer(covered, dtype=np.uint8) == 0x0A)
    lines = np.unique(np.searchsorted(newlines, hits))
    return (lines + first_ordinal).astype(np.uint64)


def scan_file(path):
    """(documents, ordinals array, bytes left uncovered, seconds in scan, seconds in all) for a
    chunked scan of `path`."""
    total = path.stat().st_size
    scanner, documents, tail, found, done, in_scan = MemoryScanner(), 0, b"", [], 0, 0.0
    started = time.perf_counter()
    with open(path, "rb") as source:
        while chunk := source.read(CHUNK_SIZE):
            done += len(chunk)
            buffer = tail + chunk
            before = time.perf_counter()
            count, consumed = scanner.scan(buffer)
            in_scan += time.perf_counter() - before
            found.append(error_ordinals(memoryview(buffer)[:consumed], documents))
            documents += count
            tail = buffer[consumed:]
            progress(done, total, started)
    seconds = time.perf_counter() - started
    sys.stderr.write("\n")
    return documents, np.concatenate(found) if found else np.empty(0, np.uint64), len(tail), in_scan, seconds


def independent_count(path):
    """Records, records with an "error" key and unparsable lines, by orjson, one line at a time."""
    records = with_error = unparsable = 0
    with open(path, "rb") as source:
        for line in source:
            if line.strip():
                try:
                    record = orjson.loads(line)
                except orjson.JSONDecodeError:
                    unparsable += 1
                    continue
                records += 1
                with_error += isinstance(record, dict) and "error" in record
    return records, with_error, unparsable


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--file", type=Path, help=f"NDJSON file to scan (default: generated {DEFAULT_LOG.name})")
    args = parser.parse_args()
    path = args.file or DEFAULT_LOG
    if args.file is None and not path.exists():
        started = time.perf_counter()
        print(f"generating {path.name} ...", file=sys.stderr)
        generate(path)
        print(f"  generated {path.stat().st_size / 1e6:.0f} MB in {time.perf_counter() - started:.1f} s", file=sys.stderr)

    size = path.stat().st_size
    print(f"scanning {path} ({size / 1e6:.1f} MB) in {CHUNK_SIZE >> 20} MiB chunks", file=sys.stderr)
    documents, ordinals, left, in_scan, seconds = scan_file(path)
    errors = Bitmap(ordinals)

    started = time.perf_counter()
    records, with_error, unparsable = independent_count(path)
    check_seconds = time.perf_counter() - started

    members = errors.index_array()
    mask = errors.bool_array(invert=False, relative=False)
    print(f"documents (MemoryScanner)   {documents:,}  scan calls {in_scan:.2f} s = {size / in_scan / 1e6:,.0f} MB/s,"
          f" whole pass with reading and the Bitmap {seconds:.2f} s = {size / seconds / 1e6:,.0f} MB/s"
          f"{f', {left} bytes left uncovered' if left else ''}")
    print(f"documents (orjson per line) {records:,}  in {check_seconds:.2f} s = {size / check_seconds / 1e6:,.0f} MB/s"
          f"  -> {'match' if records == documents else 'MISMATCH'}"
          f"{f', {unparsable} unparsable lines' if unparsable else ''}")
    print(f'records with an "error" key: cardinality {errors.cardinality:,} (orjson: {with_error:,}'
          f" -> {'match' if with_error == errors.cardinality else 'MISMATCH'})")
    print(f"  first {errors.first}, last {errors.last}, first members {members[:5].tolist()}")
    print(f"  index_array: {members.dtype}[{members.size:,}], mean gap {np.diff(members).mean():.1f}" if members.size > 1
          else f"  index_array: {members.dtype}[{members.size}]")
    print(f"  bool_array:  bool[{mask.size:,}], {int(mask.sum()):,} true ({mask.mean():.2%} of records up to the last)"
          if mask.size else "  bool_array:  bool[0]")
    if records != documents or with_error != errors.cardinality:
        sys.exit("the scanner's counts disagree with orjson's")


if __name__ == "__main__":
    main()
