"""Seeded workloads of the benchmark suite: position arrays and the cached NDJSON files."""
from pathlib import Path

import numpy as np
import orjson

SEED = 20240611
DATA_DIR = Path(__file__).resolve().parent / "data"


def sparse(members, seed=SEED):
    """`members` distinct positions drawn uniformly from [0, 2^40), in drawn (unsorted) order."""
    rng = np.random.default_rng(seed)
    drawn = np.unique(rng.integers(0, 1 << 40, members + members // 1000 + 100, dtype=np.uint64))
    rng.shuffle(drawn)
    return drawn[:members].copy()


def runs(members, seed=SEED, length=1000, span_bits=36):
    """`members` positions in non-overlapping runs of `length`, starts spread over [0, 2^span_bits), ascending."""
    rng = np.random.default_rng(seed)
    slots = np.sort(rng.choice((1 << span_bits) // length, members // length, replace=False).astype(np.uint64))
    return (slots[:, None] * np.uint64(length) + np.arange(length, dtype=np.uint64)).ravel()


def dense(members, centre=1 << 32):
    """Every position of [centre - members/2, centre + members/2)."""
    return np.arange(centre - members // 2, centre + members // 2, dtype=np.uint64)


def bitset(members, density, seed=SEED, start=1 << 33):
    """`members` positions drawn without replacement from [start, start + members / density), ascending:
    at densities between 1/16 and 15/16 CRoaring holds them in bitset containers."""
    rng = np.random.default_rng(seed)
    span = int(members / density)
    return np.sort(rng.choice(span, members, replace=False)).astype(np.uint64) + np.uint64(start)


def clustered(members, seed=SEED, longest=5000, span_bits=40):
    """`members` positions in runs of random length 1 to `longest`, starts spread over [0, 2^span_bits),
    ascending: run, array and bitset containers side by side."""
    rng = np.random.default_rng(seed)
    lengths = rng.integers(1, longest + 1, 2 * members // longest + 16)
    lengths = lengths[:np.searchsorted(np.cumsum(lengths), members) + 1]
    lengths[-1] -= lengths.sum() - members
    slots = np.sort(rng.choice((1 << span_bits) // (2 * longest), len(lengths), replace=False)).astype(np.uint64)
    starts = np.repeat(slots * np.uint64(2 * longest), lengths)
    offsets = np.arange(members, dtype=np.uint64) - np.repeat(np.cumsum(lengths) - lengths, lengths).astype(np.uint64)
    return starts + offsets


# The Bitmap workloads of the suite, each with its second operand for the two-operand rows:
# name -> function(members, seed) of an ascending position array.
SHAPES = {
    "sparse": lambda members, seed: np.sort(sparse(members, seed)),
    "runs": runs,
    "dense": lambda members, seed: dense(members, centre=(1 << 32) + (seed - SEED) * members // 4),
    "bitset 50%": lambda members, seed: bitset(members, 0.5, seed),
    "bitset 90%": lambda members, seed: bitset(members, 0.9, seed),
    "clustered": clustered,
}


# Record shapes of the NDJSON file: objects with strings (some non-ASCII), numbers and nested arrays.
WORDS = ["alpha", "beta", "gamma", "caf\u00e9", "\u00fcber", "na\u00efve", "\u6771\u4eac", "delta", "\U0001f600 ok"]


def _record(rng, i):
    kind = int(rng.integers(0, 3))
    if kind == 0:
        return {"id": i, "user": WORDS[int(rng.integers(0, len(WORDS)))], "score": float(rng.normal()),
                "tags": [WORDS[int(t)] for t in rng.integers(0, len(WORDS), int(rng.integers(0, 5)))]}
    if kind == 1:
        return {"id": i, "ts": int(rng.integers(0, 1 << 50)), "matrix": rng.integers(-99, 99, (3, 3)).tolist(),
                "ok": bool(rng.integers(0, 2)), "note": None}
    return {"id": i, "event": {"path": "/api/v1/" + WORDS[int(rng.integers(0, len(WORDS)))],
                               "latency_ms": round(float(rng.exponential(40.0)), 3),
                               "trace": [[int(x), str(int(x) * 7)] for x in rng.integers(0, 10**9, 2)]},
            "message": "request served \"quoted\" \\ back" * int(rng.integers(1, 4))}


def ndjson_file(size_bytes, seed=SEED):
    """Path of a cached NDJSON file of about `size_bytes` bytes (generated once: a pool of records
    written in shuffled rounds)."""
    path = DATA_DIR / f"mixed-{size_bytes >> 20}MiB-seed{seed}.ndjson"
    if path.exists():
        return path
    rng = np.random.default_rng(seed)
    pool = [orjson.dumps(_record(rng, i)) for i in range(50_000)]
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    partial = path.with_suffix(".partial")
    written = 0
    with open(partial, "wb") as out:
        while written < size_bytes:
            block = b"\n".join(pool[j] for j in rng.permutation(len(pool))) + b"\n"
            block = block[:size_bytes - written]
            block = block[:block.rfind(b"\n") + 1]
            if not block:
                break
            out.write(block)
            written += len(block)
    partial.rename(path)
    return path


def _cached(name, write):
    """Path of DATA_DIR/name, written once by write(file object)."""
    path = DATA_DIR / name
    if not path.exists():
        DATA_DIR.mkdir(parents=True, exist_ok=True)
        partial = path.with_suffix(".partial")
        with open(partial, "wb") as out:
            write(out)
        partial.rename(path)
    return path


def single_line_file(size_bytes):
    """Path of a cached NDJSON file of one line of about `size_bytes` bytes: one array of numbers."""
    items = size_bytes // 8
    return _cached(f"single-line-{size_bytes >> 20}MiB.ndjson",
                   lambda out: out.write(b"[" + b"1234567," * (items - 1) + b"1234567]\n"))


def one_byte_lines_file(lines):
    """Path of a cached NDJSON file of `lines` lines of one byte each (a digit)."""
    return _cached(f"one-byte-lines-{lines // 10**6}M.ndjson", lambda out: out.write(b"7\n" * lines))
