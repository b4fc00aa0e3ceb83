// Byte buffers: views of buffer-protocol objects.
#include "module/buffers.hpp"

#include <stdexcept>

namespace quorvel::module {

ByteView byte_view(const py::buffer& buffer) {
  ByteView view{buffer.request(/*writable=*/false)};
  if (view.info.itemsize != 1) throw std::runtime_error("Item size should be 1");
  py::ssize_t expected_stride = 1;
  for (py::ssize_t dim = view.info.ndim - 1; dim >= 0; --dim) {
    const auto d = static_cast<std::size_t>(dim);
    if (view.info.shape[d] > 1 && view.info.strides[d] != expected_stride) {
      throw py::buffer_error("buffer must be C-contiguous");
    }
    expected_stride *= view.info.shape[d];
  }
  return view;
}

ByteView writable_byte_view(const py::buffer& buffer) {
  ByteView view = byte_view(buffer);
  if (view.info.readonly) throw std::invalid_argument("buffer is read-only");
  return view;
}

}  // namespace quorvel::module
