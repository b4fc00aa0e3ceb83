"""What a pass of count_ndjson found: the totals, the bad lines, and the error raised for one."""
from __future__ import annotations

from dataclasses import dataclass
from typing import NamedTuple

KEPT_BAD_LINES = 1000  # bad lines kept in full; past them only counted


class BadLine(NamedTuple):
    """A line that is not complete JSON documents: its 1-based number and the byte offset of its
    first byte from the start of the input."""

    line: int
    offset: int


class BadLineError(ValueError):
    """Raised by count_ndjson(..., on_bad_line="raise") at the first bad line."""

    def __init__(self, bad_line: BadLine) -> None:
        super().__init__(f"line {bad_line.line} (byte offset {bad_line.offset}) is not complete JSON documents")
        self.bad_line = bad_line


@dataclass(frozen=True)
class NdjsonCount:
    """documents: JSON documents on the good lines; lines: lines read (a last line without a newline
    counts); bad_lines: the first KEPT_BAD_LINES bad lines, in input order; bad_line_count: all of
    them; bytes_read: bytes read from the input."""

    documents: int
    lines: int
    bad_lines: tuple[BadLine, ...]
    bad_line_count: int
    bytes_read: int
