#!/usr/bin/env python3
"""Writes the fuzzers' seed corpora under DIR: the committed persisted-form blobs (whole, and cut
into pieces as operation bytes), the scanner test suite's byte literals and generated NDJSON, and
random byte strings of a few lengths for the Python-surface fuzzer (which decodes any bytes into
calls; long seeds give it long call sequences from the start)."""
import ast
import hashlib
import pathlib
import random
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
TESTS = ROOT / "tests"


def write_seeds(directory, seeds):
    directory.mkdir(parents=True, exist_ok=True)
    for seed in seeds:
        (directory / hashlib.sha1(seed).hexdigest()).write_bytes(seed)


def scanner_test_module():
    """The byte literals of tests/test_scanner.py and its NDJSON generator, without importing it."""
    tree = ast.parse((TESTS / "test_scanner.py").read_text())
    literals = [node.value for node in ast.walk(tree) if isinstance(node, ast.Constant) and isinstance(node.value, bytes)]
    generator = next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == "random_ndjson")
    namespace = {}
    exec(compile(ast.Module(body=[ast.parse("import json, random").body[0], generator], type_ignores=[]),
                 "test_scanner.py", "exec"), namespace)
    return literals, namespace["random_ndjson"]


def main(out):
    blobs = [path.read_bytes() for path in sorted((TESTS / "data").glob("*.bin"))]
    write_seeds(out / "persisted_form", blobs)
    write_seeds(out / "operations", [blob[i:i + 512] for blob in blobs for i in range(0, len(blob), 512)])

    literals, random_ndjson = scanner_test_module()
    rng = random.Random(1)
    stream = random_ndjson(rng, 400)
    pieces, position = [], 0
    while position < len(stream):
        size = rng.choice([7, 64, 300, 1000, 4000])
        pieces.append(stream[position:position + size])
        position += size
    write_seeds(out / "scanner", [literal for literal in literals if literal] + pieces)
    write_seeds(out / "python_surface", [rng.randbytes(length) for length in (64, 256, 1024, 4096)])


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1]))
