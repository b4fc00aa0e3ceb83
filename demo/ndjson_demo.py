"""Counts the documents of an NDJSON event log in one pass with quorvel_ndjson and keeps a Bitmap of
the numbers of the lines that carry an "error" field; checks both against orjson, line by line."""
import argparse
import re
import sys
import time
from pathlib import Path

import numpy as np
import orjson

from _quorvel_rec_extension import Bitmap
from quorvel_ndjson import DEFAULT_CHUNK_SIZE, count_ndjson

DEFAULT_LOG = Path(__file__).resolve().parent / "data" / "events-seed7.ndjson"
TARGET_SIZE = 210 << 20
BLOCK = 100_000  # records generated per block
ERROR_KEY = re.compile(rb'"error":')
BOM = b"\xef\xbb\xbf"
SHOWN_BAD_LINES = 20

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


def error_ordinals(lines, first_ordinal):
    """Ordinals of the lines of `lines` (complete lines, the first one numbered `first_ordinal`)
    that contain an "error" key."""
    hits = np.fromiter((m.start() for m in ERROR_KEY.finditer(lines)), dtype=np.int64)
    if hits.size == 0:
        return np.empty(0, dtype=np.uint64)
    newlines = np.flatnonzero(np.frombuffer(lines, dtype=np.uint8) == 0x0A)
    return (np.unique(np.searchsorted(newlines, hits)) + first_ordinal).astype(np.uint64)


def scan_file(path, chunk_size=DEFAULT_CHUNK_SIZE):
    """(count_ndjson's result, ordinals of the lines with an "error" key less the bad lines that the
    result lists, seconds in all, seconds of them finding the keys) for one pass over `path` with a
    progress line."""
    found, finding = [], [0.0]

    def collect(lines, first_line):
        started = time.perf_counter()
        found.append(error_ordinals(lines, first_line - 1))
        finding[0] += time.perf_counter() - started

    started = time.perf_counter()
    result = count_ndjson(path, chunk_size=chunk_size, progress=True, on_lines=collect)
    seconds = time.perf_counter() - started
    bad = {bad_line.line - 1 for bad_line in result.bad_lines}
    ordinals = np.concatenate(found) if found else np.empty(0, np.uint64)
    return result, ordinals[~np.isin(ordinals, list(bad))] if bad else ordinals, seconds, finding[0]


def independent_count(path):
    """Records, records with an "error" key and unparsable lines, by orjson, one line at a time."""
    records = with_error = unparsable = 0
    with open(path, "rb") as source:
        for number, line in enumerate(source):
            while number == 0 and line.startswith(BOM):  # as the scan skips marks opening the input
                line = line[len(BOM):]
            if line.strip():
                try:
                    record = orjson.loads(line)
                except orjson.JSONDecodeError:
                    unparsable += 1
                    continue
                records += 1
                with_error += isinstance(record, dict) and "error" in record
    return records, with_error, unparsable


def rate(size, seconds):
    return f"{size / max(seconds, 1e-9) / 1e6:,.0f} MB/s"


def bad_line_numbers(result):
    """The numbers of the first SHOWN_BAD_LINES bad lines, "..." after them if there are more."""
    shown = ", ".join(f"{bad.line:,}" for bad in result.bad_lines[:SHOWN_BAD_LINES])
    return shown + (", ..." if result.bad_line_count > SHOWN_BAD_LINES else "")


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

    try:
        result, ordinals, seconds, finding = scan_file(path)
        if result.bad_line_count * 2 > result.lines:
            sys.exit(f"{path} is not NDJSON: {result.bad_line_count:,} of its {result.lines:,} lines are bad (lines "
                     f"{bad_line_numbers(result)}); {result.documents:,} documents on the others")
        started = time.perf_counter()
        records, with_error, unparsable = independent_count(path)
        check_seconds = time.perf_counter() - started
    except OSError as error:
        sys.exit(f"cannot read {path}: {error.strerror or error}")
    except MemoryError:
        sys.exit(f"cannot read {path}: out of memory (a line too long to hold?)")

    errors = Bitmap(ordinals)
    members = errors.index_array()
    mask = errors.bool_array(invert=False, relative=False)
    size = result.bytes_read
    print(f"documents (quorvel_ndjson)  {result.documents:,} in {result.lines:,} lines, {seconds:.2f} s = "
          f"{rate(size, seconds)} (one pass in {DEFAULT_CHUNK_SIZE >> 20} MiB reads, {finding:.2f} s of it finding "
          f'"error" keys: {rate(size, seconds - finding)} without); '
          + (f"{result.bad_line_count:,} bad lines: {bad_line_numbers(result)}" if result.bad_line_count
             else "no bad lines"))
    print(f"documents (orjson per line) {records:,} in {check_seconds:.2f} s = {rate(size, check_seconds)}"
          f"  -> {'match' if records == result.documents else 'MISMATCH'}"
          f"{f', {unparsable:,} lines it cannot parse' if unparsable else ''}")
    print(f'lines with an "error" key: cardinality {errors.cardinality:,} (orjson: {with_error:,}'
          f" -> {'match' if with_error == errors.cardinality else 'MISMATCH'})")
    print(f"  first {errors.first}, last {errors.last}, first members {members[:5].tolist()}")
    print(f"  index_array: {members.dtype}[{members.size:,}], mean gap {np.diff(members).mean():.1f}" if members.size > 1
          else f"  index_array: {members.dtype}[{members.size}]")
    print(f"  bool_array:  bool[{mask.size:,}], {int(mask.sum()):,} true ({mask.mean():.2%} of lines up to the last)"
          if mask.size else "  bool_array:  bool[0]")
    if records != result.documents or with_error != errors.cardinality:
        sys.exit("the reader's counts disagree with orjson's")


if __name__ == "__main__":
    main()
