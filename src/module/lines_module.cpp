// quorvel_ndjson._lines: the NDJSON reader's native helpers. Line numbers need every newline of
// the input counted, which in Python costs a third of a pass's time; a regular file is read by two
// threads, which count its newlines as they go.
#include <pybind11/pybind11.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "module/buffers.hpp"
#include "scanner/file_read.hpp"
#include "scanner/newline_count.hpp"

namespace py = pybind11;

namespace {

std::pair<std::size_t, std::size_t> read_into(int fd, const py::buffer& buffer, std::uint64_t offset) {
  const quorvel::module::ByteView view = quorvel::module::writable_byte_view(buffer);
  ChunkRead read{};
  {
    const py::gil_scoped_release released;  // the view holds the buffer's memory meanwhile
    read = read_chunk(fd, view.writable_data(), view.size(), offset);
  }
  if (read.error != 0) {
    errno = read.error;
    PyErr_SetFromErrno(PyExc_OSError);
    throw py::error_already_set();
  }
  return {read.got, read.newlines};
}

}  // namespace

PYBIND11_MODULE(_lines, module) {
  module.def(
      "count_newlines",
      [](const py::buffer& buffer) {
        const quorvel::module::ByteView view = quorvel::module::byte_view(buffer);
        return count_newlines(view.data(), view.size());
      },
      py::arg("buffer"), "count_newlines(buffer) -> int: the b'\\n' bytes in a bytes-like buffer.");
  module.def("read_into", &read_into, py::arg("fd"), py::arg("buffer"), py::arg("offset"),
             "read_into(fd, buffer, offset) -> (bytes read, newlines among them): fills the writable "
             "buffer from the regular file fd at offset (pread: the file's position does not move) "
             "until it is full or the file ends. Raises OSError.");
}
