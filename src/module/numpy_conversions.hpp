// Conversions between NumPy arrays and Bitmap: construction from positions, and both exports.
#pragma once

#include <pybind11/numpy.h>

#include <cstdint>

#include "module/bitmap_caster.hpp"

namespace quorvel::module {

namespace py = pybind11;
using storage::Bitmap;
using PositionArray = py::array_t<std::uint64_t, py::array::forcecast>;

// A 1-D array: contiguous arrays take the bulk path, strided views (negative strides too) are
// stepped through. Other dimensions raise ValueError "array has incorrect number of dimensions".
Bitmap bitmap_from_array(const PositionArray& indices);

py::array_t<std::uint64_t> index_array(const Bitmap& bitmap);
py::array_t<bool> bool_array(const Bitmap& bitmap, bool invert, bool relative);

}  // namespace quorvel::module
