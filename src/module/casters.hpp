// Argument casters that replace pybind11's defaults in this module:
//  - a Bitmap or MemoryScanner whose __init__ never ran is refused with TypeError wherever it is
//    passed (as self or as an operand) instead of reaching C++ as uninitialized memory.
// Every module TU includes this header before it binds or casts these types, so that all of them
// use the same casters.
#pragma once

#include <pybind11/pybind11.h>

#include <string>

#include "module/pybind11_internals.hpp"
#include "storage/bitmap.hpp"

class MemoryScanner;

namespace quorvel::module {

// TypeError "Bitmap object is not initialized: its __init__ was never called".
[[noreturn]] inline void refuse_uninitialized(const internals::BoundClass* bound) {
  const pybind11::str name = pybind11::handle(reinterpret_cast<PyObject*>(bound->type)).attr("__name__");
  throw pybind11::type_error(name.cast<std::string>() + " object is not initialized: its __init__ was never called");
}

// pybind11's caster for the bound class T, except that it refuses an instance of T (or of a
// subclass) whose __init__ never ran; pybind11 would allocate an uninitialized T for it.
template <class T>
class InitializedCaster : public pybind11::detail::type_caster_base<T> {
 public:
  bool load(pybind11::handle source, bool convert) {
    const internals::BoundClass* bound = this->typeinfo;
    if (source && bound != nullptr && PyObject_TypeCheck(source.ptr(), bound->type) &&
        internals::initialized_value(source.ptr(), bound) == nullptr) {
      refuse_uninitialized(bound);
    }
    return pybind11::detail::type_caster_base<T>::load(source, convert);
  }
};

}  // namespace quorvel::module

namespace pybind11::detail {

template <>
class type_caster<quorvel::storage::Bitmap> : public quorvel::module::InitializedCaster<quorvel::storage::Bitmap> {};

template <>
class type_caster<MemoryScanner> : public quorvel::module::InitializedCaster<MemoryScanner> {};

}  // namespace pybind11::detail
