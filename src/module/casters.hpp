// Argument casters that replace pybind11's defaults in this module:
//  - unsigned 64-bit parameters (positions, ordinals, counts, shifts) take exactly the objects
//    operator.index takes (int, bool, NumPy integer scalars, objects with __index__) with values
//    in [0, 2^64); floats, Fraction, Decimal and the like are refused, never truncated;
//  - InitializedCaster, the caster of each bound class (bitmap_caster.hpp, scanner_caster.hpp):
//    an object whose __init__ never ran is refused with TypeError wherever it is passed (as self
//    or as an operand) instead of reaching C++ as uninitialized memory;
//  - Flag, the type of bool parameters, and the positions array of the constructor
//    (numpy_conversions.hpp) let errors that are not refusals propagate, where pybind11's casters
//    report them as incompatible arguments.
// Every module TU includes this header (through its class's caster header) before it binds or
// casts these types, so that all of them use the same casters.
#pragma once

#include <pybind11/pybind11.h>

#include <longintrepr.h>

#include <cstdint>
#include <string>

#include "module/pybind11_internals.hpp"

namespace quorvel::module {

static_assert(sizeof(unsigned long) == sizeof(std::uint64_t), "PyLong_AsUnsignedLong must give 64 bits");
static_assert(PY_VERSION_HEX < 0x030C0000, "ints keep ob_digit and a signed Py_SIZE through CPython 3.11");

// The value of an exact int in [0, 2^64), or false (with no error set) for one outside it.
// Ints of up to two digits (below 2^60 with 30-bit digits: nearly every position) are read from their
// digits inline, as Cython reads them. Others take PyLong_AsUnsignedLong, which walks the digits;
// PyLong_AsUnsignedLongLong would go through a byte array.
inline bool exact_int_value(PyObject* exact_int, std::uint64_t& value) noexcept {
  const auto* number = reinterpret_cast<const PyLongObject*>(exact_int);
  switch (Py_SIZE(exact_int)) {
    case 0: value = 0; return true;
    case 1: value = number->ob_digit[0]; return true;
    case 2: value = (std::uint64_t{number->ob_digit[1]} << PyLong_SHIFT) | number->ob_digit[0]; return true;
    default: break;
  }
  const unsigned long result = PyLong_AsUnsignedLong(exact_int);
  if (result == static_cast<unsigned long>(-1) && PyErr_Occurred()) {
    PyErr_Clear();
    return false;
  }
  value = result;
  return true;
}

// After a conversion of an argument failed with an error set: an error of one of `refusals` means
// the argument is not of the parameter's type, and is cleared so that the binding layer tries the
// next overload or reports incompatible arguments; any other (MemoryError, KeyboardInterrupt, one
// raised by the argument's own code) propagates.
template <class... Refusals>
void clear_refusal_or_raise(Refusals... refusals) {
  if (!(PyErr_ExceptionMatches(refusals) || ...)) throw pybind11::error_already_set();
  PyErr_Clear();
}

// A bool parameter, converting implicitly both ways. Its caster converts what pybind11's bool caster
// converts (True, False and NumPy bools; in the converting pass also None and objects with
// __bool__), but an error of the object's __bool__ other than TypeError or ValueError propagates.
// pybind11's bool caster is a full specialization, which cannot be replaced.
class Flag {
 public:
  Flag() = default;
  Flag(bool value) noexcept : value_(value) {}
  operator bool() const noexcept { return value_; }

 private:
  bool value_ = false;
};

// TypeError "Bitmap object is not initialized: its __init__ was never called".
[[noreturn]] inline void refuse_uninitialized(const internals::BoundClass* bound) {
  throw pybind11::type_error(internals::bound_class_name(bound) +
                             " object is not initialized: its __init__ was never called");
}

// pybind11's caster for the bound class T, except that it refuses an instance of T (or of a
// subclass) whose __init__ never ran; pybind11 would allocate an uninitialized T for it.
template <class T>
class InitializedCaster : public pybind11::detail::type_caster_base<T> {
 public:
  bool load(pybind11::handle source, bool convert) {
    const internals::BoundClass* bound = internals::loaded_class(*this);
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
class type_caster<std::uint64_t> {
 public:
  // The same objects in both of pybind11's passes. An exception raised by __index__ itself
  // propagates, as with operator.index; negative values and values of 2^64 or more are refused.
  bool load(handle source, bool /*convert*/) {
    if (!source) return false;
    if (PyLong_CheckExact(source.ptr())) return quorvel::module::exact_int_value(source.ptr(), value);
    const object index = reinterpret_steal<object>(PyNumber_Index(source.ptr()));
    if (!index) {
      quorvel::module::clear_refusal_or_raise(PyExc_TypeError);  // not an integer
      return false;
    }
    return quorvel::module::exact_int_value(index.ptr(), value);
  }

  static handle cast(std::uint64_t source, return_value_policy, handle) {
    return PyLong_FromUnsignedLongLong(source);
  }

  PYBIND11_TYPE_CASTER(std::uint64_t, const_name("int"));
};

template <>
class type_caster<quorvel::module::Flag> {
 public:
  bool load(handle source, bool convert) {
    make_caster<bool> plain;
    if (!convert || !source || source.is_none()) {
      if (!plain.load(source, convert)) return false;
      value = static_cast<bool>(plain);
      return true;
    }
    const PyNumberMethods* number = Py_TYPE(source.ptr())->tp_as_number;
    if (number == nullptr || number->nb_bool == nullptr) return false;
    const int truth = number->nb_bool(source.ptr());
    if (truth < 0) {
      quorvel::module::clear_refusal_or_raise(PyExc_TypeError, PyExc_ValueError);
      return false;
    }
    value = truth != 0;
    return true;
  }

  // Required by PYBIND11_TYPE_CASTER; no function returns a Flag.
  static handle cast(quorvel::module::Flag source, return_value_policy policy, handle parent) {
    return make_caster<bool>::cast(source, policy, parent);
  }

  PYBIND11_TYPE_CASTER(quorvel::module::Flag, const_name("bool"));
};

}  // namespace pybind11::detail
