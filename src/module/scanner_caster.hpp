// The caster of MemoryScanner: pybind11's, refusing an object whose __init__ never ran (casters.hpp).
#pragma once

#include "module/casters.hpp"
#include "scanner/memory_scanner.hpp"

namespace pybind11::detail {

template <>
class type_caster<MemoryScanner> : public quorvel::module::InitializedCaster<MemoryScanner> {};

}  // namespace pybind11::detail
