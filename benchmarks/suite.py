"""The benchmark suite: every operation against its baselines, timed in the same run.

Run: make bench            (or .venv/bin/python benchmarks/suite.py [--quick])
Prints one table and writes benchmarks/results.json and benchmarks/results.png.

Each row is checked before it is timed: ours and the baseline must compute the same answer.
Times are medians of several runs (sub-millisecond actions are timed in batches of calls);
per-call operations are timed over a Python loop of calls, in turn with their baseline round
after round, and reported per call. --quick uses smaller sizes for development (the results
files then get a "-quick" suffix).
"""
import argparse
import gc
import json
import os
import platform
import statistics
import subprocess
import time
from pathlib import Path

import numpy as np
import orjson
import pyroaring
from pyroaring import BitMap64

from _quorvel_rec_extension import Bitmap, MemoryScanner
from quorvel_ndjson import count_ndjson

import workloads

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent
CEILING = ROOT / "build" / "scan-ceiling" / "scan_ceiling"

BULK, PER_CALL, NEW_CONTAINERS, COPY_LIMIT, SIZE, SCAN = 1.0, 1.0, 1.5, 2.0, 1.05, 1.0
SIZE_CALL = 1.1  # write(bytearray(b.persisted_size())) against the same with the size known
READER, READER_LINEAR = 1 / 0.7, 3.0  # count_ndjson over a file against one scan of its bytes in memory
# The configurations of the C++ scan ceiling run on the whole file, as (row name, mode, bytes): one
# batch for the file; 1 MiB batches with simdjson's stage-1 worker thread indexing the next batch
# while the current one is walked; the same without the thread. The chunked one is added in scan_rows.
CEILINGS = [("iterate_many whole", "whole", 0), ("iterate_many 1MiB+thread", "batched", 1 << 20),
            ("iterate_many 1MiB", "batched-unthreaded", 1 << 20)]
BATCHED_BELOW, BATCH_TIME = 1e-3, 20e-3  # seconds
MASK_LIMIT = 1 << 31  # bool_array rows run where the mask has fewer elements


class Suite:
    def __init__(self, quick, ceiling):
        self.quick = quick
        self.ceiling = ceiling
        self.simdjson = None  # the release the ceiling program reports, once it has run
        self.members = 1_000_000 if quick else 10_000_000
        self.repeats = 3 if quick else 5
        self.calls = 20_000 if quick else 100_000
        self.rows = []
        self.scaling = []

    # --- timing -----------------------------------------------------------------------------
    def timed(self, action, setup, calls):
        """Wall time of `calls` calls of action(setup()), or of action() without a setup; the setups and
        releasing the results are not timed."""
        arguments = [setup() for _ in range(calls)] if setup else [None] * calls
        gc.collect()
        start = time.perf_counter()
        results = [action(argument) for argument in arguments] if setup else [action() for _ in arguments]
        elapsed = time.perf_counter() - start
        del results, arguments
        return elapsed

    @staticmethod
    def batch_for(elapsed):
        """Calls per timed batch of an action that took `elapsed` once: one, or enough to last about
        BATCH_TIME when it is shorter than BATCHED_BELOW, so that timer resolution and a cold cache
        do not decide the figure."""
        return 1 if elapsed >= BATCHED_BELOW else max(2, round(BATCH_TIME / max(elapsed, 1e-7)))

    def median(self, action, setup=None, repeats=None):
        """Median wall time of one action(setup()), over several batches (see batch_for). A first run
        longer than 5 s is not repeated."""
        times, calls = [], 1
        while len(times) < (repeats or self.repeats):
            elapsed = self.timed(action, setup, calls)
            if calls == 1 and not times and elapsed < BATCHED_BELOW:
                calls = self.batch_for(elapsed)  # this run was the probe
                continue
            times.append(elapsed / calls)
            if times[0] > 5.0:
                break  # one run of a slow baseline is enough
        return statistics.median(times)

    def interleaved_medians(self, actions, rounds, setups=None):
        """Median wall times of actions timed in turn, round after round, so that a slow phase of the
        machine weighs on each of them alike. setups[i], if given, makes the argument of each call of
        actions[i]. A first untimed run of each sizes its batches (see batch_for)."""
        setups = setups or [None] * len(actions)
        batches = [self.batch_for(self.timed(action, setup, 1)) for action, setup in zip(actions, setups)]
        times = [[] for _ in actions]
        for _ in range(rounds):
            for spent, action, setup, calls in zip(times, actions, setups, batches):
                spent.append(self.timed(action, setup, calls) / calls)
        return [statistics.median(spent) for spent in times]

    def add(self, operation, workload, ours_s, baseline, baseline_s, target, **extra):
        row = {"operation": operation, "workload": workload, "ours_s": ours_s, "baseline": baseline,
               "baseline_s": baseline_s, "ratio": ours_s / baseline_s, "target": target}
        row.update(extra)
        self.rows.append(row)
        met = "" if target is None else ("ok" if row["ratio"] <= target else "MISS")
        print(f"  {operation:28} {workload:16} {fmt(ours_s, extra.get('unit')):>12} {baseline:26} "
              f"{fmt(baseline_s, extra.get('unit')):>12} {row['ratio']:7.3f} {'' if target is None else target:>6.3} {met}",
              flush=True)

    def compare(self, operation, workload, ours, baselines):
        """ours: (action, setup); baselines: [(name, action, setup, target)]; times them all."""
        ours_s = self.median(*ours)
        for name, action, setup, target in baselines:
            self.add(operation, workload, ours_s, name, self.median(action, setup), target)

    def per_call(self, operation, workload, ours, name, theirs, target, queries):
        """ours/theirs: functions of one query, each timed over the query loop in turn with the
        other; reported per call."""
        def loop(f):
            def run():
                for q in queries:
                    f(q)
            return run
        ours_s, theirs_s = self.interleaved_medians([loop(ours), loop(theirs)], 2 * self.repeats + 1)
        self.add(operation, workload, ours_s / len(queries), name, theirs_s / len(queries), target)

    # --- the Bitmap operations --------------------------------------------------------------
    def construction(self, label, given, expected):
        ours = Bitmap(given)
        assert np.array_equal(ours.index_array(), expected)
        assert np.array_equal(np.frombuffer(BitMap64(given).to_array(), dtype=np.uint64), expected)
        assert np.array_equal(np.unique(given), expected)
        ours_s = self.median(lambda: Bitmap(given))
        peer_s = self.median(lambda: BitMap64(given))
        is_sorted = bool(np.all(given[1:] >= given[:-1]))
        # Sorted input must be at least 5 times faster than the peer's fastest way to build it.
        self.add("construction", label, ours_s, "BitMap64(array)", peer_s, 0.2 if is_sorted else BULK)
        self.add("construction", label, ours_s, "np.unique", self.median(lambda: np.unique(given)), None)
        if label.startswith("sparse"):
            values = given.tolist()
            assert len(set(values)) == len(expected)
            self.add("construction", label, ours_s, "set(list)", self.median(lambda: set(values)), None)
            del values

    def bitmap_rows(self, workload, positions, other_positions):
        print(f"{workload}: {len(positions):,} members", flush=True)
        a, pa = Bitmap(positions), BitMap64(positions)
        b, pb = Bitmap(other_positions), BitMap64(other_positions)
        as_array = lambda peer: np.frombuffer(peer.to_array(), dtype=np.uint64)
        rng = np.random.default_rng(workloads.SEED + 7)

        # Element queries and updates, per call.
        members = positions[rng.integers(0, len(positions), self.calls // 2)]
        spread = rng.integers(int(positions[0]), int(positions[-1]) + 1, self.calls - len(members), dtype=np.uint64)
        queries = np.concatenate([members, spread]).tolist()
        assert [a.contains(q) for q in queries] == [q in pa for q in queries] == [q in a for q in queries]
        self.per_call("contains", workload, lambda q: a.contains(q), "in BitMap64", lambda q: q in pa, PER_CALL,
                      queries)
        self.per_call("in", workload, lambda q: q in a, "in BitMap64", lambda q: q in pa, PER_CALL, queries)
        if workload == "sparse":
            pyset = set(positions.tolist())
            assert [q in pyset for q in queries] == [q in a for q in queries]
            self.per_call("in", workload, lambda q: q in a, "in set", lambda q: q in pyset, None, queries)
            del pyset
        self.change_rows(workload, a, pa, spread.tolist(), queries)

        # Whole-set reads.
        assert sum(a) == sum(pa)
        self.compare("iteration sum(b)", workload, (lambda: sum(a), None),
                     [("sum(BitMap64)", lambda: sum(pa), None, BULK)])
        expected = np.asarray(positions)
        assert np.array_equal(a.index_array(), expected) and np.array_equal(as_array(pa), expected)
        self.compare("index_array", workload, (lambda: a.index_array(), None),
                     [("BitMap64.to_array", lambda: as_array(pa), None, BULK),
                      ("array copy (limit)", lambda: expected.copy(), None,
                       COPY_LIMIT)])
        if int(positions[-1] - positions[0]) < MASK_LIMIT:
            self.bool_array(workload, a, pa, expected)
        assert a.cardinality == len(pa)
        self.compare("cardinality", workload, (lambda: a.cardinality, None), [("len(BitMap64)", lambda: len(pa), None, None)])
        assert len(a) == len(pa)
        self.compare("len()", workload, (lambda: len(a), None), [("len(BitMap64)", lambda: len(pa), None, PER_CALL)])

        # Comparisons.
        a2, pa2, union, punion = a.copy(), pa.copy(), a | b, pa | pb
        assert (a == a2) and (pa == pa2) and a.subset_of(union) and pa.issubset(punion)
        self.compare("__eq__", workload, (lambda: a == a2, None), [("BitMap64 ==", lambda: pa == pa2, None, BULK)])
        self.compare("subset_of", workload, (lambda: a.subset_of(union), None),
                     [("BitMap64.issubset", lambda: pa.issubset(punion), None, BULK)])
        del a2, pa2, union, punion

        # Set algebra, new and in-place forms.
        for name, new, inplace, peer_new, peer_inplace in ALGEBRA:
            result = new(a, b)
            assert np.array_equal(result.index_array(), as_array(peer_new(pa, pb)))
            del result
            self.compare(name, workload, (lambda: new(a, b), None),
                         [(f"BitMap64 {name}", lambda: peer_new(pa, pb), None, BULK)])
            self.compare(name + " (in place)", workload, (lambda c: inplace(c, b), a.copy),
                         [(f"BitMap64 {name}_update", lambda c: peer_inplace(c, pb), pa.copy, BULK)])
        if workload == "sparse":
            s, t = set(positions.tolist()), set(other_positions.tolist())
            assert len(s | t) == len(a | b)
            self.add("union", workload, self.median(lambda: a | b), "set |", self.median(lambda: s | t), None)
            del s, t

        self.rank_rows(workload, a, pa, positions)
        self.range_rows(workload, a, pa, positions)
        self.persistence_rows(workload, a, pa)

    def change_rows(self, workload, a, pa, fresh, queries):
        """set of new positions (on the sparse workload in buckets of tens of thousands of containers) and
        unset of the queries, each loop on a fresh copy, per call."""
        def set_ours(copy):
            for q in fresh:
                copy.set(q)

        def set_theirs(copy):
            for q in fresh:
                copy.add(q)

        def unset_ours(copy):
            for q in queries:
                copy.unset(q)

        def unset_theirs(copy):
            for q in queries:
                copy.discard(q)
        for operation, ours, name, theirs, calls, target in (
                ("set (one position)", set_ours, "BitMap64.add", set_theirs, len(fresh),
                 NEW_CONTAINERS if workload == "sparse" else PER_CALL),
                ("unset (one position)", unset_ours, "BitMap64.discard", unset_theirs, len(queries), PER_CALL)):
            check, peer_check = a.copy(), pa.copy()
            ours(check), theirs(peer_check)
            assert check.cardinality == len(peer_check)
            del check, peer_check
            ours_s, theirs_s = self.interleaved_medians([ours, theirs], 2 * self.repeats + 1, [a.copy, pa.copy])
            self.add(operation, workload, ours_s / calls, name, theirs_s / calls, target)

    def bool_array(self, workload, a, pa, expected):
        def peer_mask():
            values = np.frombuffer(pa.to_array(), dtype=np.uint64)
            mask = np.zeros(int(values[-1] - values[0]) + 1, dtype=bool)
            mask[values - values[0]] = True
            return mask
        mask = peer_mask()
        assert np.array_equal(a.bool_array(invert=False), mask)
        self.compare("bool_array", workload, (lambda: a.bool_array(invert=False), None),
                     [("BitMap64.to_array+scatter", peer_mask, None, BULK),
                      ("array copy (limit)", lambda: mask.copy(), None, COPY_LIMIT)])

    def rank_rows(self, workload, a, pa, positions):
        rng = np.random.default_rng(workloads.SEED + 11)
        # Select and rank walk the buckets' containers on both sides: fewer calls keep this short.
        count = 100
        ordinals = rng.integers(0, len(positions), count).tolist()
        assert [a.nth(i) for i in ordinals[:20]] == [pa[i] for i in ordinals[:20]]
        self.per_call("nth", workload, lambda i: a.nth(i), "BitMap64[i]", lambda i: pa[i], PER_CALL, ordinals)
        probes = rng.integers(int(positions[0]) + 1, int(positions[-1]), self.calls, dtype=np.uint64).tolist()
        assert [a.lower_cardinality(p) for p in probes[:20]] == [pa.rank(p - 1) for p in probes[:20]]
        self.per_call("lower_cardinality", workload, lambda p: a.lower_cardinality(p), "BitMap64.rank",
                      lambda p: pa.rank(p - 1), None, probes[:count])
        assert [a.self_or_next(p) for p in probes[:200]] == [pa.next_set_bit(p) for p in probes[:200]]
        self.per_call("self_or_next", workload, lambda p: a.self_or_next(p), "BitMap64.next_set_bit",
                      lambda p: pa.next_set_bit(p), PER_CALL, probes)

    def range_rows(self, workload, a, pa, positions):
        start = int(positions[len(positions) // 2])
        end = start + (1 << 33)
        for name, ours, theirs in (("set range 2^33", lambda c: c.set(start, end), lambda c: c.add_range(start, end)),
                                   ("flip range 2^33", lambda c: c.flip(start, end),
                                    lambda c: c.flip_inplace(start, end))):
            check, peer_check = a.copy(), pa.copy()
            ours(check), theirs(peer_check)
            assert check.cardinality == len(peer_check) and check.last == peer_check.max()
            del check, peer_check
            self.add(name, workload, self.median(ours, a.copy), name.split()[0] == "set" and "BitMap64.add_range"
                     or "BitMap64.flip_inplace", self.median(theirs, pa.copy),
                     BULK if name.startswith("flip") and workload == "sparse" else None)
        # Near the start, contract/expand move every member: the peer's whole-bitmap shift is the same set.
        first, by = int(positions[0]), 5
        assert first > by
        window = (lambda c: c.contract(first - 1, by), lambda c: c.shift(-by),
                  lambda c: c.expand(first, by), lambda c: c.shift(by))
        for name, ours, theirs in (("contract", window[0], window[1]), ("expand", window[2], window[3])):
            check = a.copy()
            ours(check)
            assert np.array_equal(check.index_array(), np.frombuffer(theirs(pa).to_array(), dtype=np.uint64))
            del check
            self.add(name, workload, self.median(ours, a.copy), "BitMap64.shift", self.median(theirs, lambda: pa), None)

    def persistence_rows(self, workload, a, pa):
        peer = pa.copy()
        peer.run_optimize()
        peer.shrink_to_fit()
        blob = peer.serialize()
        assert BitMap64.deserialize(blob) == pa
        for portable in (True, False):
            variant = "portable" if portable else "native"
            size = a.persisted_size(portable)
            buffer = bytearray(size)
            assert a.write(buffer, portable) == size and Bitmap.read(buffer, portable) == a
            self.add(f"persisted size ({variant})", workload, size, "BitMap64.serialize", len(blob), SIZE,
                     unit="bytes")

            def write(size_of):
                out = bytearray(size_of())
                a.write(out, portable)
                return out  # kept, as the peer's blob is: each call writes fresh memory
            self.compare(f"persisted_size+write ({variant})", workload,
                         (lambda: write(lambda: a.persisted_size(portable)), None),
                         [("BitMap64.serialize", lambda: peer.serialize(), None, BULK),
                          ("write(bytearray(size))", lambda: write(lambda: size), None, SIZE_CALL)])
            form = bytes(buffer)  # as the peer's blob: bytes, which read decodes without a private copy
            self.compare(f"read ({variant})", workload, (lambda: Bitmap.read(form, portable), None),
                         [("BitMap64.deserialize", lambda: BitMap64.deserialize(blob), None, BULK)])

    # --- scaling ----------------------------------------------------------------------------
    def scaling_rows(self):
        sizes = (100_000, 1_000_000, 10_000_000) if self.quick else (1_000_000, 10_000_000, 100_000_000)
        for members in sizes:
            given = workloads.sparse(members)
            other = np.sort(workloads.sparse(members, seed=workloads.SEED + 1))
            label = f"sparse {members // 1_000_000 or members / 1e6:g}M"
            repeats = 3 if members >= 100_000_000 else self.repeats
            ours_build = self.median(lambda: Bitmap(given), repeats=repeats)
            a, b = Bitmap(given), Bitmap(other)
            ours_union = self.median(lambda: a | b, repeats=repeats)
            check = (a | b).cardinality
            del a, b
            gc.collect()
            peer_build = self.median(lambda: BitMap64(given), repeats=repeats)
            pa, pb = BitMap64(given), BitMap64(other)
            peer_union = self.median(lambda: pa | pb, repeats=repeats)
            assert check == len(pa | pb)
            del pa, pb, given, other
            gc.collect()
            for operation, ours_s, peer_s in (("construction (scaling)", ours_build, peer_build),
                                              ("union (scaling)", ours_union, peer_union)):
                self.add(operation, label, ours_s, "BitMap64", peer_s, BULK,
                         ours_ns_per_member=ours_s / members * 1e9, baseline_ns_per_member=peer_s / members * 1e9)
                self.scaling.append({"operation": operation.split()[0], "members": members,
                                     "ns_per_member": ours_s / members * 1e9,
                                     "baseline_ns_per_member": peer_s / members * 1e9})

    # --- scanner ----------------------------------------------------------------------------
    def scan_rows(self):
        size = (64 << 20) if self.quick else (500 << 20)
        path = workloads.ndjson_file(size)
        data = path.read_bytes()
        lines = data.count(b"\n")
        label = f"ndjson {len(data) >> 20} MiB"
        print(f"{label}: {lines:,} records", flush=True)
        scanner = MemoryScanner()
        assert scanner.scan(data) == (lines, len(data))
        chunk = 16 << 20
        ceilings = {name: self.run_ceiling(path, mode, size, (lines, len(data)))
                    for name, mode, size in CEILINGS + [(f"iterate_many {chunk >> 20}MiB chunks", "chunked", chunk)]}
        fastest = min(ceilings, key=lambda name: ceilings[name]["median_s"])
        whole = self.median(lambda: scanner.scan(data))
        self.ceiling_rows(label + " whole", whole, ceilings, fastest)
        self.add("scan", label + " whole", whole, 'bytes.count(b"\\n")', self.median(lambda: data.count(b"\n")), None)

        def orjson_lines():
            count = 0
            for line in data.splitlines():
                orjson.loads(line)
                count += 1
            return count
        assert orjson_lines() == lines
        self.add("scan", label + " whole", whole, "orjson.loads per line", self.median(orjson_lines, repeats=1), None)

        buffers, tail = [], b""
        for offset in range(0, len(data), chunk):
            buffer = tail + data[offset:offset + chunk]
            documents, consumed = scanner.scan(buffer)
            buffers.append(buffer)
            tail = buffer[consumed:]
        assert tail == b""

        def chunked():
            documents = consumed = 0
            for buffer in buffers:
                d, c = scanner.scan(buffer)
                documents, consumed = documents + d, consumed + c
            return documents, consumed
        assert chunked() == (lines, len(data))
        self.ceiling_rows(label + f" {chunk >> 20} MiB chunks", self.median(chunked), ceilings, fastest)
        self.reader_row(label + " file", path, data, "scan of the bytes in one buffer", lambda: scanner.scan(data),
                        READER)

        def old_recipe():  # README's chunked recipe before count_ndjson: tail + chunk copied for every chunk
            documents, tail = 0, b""
            with open(path, "rb") as source:
                while piece := source.read(chunk):
                    buffer = tail + piece
                    count, consumed = scanner.scan(buffer)
                    documents, tail = documents + count, buffer[consumed:]
            return documents
        assert old_recipe() == lines
        self.add("count_ndjson", label + " file", self.rows[-1]["ours_s"], "old recipe: tail + chunk copies",
                 self.median(old_recipe), None)

    def reader_rows(self):
        """count_ndjson where a careless reader takes quadratic time: one long line (scanned again
        and again while it grows), and many tiny ones (work per line). The baseline is a fresh
        scanner, since count_ndjson makes one and a document longer than a window makes it allocate."""
        mib, lines = (20, 10**6) if self.quick else (200, 10**7)
        for label, path in [(f"1 line of {mib} MiB", workloads.single_line_file(mib << 20)),
                            (f"{lines // 10**6}M 1-byte lines", workloads.one_byte_lines_file(lines))]:
            data = path.read_bytes()
            self.reader_row(label, path, data, "fresh scanner's scan of the bytes", lambda: MemoryScanner().scan(data),
                            READER_LINEAR)

    def reader_row(self, label, path, data, baseline, scan_bytes, target):
        """count_ndjson over `path`, whose bytes are `data`, against one scan of them (scan_bytes),
        the two timed in turn."""
        documents, consumed = MemoryScanner().scan(data)
        result = count_ndjson(path)
        assert consumed == len(data) and result.bad_line_count == 0
        assert (result.documents, result.lines) == (documents, data.count(b"\n"))
        ours_s, baseline_s = self.interleaved_medians([lambda: count_ndjson(path), scan_bytes], 2 * self.repeats + 1)
        self.add("count_ndjson", label, ours_s, baseline, baseline_s, target)

    def ceiling_rows(self, workload, ours_s, ceilings, fastest):
        """`scan` against the fastest configuration of the C++ ceiling (the target), then against
        each of the others."""
        self.add("scan", workload, ours_s, "fastest: " + fastest, ceilings[fastest]["median_s"], SCAN, ceiling=fastest)
        for name, ceiling in ceilings.items():
            if name != fastest:
                self.add("scan", workload, ours_s, name, ceiling["median_s"], None)

    def run_ceiling(self, path, mode, size, expected):
        """The C++ ceiling's run in `mode` (see scan_ceiling.cpp) with `size` bytes per batch or chunk;
        checks its (documents, consumed) against `expected`."""
        out = subprocess.run([str(self.ceiling), str(path), mode, str(size), str(self.repeats)], check=True,
                             capture_output=True, text=True).stdout
        result = json.loads(out)
        assert (result["documents"], result["consumed"]) == expected, (mode, result)
        assert result["threaded"] == (mode == "batched"), (mode, result)
        self.simdjson = f"{result['simdjson']} ({result['implementation']} kernel)"
        return result


ALGEBRA = [
    ("union", lambda x, y: x | y, lambda c, y: c.__ior__(y), lambda x, y: x | y, lambda c, y: c.__ior__(y)),
    ("intersection", lambda x, y: x & y, lambda c, y: c.__iand__(y), lambda x, y: x & y,
     lambda c, y: c.intersection_update(y)),
    ("difference", lambda x, y: x - y, lambda c, y: c.__isub__(y), lambda x, y: x - y,
     lambda c, y: c.difference_update(y)),
    ("symmetric difference", lambda x, y: x ^ y, lambda c, y: c.__ixor__(y), lambda x, y: x ^ y,
     lambda c, y: c.symmetric_difference_update(y)),
]


def fmt(value, unit=None):
    if unit == "bytes":
        return f"{value / 2**20:.2f} MiB"
    if value >= 1:
        return f"{value:.3f} s"
    if value >= 1e-3:
        return f"{value * 1e3:.2f} ms"
    if value >= 1e-6:
        return f"{value * 1e6:.2f} us"
    return f"{value * 1e9:.1f} ns"


def machine():
    model = next((line.split(":", 1)[1].strip() for line in subprocess.run(
        ["lscpu"], capture_output=True, text=True).stdout.splitlines() if line.startswith("Model name")), "unknown")
    return {"cpu": model, "cores": os.cpu_count(), "memory_gib": round(os.sysconf("SC_PAGE_SIZE") *
            os.sysconf("SC_PHYS_PAGES") / 2**30, 1), "system": platform.platform(), "python": platform.python_version()}


def versions(simdjson):
    return {"quorvel-rec-extension": "0.1.0 (this tree)", "pyroaring": pyroaring.__version__,
            "croaring (pyroaring)": getattr(pyroaring, "__croaring_version__", "unknown"),
            "numpy": np.__version__, "orjson": orjson.__version__,
            "simdjson (scan ceiling's build)": simdjson or "not run", "python": platform.python_version()}


def print_table(rows, scaling):
    header = f"{'operation':30} {'workload':22} {'ours':>12} {'baseline':30} {'baseline':>12} {'ratio':>7} {'target':>7}"
    print("\n" + header + "\n" + "-" * len(header))
    for row in rows:
        unit = row.get("unit")
        ours = row["ours_s"] if unit is None else row["ours_bytes"]
        theirs = row["baseline_s"] if unit is None else row["baseline_bytes"]
        target = "" if row["target"] is None else f"<={row['target']:.3g}"
        flag = "" if row["target"] is None or row["ratio"] <= row["target"] else "  MISS"
        print(f"{row['operation']:30} {row['workload']:22} {fmt(ours, unit):>12} {row['baseline']:30} "
              f"{fmt(theirs, unit):>12} {row['ratio']:7.3f} {target:>7}{flag}")
    for operation in ("construction", "union"):
        points = [s for s in scaling if s["operation"] == operation]
        if points:
            growth = points[-1]["ns_per_member"] / points[0]["ns_per_member"]
            steps = ", ".join(f"{p['members'] / 1e6:g}M {p['ns_per_member']:.1f} ns" for p in points)
            print(f"scaling {operation:12} ns/member: {steps}; growth x{growth:.2f} (target < 1.5)"
                  f"{'' if growth < 1.5 else '  MISS'}")


def chart(rows, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    timed = [r for r in rows if r.get("unit") is None]
    labels = [f"{r['operation']} | {r['workload']} | vs {r['baseline']}" for r in timed]
    ratios = [r["ratio"] for r in timed]
    colours = ["tab:grey" if r["target"] is None else ("tab:green" if r["ratio"] <= r["target"] else "tab:red")
               for r in timed]
    fig, ax = plt.subplots(figsize=(11, 0.22 * len(timed) + 1.5))
    y = np.arange(len(timed))
    ax.barh(y, ratios, color=colours)
    for i, r in enumerate(timed):
        if r["target"] is not None:
            ax.plot([r["target"], r["target"]], [i - 0.4, i + 0.4], color="black", linewidth=1)
    ax.axvline(1.0, color="black", linestyle=":", linewidth=0.8)
    ax.set_xscale("log")
    ax.set_yticks(y, labels, fontsize=6)
    ax.invert_yaxis()
    ax.set_xlabel("time ratio, ours / baseline (log scale; lower is better; black tick = target)")
    ax.set_title("quorvel-rec-extension vs baselines (green: target met, red: missed, grey: no target)")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="smaller sizes, for development")
    parser.add_argument("--only", choices=["bitmap", "scaling", "scan"], help="run one part only")
    parser.add_argument("--ceiling", type=Path, default=CEILING,
                        help="the scan ceiling program (default: %(default)s), e.g. one built with another simdjson")
    args = parser.parse_args()
    suite = Suite(args.quick, args.ceiling)
    n = suite.members
    if args.only in (None, "bitmap"):
        given = workloads.sparse(n)
        suite.construction("sparse unsorted", given, np.sort(given))
        del given
        for name, shape in workloads.SHAPES.items():
            positions = shape(n, workloads.SEED)
            suite.construction(name + " sorted" if name == "sparse" else name, positions, positions)
            suite.bitmap_rows(name, positions, shape(n, workloads.SEED + 1))
            del positions
            gc.collect()
    if args.only in (None, "scaling"):
        suite.scaling_rows()
    if args.only in (None, "scan"):
        suite.scan_rows()
        suite.reader_rows()
    for row in suite.rows:
        if row.get("unit") == "bytes":
            row["ours_bytes"], row["baseline_bytes"] = row["ours_s"], row["baseline_s"]
            row["ours_s"] = row["baseline_s"] = None
    print_table(suite.rows, suite.scaling)
    suffix = "-quick" if args.quick else ""
    if args.only:
        suffix += "-" + args.only
    result = {"machine": machine(), "versions": versions(suite.simdjson), "quick": args.quick, "rows": suite.rows,
              "scaling": suite.scaling}
    (HERE / f"results{suffix}.json").write_text(json.dumps(result, indent=1) + "\n")
    chart(suite.rows, HERE / f"results{suffix}.png")
    print(f"\nwrote {HERE / f'results{suffix}.json'} and {HERE / f'results{suffix}.png'}")


if __name__ == "__main__":
    main()
