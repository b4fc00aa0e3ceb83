// Byte buffers: a buffer-protocol object seen as one run of bytes.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>

namespace quorvel::module {

namespace py = pybind11;

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

}  // namespace quorvel::module
