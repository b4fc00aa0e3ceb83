"""quorvel_ndjson: count the documents of an NDJSON file or binary stream in one pass, with
MemoryScanner, and find the lines that are not complete JSON documents.

    from quorvel_ndjson import count_ndjson
    result = count_ndjson("events.ndjson")
    result.documents, result.bad_line_count, result.bad_lines[:3]
"""
from quorvel_ndjson.reader import DEFAULT_CHUNK_SIZE, count_ndjson
from quorvel_ndjson.results import KEPT_BAD_LINES, BadLine, BadLineError, NdjsonCount

__all__ = ["DEFAULT_CHUNK_SIZE", "KEPT_BAD_LINES", "BadLine", "BadLineError", "NdjsonCount", "count_ndjson"]
