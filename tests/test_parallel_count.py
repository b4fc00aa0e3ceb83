"""examples/parallel_count.py: line-aligned ranges, range counts read in chunks, the driver's
shift-and-union and renumbering of bad lines, its arguments, and a run on a local Dask cluster, all
against a per-line Python model."""
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


def write_log(path, records, seed=11, final_newline=True, bad_every=0):
    """An NDJSON file of `records` seeded records of varied length, and with `bad_every`, a record
    cut short now and then; returns its lines."""
    rng = random.Random(seed)
    lines = []
    for i in range(records):
        record = {"i": i, "path": "/caf\u00e9/" + "x" * rng.randrange(0, 120), "ms": rng.randrange(10**6)}
        if rng.random() < 0.1:
            record["error"] = {"code": rng.choice([500, 503]), "message": "upstream failed"}
        line = json.dumps(record, ensure_ascii=rng.random() < 0.5).encode()
        lines.append(line[:len(line) // 2] if bad_every and i % bad_every == 7 else line)
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
def test_range_count_matches_the_model(log, chunk_size):
    path, lines = log
    result, matches = example.scan_range(path, 0, path.stat().st_size, PATTERN, chunk_size)
    assert (result.documents, result.lines, result.bad_line_count) == (len(lines), len(lines), 0)
    assert list(matches) == model_matches(lines)


def test_chunk_starting_with_the_newline_of_the_previous_record(tmp_path):
    path = tmp_path / "cut.ndjson"
    # 9-byte chunks: '{"ok":10}', then '\n{"x":22}' (a whole record after the carried-over newline), ...
    path.write_bytes(b'{"ok":10}\n{"x":22}\n{"ok":3}\n{"x":4}\n')
    result, matches = example.scan_range(path, 0, path.stat().st_size, '"x":', 9)
    assert (result.documents, list(matches)) == (4, [1, 3])


def partials_of(path, parts, chunk_size):
    ranges = example.line_aligned_ranges(path, parts)
    partials = [example.scan_range(path, start, end, PATTERN, chunk_size) for start, end in ranges]
    assert all(m.empty or m.last < result.lines for result, m in partials)  # numbered within the range
    return example.combine(partials, [start for start, _ in ranges])


@pytest.mark.parametrize("parts", [2, 5, 40])
def test_partial_results_shifted_and_joined_equal_one_count(tmp_path, parts):
    path = tmp_path / "with-bad-lines.ndjson"
    lines = write_log(path, 3000, bad_every=400)
    total, matches = partials_of(path, parts, 333)
    single, _ = example.scan_range(path, 0, path.stat().st_size, PATTERN, 1 << 20)
    assert total == single and (total.bad_line_count, total.lines) == (8, len(lines))
    assert list(matches) == model_matches(lines)


def test_last_record_without_newline_is_counted(tmp_path):
    path = tmp_path / "no-final-newline.ndjson"
    lines = write_log(path, 50, seed=5, final_newline=False)
    total, matches = partials_of(path, 4, 100)
    assert (total.documents, total.bad_line_count) == (len(lines), 0)
    assert list(matches) == model_matches(lines)


@pytest.mark.parametrize("argument, message", [
    (["--chunk-size", "0"], "argument --chunk-size: must be at least 1, got 0"),
    (["--workers", "0"], "argument --workers: must be at least 1, got 0"),
    (["--parts", "-3"], "argument --parts: must be at least 1, got -3"),
])
def test_counts_that_cannot_work_are_refused(log, argument, message):
    path, _ = log
    result = subprocess.run([sys.executable, str(EXAMPLE), str(path), *argument], capture_output=True, text=True,
                            timeout=60)
    assert result.returncode == 2 and result.stderr.splitlines()[-1].endswith(message), result.stderr


def test_run_on_a_local_cluster_agrees_with_one_process(log):
    path, lines = log
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), str(path), "--workers", "2", "--parts", "6", "--chunk-size", "4096", "--check"],
        capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    first, shown, check = result.stdout.splitlines()
    matches = model_matches(lines)
    assert f"{len(lines):,} documents in {len(lines):,} lines, {len(matches):,} matching" in first
    assert shown == f"matching lines: Bitmap([{', '.join(map(str, matches[:10]))}, ...], cardinality={len(matches)})"
    assert check.endswith("; match")
