from typing_extensions import Buffer

def count_newlines(buffer: Buffer) -> int:
    """The b"\\n" bytes in a bytes-like buffer."""
