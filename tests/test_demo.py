"""The demo's numbering of matching records across chunk boundaries."""
from pathlib import Path

import pytest

from conftest import load_script

DEMO = Path(__file__).resolve().parent.parent / "demo" / "ndjson_demo.py"
demo = load_script(DEMO, "ndjson_demo")


def model_ordinals(text, first):
    lines = [line for line in text.split(b"\n") if line.strip()]
    return [first + i for i, line in enumerate(lines) if b'"error":' in line]


@pytest.mark.parametrize("covered", [
    b'{"error":1}\n{"a":2}\n', b'\n{"error":1}\n', b'\n\n {"a":1}\n{"error":2}', b'{"a":1}', b"",
])
def test_error_ordinals_count_records_not_leading_newlines(covered):
    assert demo.error_ordinals(memoryview(covered), 10).tolist() == model_ordinals(covered, 10)


def test_chunked_scan_numbers_records_like_a_whole_read(tmp_path):
    records = [b'{"n":%d%s}' % (i, b',"error":1' if i % 3 == 0 else b"") for i in range(2000)]
    path = tmp_path / "log.ndjson"
    path.write_bytes(b"\n".join(records) + b"\n")
    demo.CHUNK_SIZE = 97  # chunk ends fall between records' closing braces and their newlines
    documents, ordinals, left, _, _ = demo.scan_file(path)
    assert (documents, left) == (2000, 0)
    assert ordinals.tolist() == [i for i in range(2000) if i % 3 == 0]
