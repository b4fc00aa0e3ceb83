// Object lifecycle cases pybind11 2.13 leaves open, closed for the module's classes:
//  - __init__ or __setstate__ run again on a live object, which pybind11 silently ignores,
//    rebuild it: the new value is built in full first, then moved in (a failure changes nothing);
//    run again on an object from within its first initialization, they raise TypeError;
//  - instantiating pybind11's shared base class, or a Python class derived from it and from no
//    bound class, raises TypeError where pybind11 aborts the process.
#pragma once

#include <algorithm>
#include <initializer_list>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "module/pybind11_internals.hpp"

namespace quorvel::module {

namespace lifecycle_detail {

namespace py = pybind11;

// Moves one built value of a bound class into another; must not fail.
using MoveValue = void (*)(void* to, void* from) noexcept;

// One replaced row: pybind11's function for it (it builds a value into an instance whose
// __init__ has not run) and how values of its class move.
struct RebuildingRow {
  PyObject* registered;
  const internals::BoundClass* bound;
  MoveValue move_value;
  PyMethodDef definition;
};

// Runs the registered row on `target`, whose __init__ has not run. Refuses to run a row on a target
// it is already initializing (from an __array__ or __index__ of its arguments, or another thread):
// pybind11 would construct a second value into it and abort when it is freed.
inline PyObject* initialize(const RebuildingRow& row, PyObject* target, PyObject* const* args,
                            Py_ssize_t count, PyObject* keywords) {
  static std::vector<PyObject*> initializing;  // changed only with the GIL held
  if (std::find(initializing.begin(), initializing.end(), target) != initializing.end()) {
    const std::string name = internals::bound_class_name(row.bound);
    PyErr_Format(PyExc_TypeError, "%s.%s is already initializing this object", name.c_str(),
                 row.definition.ml_name);
    return nullptr;
  }
  initializing.push_back(target);
  PyObject* result = internals::call_row(row.registered, target, args, count, keywords);
  initializing.erase(std::find(initializing.begin(), initializing.end(), target));
  return result;
}

// The entry of a replaced row; args[0] is self. A first run goes to the registered function as
// before; a run on a live object builds the new value in a fresh instance, then moves it in.
inline PyObject* rebuild(PyObject* capsule, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
  const auto& row = *static_cast<const RebuildingRow*>(PyCapsule_GetPointer(capsule, nullptr));
  if (count == 0)
    return PyObject_Vectorcall(row.registered, args, 0, keywords);  // it reports the missing self
  try {
    void* live = internals::initialized_value(args[0], row.bound);
    if (live == nullptr) return initialize(row, args[0], args + 1, count - 1, keywords);
    PyTypeObject* type = row.bound->type;
    const py::object fresh =
        py::reinterpret_steal<py::object>(type->tp_new(type, py::tuple().ptr(), nullptr));
    if (!fresh) return nullptr;
    const py::object built =
        py::reinterpret_steal<py::object>(initialize(row, fresh.ptr(), args + 1, count - 1, keywords));
    if (!built) return nullptr;
    void* value = internals::exact_initialized_value(fresh.ptr(), row.bound);
    if (value == nullptr) throw std::runtime_error("__init__ built no value");
    row.move_value(live, value);
    Py_RETURN_NONE;
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    PyErr_SetString(PyExc_RuntimeError, error.what());
  }
  return nullptr;
}

// Puts an instancemethod around a builtin function with the same name and docstring in place of
// the row `name`, as pybind11 stores its own methods.
inline void replace_row(py::handle bound_class, const char* name, MoveValue move_value) {
  auto* type = reinterpret_cast<PyTypeObject*>(bound_class.ptr());
  PyObject* registered = internals::registered_function(type, name);
  const char* doc = reinterpret_cast<PyCFunctionObject*>(registered)->m_ml->ml_doc;
  // Kept for the life of the process, like the class and pybind11's function.
  auto* row = new RebuildingRow{py::handle(registered).inc_ref().ptr(),
                                internals::bound_class(type),
                                move_value,
                                {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(rebuild)),
                                 METH_FASTCALL | METH_KEYWORDS, doc}};
  const py::capsule capsule(row);
  const auto function =
      py::reinterpret_steal<py::object>(PyCFunction_NewEx(&row->definition, capsule.ptr(), nullptr));
  if (!function) throw py::error_already_set();
  const auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
  if (!method) throw py::error_already_set();
  bound_class.attr(name) = method;
}

// The allocator pybind11 gave its shared base class, before refuse_unbound_instances.
inline newfunc bound_instance_new = nullptr;

inline PyObject* new_instance(PyTypeObject* type, PyObject* args, PyObject* keywords) {
  try {
    if (internals::has_bound_base(type)) return bound_instance_new(type, args, keywords);
    PyErr_Format(PyExc_TypeError, "cannot create '%s' instances: no C++ class is bound to it", type->tp_name);
  } catch (py::error_already_set& error) {
    error.restore();
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
  return nullptr;
}

// Gives new_instance to `type` and every subclass that allocates with `previous`. All of them
// must agree: type.__new__(subclass) requires the subclass's allocator to be the type's own.
inline void guard_allocator(PyTypeObject* type, newfunc previous) {
  if (type->tp_new == previous) type->tp_new = new_instance;
  // type.__subclasses__ itself: a class may define its own __subclasses__.
  const py::handle type_type(reinterpret_cast<PyObject*>(&PyType_Type));
  const py::list subclasses = type_type.attr("__subclasses__")(py::handle(reinterpret_cast<PyObject*>(type)));
  for (const py::handle subclass : subclasses)
    guard_allocator(reinterpret_cast<PyTypeObject*>(subclass.ptr()), previous);
}

}  // namespace lifecycle_detail

// Makes the given rows of the bound class T (`__init__`, `__setstate__`) rebuild a live object
// instead of being ignored. T's move assignment must not throw.
template <class T>
void rebuild_when_run_again(pybind11::handle bound_class, std::initializer_list<const char*> rows) {
  static_assert(std::is_nothrow_move_assignable_v<T>, "the rebuilt value is moved in with no way back");
  const lifecycle_detail::MoveValue move_value = [](void* to, void* from) noexcept {
    *static_cast<T*>(to) = std::move(*static_cast<T*>(from));
  };
  for (const char* row : rows) lifecycle_detail::replace_row(bound_class, row, move_value);
}

// Makes pybind11's shared base class, and every class allocating as it does, raise TypeError for
// a class without a bound base, where pybind11 would abort; every other class is allocated by the
// previous allocator as before, also in other modules sharing pybind11's internals (classes made
// later inherit the guard). Call it once, after registering the classes.
inline void refuse_unbound_instances() {
  PyTypeObject* base = internals::shared_instance_base();
  if (base->tp_new == lifecycle_detail::new_instance) return;
  lifecycle_detail::bound_instance_new = base->tp_new;
  lifecycle_detail::guard_allocator(base, lifecycle_detail::bound_instance_new);
}

}  // namespace quorvel::module
