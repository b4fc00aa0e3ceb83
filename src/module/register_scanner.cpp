// The binding table of MemoryScanner.
#include "module/conversions.hpp"
#include "module/registration.hpp"
#include "scanner/memory_scanner.hpp"

namespace quorvel::module {

namespace {

// (documents, consumed) of the bytes of `buffer`.
std::pair<std::uint64_t, std::uint64_t> scan(MemoryScanner& self, const py::buffer& buffer) {
  const ByteView view = byte_view(buffer);
  const MemoryScanner::Result result = self.scan(view.data(), view.size());
  return {result.documents, result.consumed};
}

}  // namespace

void register_scanner(py::module_& module) {
  py::class_<MemoryScanner>(module, "MemoryScanner",
                            "Counts the JSON documents in a bytes-like buffer (NDJSON and the like).")
      .def(py::init<>())
      .def("scan", &scan,
           "scan(buffer) -> (documents, consumed): complete documents and the bytes they cover from the "
           "start; carry buffer[consumed:] over into the next chunk.");
}

}  // namespace quorvel::module
