// Conversions between Python objects and the C++ core: byte buffers and NumPy arrays.
#pragma once

#include "module/casters.hpp"

#include <pybind11/numpy.h>

#include <cstddef>
#include <cstdint>

namespace quorvel::module {

namespace py = pybind11;
using storage::Bitmap;
using PositionArray = py::array_t<std::uint64_t, py::array::forcecast>;

// A view of a buffer-protocol object as one run of bytes. Holds the buffer until destroyed.
struct ByteView {
  py::buffer_info info;
  const std::uint8_t* data() const { return static_cast<const std::uint8_t*>(info.ptr); }
  std::uint8_t* writable_data() const { return static_cast<std::uint8_t*>(info.ptr); }
  std::size_t size() const { return static_cast<std::size_t>(info.size); }
};

// Requests a read-only view with strides and format; the item size must be 1 (RuntimeError
// "Item size should be 1") and the bytes one contiguous run (BufferError otherwise).
ByteView byte_view(const py::buffer& buffer);

// As byte_view, and the buffer must be writable (ValueError otherwise).
ByteView writable_byte_view(const py::buffer& buffer);

// A 1-D array: contiguous arrays take the bulk path, strided views (negative strides too) are
// stepped through. Other dimensions raise ValueError "array has incorrect number of dimensions".
Bitmap bitmap_from_array(const PositionArray& indices);

py::array_t<std::uint64_t> index_array(const Bitmap& bitmap);
py::array_t<bool> bool_array(const Bitmap& bitmap, bool invert, bool relative);

}  // namespace quorvel::module
