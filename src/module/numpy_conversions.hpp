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
py::array_t<bool> bool_array(const Bitmap& bitmap, Flag invert, Flag relative);

}  // namespace quorvel::module

namespace pybind11::detail {

// pybind11's caster of PositionArray, except for the errors NumPy raises on converting: TypeError,
// ValueError and OverflowError refuse the argument (strings, integers below 0 or from 2^64, ragged
// sequences), any other propagates, where pybind11 would report it as incompatible arguments.
template <>
class type_caster<quorvel::module::PositionArray> : public pyobject_caster<quorvel::module::PositionArray> {
 public:
  bool load(handle source, bool convert) {
    using Array = quorvel::module::PositionArray;
    if (!source || (!convert && !Array::check_(source))) return false;
    PyObject* converted =
        npy_api::get().PyArray_FromAny_(source.ptr(), dtype::of<std::uint64_t>().release().ptr(), 0, 0,
                                        npy_api::NPY_ARRAY_ENSUREARRAY_ | Array::forcecast, nullptr);
    if (converted == nullptr) {
      quorvel::module::clear_refusal_or_raise(PyExc_TypeError, PyExc_ValueError, PyExc_OverflowError);
      return false;
    }
    value = reinterpret_steal<Array>(converted);
    return true;
  }
};

}  // namespace pybind11::detail
