// Registration of the module's classes, one function per class.
#pragma once

#include <pybind11/pybind11.h>

namespace quorvel::module {

void register_scanner(pybind11::module_& module);
void register_bitmap(pybind11::module_& module);

}  // namespace quorvel::module
