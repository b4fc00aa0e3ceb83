// quorvel_ndjson._lines: the NDJSON reader's native helper. Line numbers need every newline of
// the input counted, which in Python costs a third of a pass's time.
#include <pybind11/pybind11.h>

#include "module/buffers.hpp"
#include "scanner/newline_count.hpp"

namespace py = pybind11;

PYBIND11_MODULE(_lines, module) {
  module.def(
      "count_newlines",
      [](const py::buffer& buffer) {
        const quorvel::module::ByteView view = quorvel::module::byte_view(buffer);
        return count_newlines(view.data(), view.size());
      },
      py::arg("buffer"), "count_newlines(buffer) -> int: the b'\\n' bytes in a bytes-like buffer.");
}
