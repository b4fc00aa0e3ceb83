"""MemoryScanner: document counts and covered prefixes of in-memory JSON streams."""
import json
import os
import random
import shlex
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from _quorvel_rec_extension import MemoryScanner

BOM = b"\xef\xbb\xbf"


def scan(data):
    return MemoryScanner().scan(data)


def run_python(code, memory_limit_kib=None):
    """Runs `code` in a fresh interpreter, optionally under `ulimit -v`; returns the process."""
    command = f"{shlex.quote(sys.executable)} -c {shlex.quote(textwrap.dedent(code))}"
    if memory_limit_kib is not None:
        if os.environ.get("QUORVEL_SANITIZED"):
            pytest.skip("AddressSanitizer's shadow memory does not fit under ulimit -v")
        command = f"ulimit -v {memory_limit_kib}; {command}"
    return subprocess.run(["bash", "-c", command], capture_output=True, text=True, timeout=120)


def random_ndjson(rng, count):
    """`count` newline-terminated JSON records of varied shape."""
    records = []
    for i in range(count):
        record = {"id": i, "kind": rng.choice(["click", "view", "error"]), "tags": ["x"] * rng.randrange(4)}
        if rng.random() < 0.5:
            record["nested"] = {"value": rng.random(), "text": "é€😀" * rng.randrange(4) + '"quoted" {[,:]}'}
        records.append(json.dumps(record, ensure_ascii=rng.random() < 0.5))
    return "".join(line + "\n" for line in records).encode()


@pytest.mark.parametrize(
    "data, expected",
    [
        (b'{"a":1}\n{"b":2}\n', (2, 16)),
        (b'{"a":1}\n{"b":2}', (2, 15)),
        (b'{"a":1}\n{"b":', (1, 8)),
        (b"1 2 3", (3, 5)),
        (b"", (0, 0)),
    ],
)
def test_documented_examples(data, expected):
    assert scan(data) == expected


@pytest.mark.parametrize(
    "make",
    [bytes, bytearray, memoryview, lambda b: np.frombuffer(b, dtype=np.uint8), lambda b: memoryview(b" " + b)[1:]],
    ids=["bytes", "bytearray", "memoryview", "uint8-array", "memoryview-slice"],
)
def test_buffer_kinds_agree(make):
    data = b'{"a":1}\n[1,2]\n"s" 4\n{"b":'
    assert scan(make(data)) == scan(data) == (4, 20)


@pytest.mark.parametrize(
    "buffer",
    [np.array([1, 2, 3], dtype=np.int32), memoryview(b"12345678").cast("I"), np.zeros(3, dtype=np.uint16)],
    ids=["int32-array", "memoryview-cast", "uint16-array"],
)
def test_wide_items_are_refused(buffer):
    with pytest.raises(RuntimeError, match="^Item size should be 1$"):
        scan(buffer)


def test_non_contiguous_view_is_refused():
    with pytest.raises(BufferError):
        scan(np.frombuffer(b"1 2 3 4 ", dtype=np.uint8)[::2])


@pytest.mark.parametrize("argument", ["1 2 3", 5, None])
def test_non_buffers_are_refused(argument):
    with pytest.raises(TypeError):
        scan(argument)


def test_instance_keeps_no_results_between_calls():
    scanner = MemoryScanner()
    big = random_ndjson(random.Random(1), 5000)
    inputs = [b'{"a":1}\n{"b":', big, b"   \n ", b"", big[:-7], b'"\x01"', b"  ", b"[1,2]]  3"]
    results = [scanner.scan(data) for data in inputs]
    assert results == [scan(data) for data in inputs]
    assert results == [scanner.scan(data) for data in inputs]
    assert results[1] == (5000, len(big))


INVALID = [b"\xff", b"\x80", b"\xed\xa0\x80", b"\xc0\xaf", b"\xf5\x80\x80\x80",
           # starts of an overlong form, a surrogate and a value above U+10FFFF: no character begins so
           b"\xe0\x80", b"\xed\xa0", b"\xf0\x80", b"\xf4\x90", b"\xf0\x8f\xbf"]
UNFINISHED = [b"\xc3", b"\xe2\x82", b"\xf0\x9f\x98"]
GOOD = b'{"a":1}\n[2,3]\n"four"\n5\n'


@pytest.mark.parametrize("bad", INVALID + UNFINISHED)
@pytest.mark.parametrize("where", ["start", "middle", "inside-string", "last-document", "incomplete-tail"])
def test_invalid_utf8_anywhere_is_one_failing_document(bad, where):
    data = {
        "start": bad + GOOD,
        "middle": GOOD + bad + GOOD,
        "inside-string": GOOD + b'{"s":"' + bad + b'"}\n' + GOOD,
        "last-document": GOOD + b"[" + bad + b"]",
        "incomplete-tail": GOOD + b'{"s":"' + bad + b"x",
    }[where]
    assert scan(data) == (1, 0)


@pytest.mark.parametrize("bad", INVALID)
def test_invalid_utf8_at_the_end_is_one_failing_document(bad):
    assert scan(GOOD + bad) == (1, 0)


@pytest.mark.parametrize("partial", UNFINISHED)
@pytest.mark.parametrize("head", [GOOD, GOOD + b'{"s":"', GOOD + b"[1,", b""])
def test_character_cut_at_the_end_stays_uncovered(partial, head):
    assert scan(head + partial) == scan(head)


@pytest.mark.parametrize("body", [b'{"a":1}\n{"b":2}\n', b'{"a":1}\n{"b":', b"1 2 3", b"", b"  ", BOM + b"1"])
def test_leading_byte_order_marks_are_skipped_and_covered(body):
    documents, consumed = scan(body)
    for marks in (BOM, BOM + BOM):
        assert scan(marks + body) == (documents, consumed + len(marks))


def test_consumed_stays_within_the_buffer():
    rng = random.Random(7)
    pieces = [b"{", b"}", b"[", b"]", b'"', b",", b":", b"1", b" ", b"\n", b"true", b"\\", b"\x01", b"\xc3\xa9"]
    for _ in range(2000):
        data = b"".join(rng.choice(pieces) for _ in range(rng.randrange(40)))
        documents, consumed = scan(data)
        assert 0 <= consumed <= len(data)


def ndjson_model(data):
    """(documents, consumed) of newline-separated objects, by Python's own parser."""
    *lines, last = data.split(b"\n")
    try:
        json.loads(last)
        return len(lines) + 1, len(data)
    except ValueError:
        return len(lines), len(data) - len(last)


def test_cut_streams_agree_with_model():
    data = random_ndjson(random.Random(3), 300)
    scanner = MemoryScanner()
    for cut in range(len(data) + 1):
        assert scanner.scan(data[:cut]) == ndjson_model(data[:cut])


def stream_in_chunks(scanner, data, sizes):
    """Total documents and the final uncovered tail when `data` arrives in chunks of `sizes`."""
    total, tail, position = 0, b"", 0
    for size in sizes:
        chunk = tail + data[position : position + size]
        position += size
        documents, consumed = scanner.scan(chunk)
        total += documents
        tail = chunk[consumed:]
    return total, tail


@pytest.mark.parametrize("seed", [0, 1, 2])
def test_streaming_in_random_chunks_matches_whole_buffer(seed):
    rng = random.Random(seed)
    data = random_ndjson(rng, 20000)
    sizes = []
    while sum(sizes) < len(data):
        sizes.append(rng.choice([1, 2, 3, 5, 64, 1000, 4096, 70000]))
    assert stream_in_chunks(MemoryScanner(), data, sizes) == (20000, b"")
    assert scan(data) == (20000, len(data))


def test_two_chunks_cut_anywhere_count_every_document():
    data = random_ndjson(random.Random(5), 40)
    scanner = MemoryScanner()
    for cut in range(len(data) + 1):
        assert stream_in_chunks(scanner, data, [cut, len(data)]) == (40, b"")


def test_input_ending_at_an_unreadable_page_is_scanned_in_bounds():
    # Each buffer ends exactly where a PROT_NONE page begins: a read past its end would crash.
    result = run_python(
        """
        import ctypes, mmap
        from _quorvel_rec_extension import MemoryScanner
        page = mmap.PAGESIZE
        region = mmap.mmap(-1, 2 * page)
        libc = ctypes.CDLL(None, use_errno=True)
        address = ctypes.addressof(ctypes.c_char.from_buffer(region))
        assert libc.mprotect(ctypes.c_void_p(address + page), page, 0) == 0
        scanner = MemoryScanner()
        for tail in [b"1", b'"abc', b'{"a":[1,2', b"true", b"]]", b"\\xc3", b" ", b'{"k":"v"}']:
            body = (b"7 " * page)[: page - len(tail)] + tail
            region[:page] = body
            print(scanner.scan(memoryview(region)[:page]) == scanner.scan(bytes(body)))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["True"] * 8


def test_short_buffer_needs_little_memory():
    result = run_python(
        """
        from _quorvel_rec_extension import MemoryScanner
        data = b'{"a":1}\\n' * 128
        print(MemoryScanner().scan(data))
        """,
        memory_limit_kib=2000000,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "(128, 1024)"


@pytest.mark.parametrize("record, records, memory_limit_kib", [
    # 60 MiB, under the limit of the next test.
    (b"1\n", 30 << 20, 400000),
    # 2^30 + 4096 bytes, longer than a batch, under their size plus 2 GB; the first batch's end
    # (2^30 = 4 mod 10) falls inside the two-byte character.
    (b'["x\xc3\xa9",1]\n', (2**30 + 4096) // 10, (2**30 + 4096 + 2 * 10**9) // 1024),
], ids=["60MiB", "1GiB+4KiB"])
def test_long_ndjson_is_scanned_in_memory_of_a_window(record, records, memory_limit_kib):
    # Scanned a window at a time, one-line documents need the memory of a window, not of the input.
    result = run_python(
        f"""
        from _quorvel_rec_extension import MemoryScanner
        print(MemoryScanner().scan({record!r} * {records}))
        """,
        memory_limit_kib=memory_limit_kib,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == str((records, len(record) * records))


def test_failed_allocation_raises_memory_error_and_instance_stays_usable():
    # 60 MiB of input fits the limit; the parser's index for it does not. One document, so that
    # it cannot be scanned a window at a time.
    result = run_python(
        """
        from _quorvel_rec_extension import MemoryScanner
        scanner = MemoryScanner()
        try:
            print(scanner.scan(b"[" + b"1," * (30 << 20) + b"1]"))
        except MemoryError:
            print("MemoryError")
        print(scanner.scan(b"1 2 3"))
        """,
        memory_limit_kib=400000,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "(3, 5)"]
