// Module entry: refuses interpreters other than 3.10, then registers both classes.
#include <pybind11/pybind11.h>

#include "module/registration.hpp"

PYBIND11_MODULE(_quorvel_rec_extension, module) {
  quorvel::module::register_scanner(module);
  quorvel::module::register_bitmap(module);
}
