"""count_ndjson: one pass over an NDJSON input with MemoryScanner.

The input is read into one reused buffer. After each read, the complete lines in the buffer (up to
its last newline) are scanned in place and the start of the unfinished line after them moves to
the buffer's front; a read without a newline scans nothing. What is left at the end of the input
is scanned once, as the last line. Every scan but the input's first starts at the newline that
ends the line before, so that only a byte order mark at the very start is skipped, as one scan of
the whole input skips it.

NDJSON holds one document per line. When scan does not take a run of lines whole (it covers less
than all of it: invalid UTF-8, brackets still open at a line's end, ...), the run is halved at a
line start, and the halves scanned, until each part is taken whole or is a single line. A single
line is scanned on its own, with a sentinel document after it so that its own last document is
not cut off as unfinished; if scan still does not take it whole, it is a bad line: reported and
skipped.
"""
from __future__ import annotations

import contextlib
import io
import operator
import os
import stat
from typing import Callable, Iterator, List, Literal, Optional, Protocol, Tuple, Union

from _quorvel_rec_extension import MemoryScanner
from quorvel_ndjson._lines import count_newlines, read_into
from quorvel_ndjson.progress import Progress
from quorvel_ndjson.results import KEPT_BAD_LINES, BadLine, BadLineError, NdjsonCount

DEFAULT_CHUNK_SIZE = 8 << 20  # small enough that a read is still in cache when it is scanned
SENTINEL = b"\n0"  # follows a line scanned on its own


class BinaryReader(Protocol):
    """What count_ndjson needs of a stream: readinto, as binary files and io.BytesIO have it."""

    def readinto(self, buffer: memoryview, /) -> Optional[int]: ...


Source = Union[str, "os.PathLike[str]", BinaryReader]
LinesCallback = Callable[[memoryview, int], object]


def count_ndjson(source: Source, *, chunk_size: int = DEFAULT_CHUNK_SIZE,
                 on_bad_line: Literal["skip", "raise"] = "skip", progress: bool = False,
                 on_lines: Optional[LinesCallback] = None) -> NdjsonCount:
    """Counts the JSON documents of an NDJSON file (a path) or binary stream (anything with
    readinto, read from where it stands and left open) in one pass, `chunk_size` bytes per read.

    A line that scan cannot take as complete documents (invalid UTF-8, brackets still open at
    its end, ...) is a bad line: skipped, and reported in the result, or with
    on_bad_line="raise" raised as BadLineError. With progress=True, a progress line is drawn on
    standard error when it is a terminal. on_lines(lines, first_line), if given, is called with
    every run of complete lines read (a memoryview of the reused buffer, released after the call:
    copy what must be kept) and the 1-based number of its first line. Raises OSError when the
    input cannot be opened or read."""
    chunk_size = operator.index(chunk_size)
    if chunk_size < 1:
        raise ValueError(f"chunk_size must be at least 1 byte, got {chunk_size}")
    if on_bad_line not in ("skip", "raise"):
        raise ValueError(f"on_bad_line must be 'skip' or 'raise', got {on_bad_line!r}")
    with _opened(source) as chunks:
        reading = _Reading(chunk_size, on_bad_line == "raise", on_lines)
        shown = Progress(chunks.bytes_left()) if progress else None
        try:
            while reading.read_from(chunks):
                if shown is not None:
                    shown.update(reading.bytes_read)
            reading.finish()
        finally:
            if shown is not None:
                shown.close(reading.bytes_read)
    return reading.result()


class _StreamChunks:
    """Chunks of a binary stream, read from where it stands with readinto."""

    def __init__(self, stream: BinaryReader) -> None:
        self._stream = stream

    def fill(self, view: memoryview) -> Tuple[int, int]:
        """Reads once into view: (bytes read, 0 at the end; the newlines among them)."""
        got = self._stream.readinto(view)
        if got is None:
            raise BlockingIOError("the stream has no data ready: count_ndjson needs a blocking stream")
        if not 0 <= got <= len(view):
            raise OSError(f"the stream's readinto returned {got!r}, not a length between 0 and {len(view)}")
        with view[:got] as new:
            return got, count_newlines(new)

    def bytes_left(self) -> Optional[int]:
        """Bytes from the stream's position to the end of the regular file behind it, if there is one."""
        try:
            status = os.fstat(getattr(self._stream, "fileno")())
            return status.st_size - getattr(self._stream, "tell")() if stat.S_ISREG(status.st_mode) else None
        except (AttributeError, OSError, ValueError):
            return None


class _FileChunks:
    """Chunks of a regular file opened here, read from its start by two native threads at once
    (read_into), where a stream's readinto copies on one thread while the other core idles."""

    def __init__(self, fd: int) -> None:
        self._fd = fd
        self._offset = 0

    def fill(self, view: memoryview) -> Tuple[int, int]:
        """As _StreamChunks.fill."""
        got, newlines = read_into(self._fd, view, self._offset)
        self._offset += got
        return got, newlines

    def bytes_left(self) -> int:
        return os.fstat(self._fd).st_size - self._offset


_Chunks = Union[_StreamChunks, _FileChunks]


@contextlib.contextmanager
def _opened(source: Source) -> Iterator[_Chunks]:
    """The chunks to read: of a path opened unbuffered (and closed after), or of the caller's stream."""
    if isinstance(source, (str, os.PathLike)):
        with open(source, "rb", buffering=0) as file:
            regular = stat.S_ISREG(os.fstat(file.fileno()).st_mode)
            yield _FileChunks(file.fileno()) if regular else _StreamChunks(file)
        return
    if isinstance(source, (bytes, bytearray, memoryview)):
        raise TypeError("count_ndjson reads a path or a binary stream; wrap bytes in io.BytesIO")
    if isinstance(source, io.TextIOBase) or not callable(getattr(source, "readinto", None)):
        raise TypeError(f"count_ndjson needs a binary stream with readinto (open files with 'rb'), "
                        f"got {type(source).__name__}")
    yield _StreamChunks(source)


class _Reading:
    """The state of one pass: the reused buffer, where it stands in the input, and the totals.

    buffer[lead:held] is the start of an unfinished line, the input's bytes from `offset` on;
    buffer[0] is the newline that ended the line before it (lead = 1), except at the input's start
    (lead = 0). `line` is the number of the line that starts at buffer[lead]."""

    def __init__(self, chunk_size: int, raise_on_bad_line: bool, on_lines: Optional[LinesCallback]) -> None:
        self._scanner = MemoryScanner()
        self._chunk_size = chunk_size
        self._raise_on_bad_line = raise_on_bad_line
        self._on_lines = on_lines
        self._buffer = bytearray(2 * chunk_size + 1)
        self._view = memoryview(self._buffer)
        self._lead = self._held = self._offset = 0
        self._line = 1
        self._counted_to = self._counted_line = 0  # where numbering of bad lines within a run stands
        self.documents = self.bytes_read = self.bad_line_count = 0
        self.bad_lines: List[BadLine] = []

    def read_from(self, chunks: _Chunks) -> int:
        """Reads once, scans the complete lines it ends; returns the bytes read (0 at the end)."""
        if len(self._buffer) - self._held < self._chunk_size:
            self._grow()
        start = self._held
        got, newlines = chunks.fill(self._view[start:start + self._chunk_size])
        self._held += got
        self.bytes_read += got
        cut = self._buffer.rfind(b"\n", start, self._held)  # only the new bytes can hold one
        if cut >= 0:
            # The lines taken hold exactly the newlines just read: the bytes carried hold none.
            self._take(self._lead, cut + 1, newlines)
            self._carry(cut)
        return got

    def finish(self) -> None:
        """Scans the last line, when the input does not end with a newline."""
        if self._held > self._lead:
            self._take(self._lead, self._held, 0)
            self._line += 1

    def result(self) -> NdjsonCount:
        return NdjsonCount(self.documents, self._line - 1, tuple(self.bad_lines), self.bad_line_count, self.bytes_read)

    def _grow(self) -> None:
        """Doubles the buffer, for a line that does not fit, so that a long line costs linear time.
        In place, where a large buffer is reallocated by remapping its pages rather than copying
        them; into a new buffer while a view that on_lines kept still holds the old one."""
        extra = max(len(self._buffer), self._held + self._chunk_size - len(self._buffer))
        self._view.release()
        try:
            self._buffer += bytes(extra)
        except BufferError:
            self._buffer = self._buffer + bytes(extra)
        self._view = memoryview(self._buffer)

    def _carry(self, cut: int) -> None:
        """Moves the newline at `cut` and the unfinished line after it to the buffer's front."""
        rest = self._held - cut
        self._offset += cut + 1 - self._lead
        self._view[:rest] = self._view[cut:self._held]  # memoryview assignment copies overlapping bytes safely
        self._lead, self._held = 1, rest

    def _take(self, start: int, end: int, newlines: int) -> None:
        """Counts the complete lines buffer[start:end], which begin at line self._line and hold
        `newlines` newlines."""
        documents, whole = self._scan(start, end)
        if whole:
            self.documents += documents
        else:
            self._counted_to, self._counted_line = start, self._line
            self._examine(start, end)
        if self._on_lines is not None:
            with self._view[start:end] as lines:
                self._on_lines(lines, self._line)
        self._line += newlines

    def _scan(self, start: int, end: int) -> Tuple[int, bool]:
        """(documents, taken whole) of the lines buffer[start:end], scanned from the newline before them."""
        first = start - 1 if start > 0 else 0
        documents, consumed = self._scanner.scan(self._view[first:end])
        return documents, consumed == end - first

    def _examine(self, start: int, end: int) -> None:
        """Counts the documents of lines buffer[start:end] that scan did not take whole, and reports
        its bad lines in input order."""
        pending = [(start, end)]  # runs still to examine, the next one last
        while pending:
            start, end = pending.pop()
            middle = self._line_start_near_middle(start, end)
            if middle is None:
                self._judge_line(start, end)
                continue
            rejected = []
            for part in ((start, middle), (middle, end)):
                documents, whole = self._scan(*part)
                if whole:
                    self.documents += documents
                else:
                    rejected.append(part)
            pending.extend(reversed(rejected))

    def _line_start_near_middle(self, start: int, end: int) -> Optional[int]:
        """A line start inside the run buffer[start:end] near its middle; None for a single line."""
        middle = (start + end) // 2
        newline = self._buffer.rfind(b"\n", start, middle)
        if newline < 0:
            newline = self._buffer.find(b"\n", middle, end - 1)
        return None if newline < 0 else newline + 1

    def _judge_line(self, start: int, end: int) -> None:
        """Counts the line buffer[start:end] scanned on its own, or reports it as bad."""
        text = self._buffer[start - 1 if start > 0 else 0:end] + SENTINEL
        documents, consumed = self._scanner.scan(text)
        if consumed == len(text):
            self.documents += documents - 1
            return
        self._counted_line += self._newlines(self._counted_to, start)
        self._counted_to = start
        self._report(BadLine(self._counted_line, self._offset + start - self._lead))

    def _newlines(self, start: int, end: int) -> int:
        """The newlines in buffer[start:end]."""
        with self._view[start:end] as lines:
            return count_newlines(lines)

    def _report(self, bad_line: BadLine) -> None:
        self.bad_line_count += 1
        if self._raise_on_bad_line:
            raise BadLineError(bad_line)
        if len(self.bad_lines) < KEPT_BAD_LINES:
            self.bad_lines.append(bad_line)

