from typing import Tuple

from typing_extensions import Buffer

def count_newlines(buffer: Buffer) -> int:
    """The b"\\n" bytes in a bytes-like buffer."""

def read_into(fd: int, buffer: Buffer, offset: int) -> Tuple[int, int]:
    """Fills the writable buffer from the regular file fd at offset (pread: the file's position
    does not move) until it is full or the file ends: (bytes read, the newlines among them).
    Raises OSError."""
