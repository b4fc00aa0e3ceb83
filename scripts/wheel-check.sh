#!/usr/bin/env bash
# Proves that a wheel builds from a clean clone of the committed HEAD (nothing cached: no .deps,
# no build tree, an isolated build environment) and that it installs into a fresh CPython 3.10
# venv, imports, works, and carries the type stubs and the NDJSON reader. Prints the wheel's
# name and size.
set -euo pipefail
cd "$(dirname "$0")/.."
python310=$(scripts/find-python310.sh)
work=$(mktemp -d "${TMPDIR:-/tmp}/wheel-check.XXXXXX")
trap 'rm -rf "$work"' EXIT

echo "clean clone of $(git rev-parse --short HEAD) into $work/src" >&2
git clone -q --no-local "$PWD" "$work/src"

echo "pip wheel (isolated build, CRoaring archive fetched by CMake)" >&2
"$python310" -m venv "$work/build-venv"
"$work/build-venv/bin/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/wheelhouse" "$work/src"
wheel=$(ls "$work"/wheelhouse/*.whl)

echo "install into a fresh venv" >&2
"$python310" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$wheel"

cd "$work"  # away from any source tree: only the installed wheel can be imported
"$work/venv/bin/python" - "$wheel" <<'PY'
import io
import os
import pickle
import sys
import zipfile

import numpy as np

import _quorvel_rec_extension as ext
from _quorvel_rec_extension import Bitmap, MemoryScanner
from quorvel_ndjson import count_ndjson

wheel = sys.argv[1]
names = zipfile.ZipFile(wheel).namelist()
assert "_quorvel_rec_extension-stubs/__init__.pyi" in names, names
assert {"quorvel_ndjson/__init__.py", "quorvel_ndjson/py.typed"} <= set(names), names
assert "/venv/" in ext.__file__, ext.__file__

b = Bitmap(np.array([3, 5, 2**40], dtype=np.uint64))
b.set(10, 20)
assert (len(b), b.first, b.last, 2**40 in b) == (13, 3, 2**40, True)
assert pickle.loads(pickle.dumps(b)) == b
assert repr(b) == "Bitmap([3, 5, 10, 11, 12, 13, 14, 15, 16, 17, ...], cardinality=13)"
assert MemoryScanner().scan(b'{"a":1}\n{"b":') == (1, 8)
assert count_ndjson(io.BytesIO(b'12345\n[1,\n7'), chunk_size=3).documents == 2
print(f"wheel-check ok: {os.path.basename(wheel)}, {os.path.getsize(wheel):,} bytes")
PY
