// Module entry: refuses interpreters other than 3.10, then registers both classes and makes
// pybind11's shared base class refuse instances it cannot lay out.
#include "module/lifecycle.hpp"
#include "module/registration.hpp"

PYBIND11_MODULE(_quorvel_rec_extension, module) {
  quorvel::module::register_scanner(module);
  quorvel::module::register_bitmap(module);
  quorvel::module::refuse_unbound_instances();
}
