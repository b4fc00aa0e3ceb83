"""The demo's numbering of the lines with an "error" key across reads, and its cross-check."""
from pathlib import Path

import pytest

from conftest import load_script

DEMO = Path(__file__).resolve().parent.parent / "demo" / "ndjson_demo.py"
demo = load_script(DEMO, "ndjson_demo")


def model_ordinals(text, first):
    return [first + i for i, line in enumerate(text.split(b"\n")) if b'"error":' in line]


@pytest.mark.parametrize("lines", [
    b'{"error":1}\n{"a":2}\n', b'\n{"error":1}\n', b'\n\n {"a":1}\n{"error":2}', b'{"a":1}', b"",
])
def test_error_ordinals_are_line_numbers(lines):
    assert demo.error_ordinals(memoryview(lines), 10).tolist() == model_ordinals(lines, 10)


def test_lines_are_numbered_across_reads_and_bad_lines_left_out(tmp_path):
    records = [b'{"n":%d%s}' % (i, b',"error":1' if i % 3 == 0 else b"") for i in range(2000)]
    records[600] = b'{"error":[1,2'  # a bad line with the key: not counted, and not in the Bitmap
    path = tmp_path / "log.ndjson"
    path.write_bytes(demo.BOM + b"\n".join(records) + b"\n")
    # 97-byte reads end between records' closing braces and their newlines
    result, ordinals, _, _ = demo.scan_file(path, chunk_size=97)
    assert (result.documents, result.bad_line_count) == (1999, 1)
    assert ordinals.tolist() == [i for i in range(2000) if i % 3 == 0 and i != 600]
    assert demo.independent_count(path) == (1999, len(ordinals), 1)  # the mark opening the file skipped
