// The binding table of MemoryScanner, then its Python protocols (text form, pickling).
#include "module/buffers.hpp"
#include "module/lifecycle.hpp"
#include "module/registration.hpp"
#include "module/scanner_caster.hpp"

namespace quorvel::module {

namespace {

// (documents, consumed) of the bytes of `buffer`.
std::pair<std::uint64_t, std::uint64_t> scan(MemoryScanner& self, const py::buffer& buffer) {
  const ByteView view = byte_view(buffer);
  const MemoryScanner::Result result = self.scan(view.data(), view.size());
  return {result.documents, result.consumed};
}

// A scanner holds no state worth keeping, only reusable parser buffers: it pickles as a fresh one.
py::tuple reduce(const py::object& self) { return py::make_tuple(py::type::of(self), py::tuple()); }

}  // namespace

void register_scanner(py::module_& module) {
  const auto scanner_class =
      py::class_<MemoryScanner>(module, "MemoryScanner",
                                "Counts the JSON documents in a bytes-like buffer (NDJSON and the like).")
          .def(py::init<>(),
               "MemoryScanner(): a scanner; reuse it, its parser buffers are kept between scans. Run "
               "again on a live scanner, makes it a fresh one.")
          .def("scan", &scan,
               "scan(buffer) -> (documents, consumed): complete documents and the bytes they cover from the "
               "start; carry buffer[consumed:] over into the next chunk.")
          .def(
              "__repr__", [](const MemoryScanner&) { return "MemoryScanner()"; },
              "The text form, MemoryScanner().")
          .def("__reduce__", &reduce, "Pickle support: a fresh scanner, (type(self), ()).");
  rebuild_when_run_again<MemoryScanner>(scanner_class, {"__init__"});
}

}  // namespace quorvel::module
