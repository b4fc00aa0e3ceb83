"""examples/parallel_count.py: line-aligned ranges, chunked range scans with the carried tail, the
driver's shift-and-union, and a run on a local Dask cluster, all against a per-line Python model."""
import json
import random
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import load_script

EXAMPLE = Path(__file__).resolve().parents[1] / "examples" / "parallel_count.py"
PATTERN = '"error":'
example = load_script(EXAMPLE, "parallel_count")


def write_log(path, records, seed=11, final_newline=True):
    """An NDJSON file of `records` seeded records of varied length; returns its lines."""
    rng = random.Random(seed)
    lines = []
    for i in range(records):
        record = {"i": i, "path": "/caf\u00e9/" + "x" * rng.randrange(0, 120), "ms": rng.randrange(10**6)}
        if rng.random() < 0.1:
            record["error"] = {"code": rng.choice([500, 503]), "message": "upstream failed"}
        lines.append(json.dumps(record, ensure_ascii=rng.random() < 0.5).encode())
    path.write_bytes(b"\n".join(lines) + (b"\n" if final_newline else b""))
    return lines


def model_matches(lines):
    return [i for i, line in enumerate(lines) if PATTERN.encode() in line]


@pytest.fixture(scope="module")
def log(tmp_path_factory):
    path = tmp_path_factory.mktemp("log") / "events.ndjson"
    return path, write_log(path, 3000)


@pytest.mark.parametrize("parts", [1, 2, 3, 7, 64, 10_000])
def test_ranges_cover_the_file_and_start_at_line_starts(log, parts):
    path, _ = log
    data = path.read_bytes()
    ranges = example.line_aligned_ranges(path, parts)
    assert 1 <= len(ranges) <= parts
    assert ranges[0][0] == 0 and ranges[-1][1] == len(data)
    assert all(end > start for start, end in ranges)
    assert all(prev_end == start for (_, prev_end), (start, _) in zip(ranges, ranges[1:]))
    assert all(data[start - 1:start] == b"\n" for start, _ in ranges[1:])


# Small chunks cut records, and also fall between a record's closing brace and its newline.
@pytest.mark.parametrize("chunk_size", [5, 64, 1000, 1 << 20])
def test_range_scan_with_carried_tail_matches_the_model(log, chunk_size):
    path, lines = log
    documents, matches, left = example.scan_range(path, 0, path.stat().st_size, PATTERN, chunk_size)
    assert (documents, left) == (len(lines), 0)
    assert list(matches) == model_matches(lines)


def test_chunk_starting_with_the_newline_of_the_previous_record(tmp_path):
    path = tmp_path / "cut.ndjson"
    # 9-byte chunks: '{"ok":10}', then '\n{"x":22}' (a whole record after the carried-over newline), ...
    path.write_bytes(b'{"ok":10}\n{"x":22}\n{"ok":3}\n{"x":4}\n')
    documents, matches, left = example.scan_range(path, 0, path.stat().st_size, '"x":', 9)
    assert (documents, list(matches), left) == (4, [1, 3], 0)


@pytest.mark.parametrize("parts", [2, 5, 40])
def test_partial_bitmaps_shifted_and_joined_equal_one_scan(log, parts):
    path, lines = log
    partials = [example.scan_range(path, start, end, PATTERN, 333)
                for start, end in example.line_aligned_ranges(path, parts)]
    assert all(p[1].empty or p[1].last < p[0] for p in partials)  # numbered within the range
    total, matches, left = example.combine(partials)
    assert (total, left) == (len(lines), 0)
    assert list(matches) == model_matches(lines)


def test_last_record_without_newline_is_counted(tmp_path):
    path = tmp_path / "no-final-newline.ndjson"
    lines = write_log(path, 50, seed=5, final_newline=False)
    total, matches, left = example.combine(example.scan_range(path, start, end, PATTERN, 100)
                                           for start, end in example.line_aligned_ranges(path, 4))
    assert (total, left) == (len(lines), 0)
    assert list(matches) == model_matches(lines)


def test_run_on_a_local_cluster_agrees_with_one_process(log):
    path, lines = log
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(path), "--workers", "2", "--parts", "6", "--chunk-size", "4096", "--check"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    first, shown, check = result.stdout.splitlines()
    matches = model_matches(lines)
    assert f"{len(lines):,} documents, {len(matches):,} matching" in first
    assert shown == f"matching records: Bitmap([{', '.join(map(str, matches[:10]))}, ...], cardinality={len(matches)})"
    assert check.endswith("; match")
