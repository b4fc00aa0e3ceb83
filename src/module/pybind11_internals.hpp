// The pybind11 internals the module relies on, in one place: the layout of a bound instance
// (its value pointer and holder state), the registry of bound classes, how a class dict stores
// a bound method, and the base class pybind11 gives every bound class. Written against
// pybind11 2.13; re-read each function against the new headers before changing the pin.
#pragma once

#include <pybind11/pybind11.h>

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

static_assert(PYBIND11_VERSION_MAJOR == 2 && PYBIND11_VERSION_MINOR == 13,
              "module/pybind11_internals.hpp was written for pybind11 2.13: check its functions against "
              "this release's instance layout and method storage, then update this check");

namespace quorvel::module::internals {

// pybind11's record of one bound C++ class.
using BoundClass = pybind11::detail::type_info;

// The record of the bound class `type`.
inline const BoundClass* bound_class(PyTypeObject* type) { return pybind11::detail::get_type_info(type); }

// The Python name of a bound class ("Bitmap").
inline std::string bound_class_name(const BoundClass* bound) {
  return pybind11::handle(reinterpret_cast<PyObject*>(bound->type)).attr("__name__").cast<std::string>();
}

// The record of the bound class a caster derived from pybind11's class caster loads, or null
// while that class is not registered.
inline const BoundClass* loaded_class(const pybind11::detail::type_caster_generic& caster) {
  return caster.typeinfo;
}

// The C++ value of `object` when it is an instance of exactly the bound class `bound` and its
// __init__ has run (the holder is constructed), else null. Reads two fields; never allocates.
inline void* exact_initialized_value(PyObject* object, const BoundClass* bound) noexcept {
  if (Py_TYPE(object) != bound->type) return nullptr;
  const pybind11::detail::value_and_holder held(reinterpret_cast<pybind11::detail::instance*>(object), bound,
                                                0, 0);
  return held.holder_constructed() ? held.value_ptr() : nullptr;
}

// As exact_initialized_value, for an instance of `bound` or of any Python subclass of it (also
// with several bound bases). Null for an object that is no such instance. Unlike pybind11's own
// cast, it never allocates a value for an instance whose __init__ has not run; it may throw
// std::bad_alloc while pybind11 caches the bases of a subclass it has not seen before.
inline void* initialized_value(PyObject* object, const BoundClass* bound) {
  if (Py_TYPE(object) == bound->type) return exact_initialized_value(object, bound);
  if (!PyObject_TypeCheck(object, bound->type)) return nullptr;
  const pybind11::detail::value_and_holder held =
      reinterpret_cast<pybind11::detail::instance*>(object)->get_value_and_holder(bound,
                                                                                  /*throw_if_missing=*/false);
  return held.inst != nullptr && held.holder_constructed() ? held.value_ptr() : nullptr;
}

// Whether `type` or one of its bases is a bound class, so that pybind11 can lay out an instance.
inline bool has_bound_base(PyTypeObject* type) { return !pybind11::detail::all_type_info(type).empty(); }

// The base class of every bound class; shared by all modules that share pybind11's internals.
inline PyTypeObject* shared_instance_base() {
  return reinterpret_cast<PyTypeObject*>(pybind11::detail::get_internals().instance_base);
}

// pybind11's function object behind the row `name` of a bound class: the class dict holds an
// instancemethod around a builtin function. Throws std::runtime_error naming the row when it is
// missing or stored in any other way.
inline PyObject* registered_function(PyTypeObject* type, const char* name) {
  PyObject* entry = PyDict_GetItemString(type->tp_dict, name);
  if (entry != nullptr && PyInstanceMethod_Check(entry) &&
      PyCFunction_Check(PyInstanceMethod_GET_FUNCTION(entry))) {
    return PyInstanceMethod_GET_FUNCTION(entry);
  }
  throw std::runtime_error(
      std::string(type->tp_name) + "." + name +
      " is missing or not stored as pybind11 2.13 stores a bound method (an instancemethod "
      "around a builtin function), so the entry that replaces it cannot be installed");
}

// Calls a row's function as the bound method it replaces: `self` first, then the positional
// arguments and the values of the keyword arguments named in `keywords` (vectorcall layout).
inline PyObject* call_row(PyObject* function, PyObject* self, PyObject* const* args, Py_ssize_t count,
                          PyObject* keywords) noexcept {
  const Py_ssize_t keyword_count = keywords == nullptr ? 0 : PyTuple_GET_SIZE(keywords);
  std::vector<PyObject*> stack;
  try {
    stack.reserve(static_cast<std::size_t>(1 + count + keyword_count));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
  stack.push_back(self);
  stack.insert(stack.end(), args, args + count + keyword_count);
  return PyObject_Vectorcall(function, stack.data(), static_cast<std::size_t>(1 + count), keywords);
}

}  // namespace quorvel::module::internals
