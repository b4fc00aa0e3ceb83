"""quorvel_ndjson.count_ndjson: totals equal to one scan of the whole input whatever the reads, bad
lines found by number and offset, and the arguments it refuses."""
import io
import json
import random
import subprocess
import sys

import pytest

from _quorvel_rec_extension import MemoryScanner
from quorvel_ndjson import KEPT_BAD_LINES, BadLine, BadLineError, count_ndjson

BOM = b"\xef\xbb\xbf"


class RaggedStream(io.RawIOBase):
    """A binary stream whose reads return a random number of bytes, 1 up to the size asked for."""

    def __init__(self, data, seed):
        self._data, self._position, self._rng = data, 0, random.Random(seed)

    def readable(self):
        return True

    def readinto(self, buffer):
        size = min(len(buffer), self._rng.choice([1, 2, 3, 5, 8, 64, 1000, len(buffer)]))
        piece = self._data[self._position:self._position + size]
        buffer[:len(piece)] = piece
        self._position += len(piece)
        return len(piece)


class LyingStream(io.RawIOBase):
    """Reports more bytes read than the buffer it was given holds."""

    def readable(self):
        return True

    def readinto(self, buffer):
        return len(buffer) + 1


def random_lines(rng, count):
    """NDJSON lines of every kind count_ndjson must total as one scan does: objects with multi-byte
    characters, scalars, several documents on a line, CRLF ends, blank and whitespace-only lines, a
    byte order mark opening a later line, and now and then a document longer than most reads."""
    kinds = [
        lambda: json.dumps({"id": rng.randrange(10**6), "text": "é€😀" * rng.randrange(5) + ' "q" {[,:]}'},
                           ensure_ascii=rng.random() < 0.3).encode() + b"\n",
        lambda: str(rng.randrange(10**9)).encode() + b"\n",
        lambda: rng.choice([b"true", b"false", b"null", b"-0.5e3", b'"caf\xc3\xa9"']) + b"\n",
        lambda: b"1 2 [3] {}\n",
        lambda: b'{"crlf":true}\r\n',
        lambda: rng.choice([b"\n", b"\r\n", b"  \t \n"]),
        lambda: BOM + b'{"late":"mark"}\n',
        lambda: b'{"long":"' + b"x" * rng.randrange(5000, 20000) + b'"}\n',
    ]
    weights = [40, 15, 15, 5, 8, 8, 3, 1]
    return [rng.choices(kinds, weights)[0]() for _ in range(count)]


def random_stream(seed):
    rng = random.Random(seed)
    data = b"".join(random_lines(rng, 1000))
    if rng.random() < 0.5:
        data = BOM + data
    return data.rstrip(b"\n") if seed % 2 else data  # odd seeds: a last line without a newline


def line_count(data):
    return data.count(b"\n") + (1 if data and not data.endswith(b"\n") else 0)


@pytest.mark.parametrize("data", [b"12345\n", b"true\nfalse\n", b"", BOM + b"7", b"\n" * 9000 + b"1\n", random_stream(0),
                                  random_stream(1), random_stream(2), random_stream(3)],
                         ids=["scalar", "atoms", "empty", "mark-only-line", "blank-lines", "stream0", "stream1", "stream2",
                              "stream3"])
@pytest.mark.parametrize("chunk_size", [1, 2, 3, 7, 64, 4099, 1 << 20])
def test_totals_equal_one_scan_of_the_whole_input(data, chunk_size, tmp_path):
    documents, consumed = MemoryScanner().scan(data)
    assert consumed == len(data)  # the inputs are all valid documents
    expected = (documents, line_count(data), (), 0, len(data))
    path = tmp_path / "input.ndjson"
    path.write_bytes(data)  # a regular file is read natively, two threads to a large chunk
    for source in (io.BytesIO(data), RaggedStream(data, seed=chunk_size), path):
        result = count_ndjson(source, chunk_size=chunk_size)
        assert (result.documents, result.lines, result.bad_lines, result.bad_line_count, result.bytes_read) == expected


# Lines that scan cannot take as complete documents; lines that are not JSON but that scan, as in
# one pass, takes as documents (bracket-balanced, or stray closing brackets).
BAD = [b'{"s":"\xff"}', b"[\xff]", b'{"a":[1,2', b'"unclosed', b"\xed\xa0\x80", b'{"a":"\xc3(",', b"\xff", b"1,2"]
MALFORMED = [b'{"a" 1}', b"[1}", b"]", b'{"a":1}}']


@pytest.mark.parametrize("seed", range(4))
def test_bad_lines_are_reported_by_number_and_offset_and_skipped(seed, tmp_path):
    rng = random.Random(seed)
    lines = random_lines(rng, 12000)  # about 1.2 MB
    for _ in range(6):  # not last: one pass would take a last malformed document as unfinished
        lines.insert(rng.randrange(len(lines)), rng.choice(MALFORMED) + b"\n")
    for _ in range(6):
        lines.insert(rng.randrange(len(lines) + 1), rng.choice(BAD) + b"\n")
    expected, offset = [], 0
    for number, line in enumerate(lines, 1):
        if line[:-1] in BAD:
            expected.append(BadLine(number, offset))
        offset += len(line)
    last = rng.choice(BAD + [b'{"a":'])  # a last line without a newline, cut short or bad
    expected.append(BadLine(len(lines) + 1, offset))
    data = b"".join(lines) + last
    documents, _ = MemoryScanner().scan(b"".join(line for line in lines if line[:-1] not in BAD))
    path = tmp_path / "input.ndjson"
    path.write_bytes(data)
    for chunk_size, source in ((1 << 20, RaggedStream(data, seed)), (4096, RaggedStream(data, seed)),
                               (7, RaggedStream(data, seed)), (1 << 20, path)):
        result = count_ndjson(source, chunk_size=chunk_size)
        assert (result.documents, result.bad_lines, result.bad_line_count) == (documents, tuple(expected), len(expected))
    with pytest.raises(BadLineError, match=f"^line {expected[0].line} ") as raised:
        count_ndjson(io.BytesIO(data), on_bad_line="raise")
    assert raised.value.bad_line == expected[0]


def test_past_the_kept_bad_lines_only_their_number_grows():
    data = b"[\n1\n" * (KEPT_BAD_LINES + 500)
    result = count_ndjson(io.BytesIO(data), chunk_size=1000)
    assert (result.documents, result.bad_line_count) == (KEPT_BAD_LINES + 500, KEPT_BAD_LINES + 500)
    assert result.bad_lines == tuple(BadLine(2 * i + 1, 4 * i) for i in range(KEPT_BAD_LINES))


@pytest.mark.parametrize("source, arguments, error, message", [
    (io.BytesIO(b"1\n"), {"chunk_size": 0}, ValueError, "chunk_size must be at least 1 byte, got 0"),
    (io.BytesIO(b"1\n"), {"chunk_size": 1.5}, TypeError, "'float' object cannot be interpreted as an integer"),
    (io.BytesIO(b"1\n"), {"on_bad_line": "ignore"}, ValueError, "on_bad_line must be 'skip' or 'raise', got 'ignore'"),
    (b"1\n", {}, TypeError, "count_ndjson reads a path or a binary stream; wrap bytes in io.BytesIO"),
    (io.StringIO("1\n"), {}, TypeError, "count_ndjson needs a binary stream with readinto"),
    (LyingStream(), {"chunk_size": 8}, OSError, "the stream's readinto returned 9, not a length between 0 and 8"),
])
def test_refused_arguments(source, arguments, error, message):
    with pytest.raises(error, match="^" + message.replace("(", r"\(").replace(")", r"\)")):
        count_ndjson(source, **arguments)


def test_mypy_sees_the_installed_reader_typed(tmp_path):
    # From an empty directory, so the installed package and its py.typed marker are the ones used.
    (tmp_path / "use.py").write_text(
        "from quorvel_ndjson import count_ndjson\n"
        "reveal_type(count_ndjson('x.ndjson').bad_lines)\n"
        "count_ndjson('x.ndjson', on_bad_line='ignore')\n")
    out = subprocess.run([sys.executable, "-m", "mypy", "use.py"], cwd=tmp_path, capture_output=True, text=True,
                         timeout=300).stdout
    assert 'Revealed type is "tuple[tuple[int, int, fallback=quorvel_ndjson.results.BadLine], ...]"' in out, out
    assert 'use.py:3: error: Argument "on_bad_line" to "count_ndjson" has incompatible type' in out, out
