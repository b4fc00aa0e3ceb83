"""Shared fixtures: boundary positions and a helper that builds bitmaps from Python ints."""
import importlib.util

import numpy as np
import pytest

from _quorvel_rec_extension import Bitmap

BUCKET = 2**32
MAX = 2**64 - 1
# Positions either side of bucket boundaries and at the ends of the 64-bit range.
BOUNDARY_POSITIONS = [0, 1, BUCKET - 1, BUCKET, BUCKET + 1, 2 * BUCKET - 1, 2 * BUCKET, MAX - BUCKET, MAX - 1, MAX]


def bitmap_of(positions):
    """A Bitmap holding exactly `positions` (any iterable of ints)."""
    return Bitmap(np.array(sorted(set(positions)), dtype=np.uint64))


@pytest.fixture
def make_bitmap():
    return bitmap_of


def load_script(path, name):
    """Imports the Python file at `path` (a demo or example outside any package) as module `name`."""
    source = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(source)
    source.loader.exec_module(module)
    return module
