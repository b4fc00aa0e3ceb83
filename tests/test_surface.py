"""The Python-visible surface: names, kinds, parameter names, defaults and the interpreter check."""
import glob
import os
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _quorvel_rec_extension as ext
from _quorvel_rec_extension import Bitmap, MemoryScanner

# The binding table of Bitmap, in registration order.
BITMAP_ROWS = [
    "__init__", "copy", "slice", "persisted_size", "read", "write", "cardinality", "empty", "first", "last",
    "in_memory_size", "lower_cardinality", "upper_cardinality", "nth", "self_or_next", "self_or_previous",
    "subset_of", "strict_subset_of", "contains", "all", "any", "__len__", "__contains__", "contract", "expand",
    "set", "unset", "flip", "symmetric_difference", "union", "intersect", "difference", "__or__", "__and__",
    "__sub__", "__xor__", "__eq__", "inplace_symmetric_difference", "inplace_union", "inplace_intersect",
    "inplace_difference", "__ior__", "__iand__", "__isub__", "__ixor__", "__iter__", "index_array", "bool_array",
]
PROPERTIES = ["cardinality", "empty", "first", "last", "in_memory_size"]


def test_module_holds_exactly_the_two_classes():
    public = sorted(name for name in vars(ext) if not name.startswith("__"))
    assert public == ["Bitmap", "MemoryScanner"]
    assert ext.__doc__ is None


def test_bitmap_rows_registered_in_table_order():
    registered = [name for name in vars(Bitmap) if name in BITMAP_ROWS]
    assert registered == BITMAP_ROWS


def test_kinds_of_rows():
    assert isinstance(vars(Bitmap)["read"], staticmethod)
    for name in PROPERTIES:
        assert isinstance(vars(Bitmap)[name], property), name
    assert Bitmap().first is None


def test_unhashable():
    assert Bitmap.__hash__ is None
    with pytest.raises(TypeError):
        hash(Bitmap())


@pytest.mark.parametrize("method, kwargs", [
    ("contains", {"position": 3}),
    ("all", {"startInc": 0, "endEx": 4}),
    ("any", {"startInc": 0, "endEx": 4}),
    ("set", {"position": 3, "endEx": None}),
    ("unset", {"position": 3, "endEx": 9}),
    ("flip", {"position": 3, "endEx": None}),
    ("bool_array", {"invert": False, "relative": False}),
])
def test_parameter_names_are_accepted_as_keywords(method, kwargs):
    getattr(Bitmap(), method)(**kwargs)


def test_flip_end_must_be_passed_but_may_be_none():
    b = Bitmap()
    with pytest.raises(TypeError):
        b.flip(5)
    b.flip(5, None)
    assert list(b) == [5]


def test_bool_array_first_positional_is_invert():
    b = Bitmap(np.array([2, 4], dtype=np.uint64))
    assert b.bool_array(False).tolist() == b.bool_array(invert=False, relative=True).tolist()


def test_scan_parameter_has_no_keyword_name():
    with pytest.raises(TypeError):
        MemoryScanner().scan(buffer=b"")


def other_python():
    """A CPython other than 3.10 from pyenv, if one is installed."""
    root = subprocess.run(["pyenv", "root"], capture_output=True, text=True).stdout.strip() \
        if shutil.which("pyenv") else os.path.expanduser("~/.pyenv")
    candidates = sorted(glob.glob(os.path.join(root, "versions", "3.1[1-9].*", "bin", "python3.1?")))
    return candidates[0] if candidates else None


def test_other_interpreter_is_refused_with_the_version_text(tmp_path):
    python = other_python()
    if python is None:
        pytest.skip("no CPython other than 3.10 installed")
    shutil.copy(ext.__file__, tmp_path / "_quorvel_rec_extension.so")
    script = ("import sys\ntry:\n    import _quorvel_rec_extension\nexcept ImportError as e:\n"
              "    print(e)\n    print(sys.version)\n")
    out = subprocess.run([python, "-c", script], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    message, version = out.stdout.splitlines()[:2]
    assert message == ("Python version mismatch: module was compiled for Python 3.10, but the interpreter "
                       f"version is incompatible: {version}.")
    assert sys.version_info[:2] == (3, 10)
