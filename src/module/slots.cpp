// CPython-level fast paths for the per-element Bitmap calls: iteration, `in`, len(), per-call
// methods and the properties read most.
// pybind11's dispatcher converts arguments and tries overloads on every call; here the hottest
// calls are plain CPython slots that fall back to the registered behaviour for anything unusual.
#include "module/slots.hpp"

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include <structmember.h>

namespace quorvel::module {

namespace py = pybind11;
using storage::Bitmap;

namespace {

// State of one iterator: members are read ahead in small batches, which stay valid as long as
// the Bitmap's modification stamp is unchanged.
struct MemberWalk {
  static constexpr std::size_t BATCH = 256;

  const Bitmap* bitmap;
  std::uint64_t stamp;
  Bitmap::BitmapForwardIterator position;
  std::size_t next = 0;
  std::size_t filled = 0;
  bool done = false;
  std::uint64_t batch[BATCH];
};

struct MemberIterator {
  PyObject_HEAD
  PyObject* owner;            // strong reference: the Bitmap's Python object; null once cleared
  PyObject* weak_references;  // iterators accept weak references, as pybind11 objects do
  MemberWalk walk;
};

PyObject* next_member(PyObject* object) {
  MemberWalk& walk = reinterpret_cast<MemberIterator*>(object)->walk;
  if (walk.done) return nullptr;  // null without an error set: StopIteration
  if (walk.bitmap->modification_stamp() != walk.stamp) {
    PyErr_SetString(PyExc_RuntimeError, "Bitmap changed during iteration");
    return nullptr;
  }
  if (walk.next == walk.filled) {
    walk.filled = walk.position.read(walk.batch, MemberWalk::BATCH);
    walk.next = 0;
    if (walk.filled == 0) {
      walk.done = true;
      return nullptr;
    }
  }
  // Past the member only once its int exists: after a MemoryError the next step yields it again.
  PyObject* const member = PyLong_FromUnsignedLongLong(walk.batch[walk.next]);
  if (member != nullptr) ++walk.next;
  return member;
}

// The garbage collector sees the owner, so a cycle through an iterator (an iterator stored on
// its own Bitmap subclass instance) is collected.
int visit_iterator(PyObject* object, visitproc visit, void* arg) {  // names Py_VISIT expects
  Py_VISIT(Py_TYPE(object));
  Py_VISIT(reinterpret_cast<MemberIterator*>(object)->owner);
  return 0;
}

// Drops the owner; the iterator then stops without reading the Bitmap, which may be gone.
int clear_iterator(PyObject* object) {
  auto* self = reinterpret_cast<MemberIterator*>(object);
  self->walk.done = true;
  Py_CLEAR(self->owner);
  return 0;
}

void release_iterator(PyObject* object) {
  auto* self = reinterpret_cast<MemberIterator*>(object);
  PyTypeObject* type = Py_TYPE(object);
  PyObject_GC_UnTrack(object);
  if (self->weak_references != nullptr) PyObject_ClearWeakRefs(object);
  Py_CLEAR(self->owner);
  self->walk.~MemberWalk();
  PyObject_GC_Del(object);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

// Made only by iterate(): Python code can neither instantiate nor subclass it.
PyTypeObject* member_iterator_type() {
  static PyTypeObject* const type = [] {
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(MemberIterator, weak_references), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(release_iterator)},
                                  {Py_tp_traverse, reinterpret_cast<void*>(visit_iterator)},
                                  {Py_tp_clear, reinterpret_cast<void*>(clear_iterator)},
                                  {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void*>(next_member)},
                                  {Py_tp_members, members},
                                  {0, nullptr}};
    static PyType_Spec type_spec = {
        "pybind11_builtins.iterator", sizeof(MemberIterator), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
    PyObject* result = PyType_FromSpec(&type_spec);
    if (result == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(result);  // kept for the life of the process
  }();
  return type;
}

// The sq_contains slot pybind11 installed; it calls the registered __contains__.
int (*registered_contains)(PyObject*, PyObject*) = nullptr;
const internals::BoundClass* bitmap_class_record = nullptr;

// The Bitmap held by `self` when `self` is exactly a Bitmap whose __init__ has run, else null.
Bitmap* exact_bitmap(PyObject* self) noexcept {
  return static_cast<Bitmap*>(internals::exact_initialized_value(self, bitmap_class_record));
}

// An exact int in [0, 2^64), or false without an error set. Other integer types go to the
// registered row, whose caster applies the same rule through operator.index.
bool exact_position(PyObject* value, std::uint64_t& position) noexcept {
  return PyLong_CheckExact(value) && exact_int_value(value, position);
}

// The sq_length and mp_length slots pybind11 installed; they call the registered __len__.
Py_ssize_t (*registered_length)(PyObject*) = nullptr;

// len() of an exact Bitmap: its cardinality, cached under the modification stamp. The full set
// and counts beyond Py_ssize_t go to the registered __len__, which reports them.
Py_ssize_t length_of(PyObject* self) {
  if (const Bitmap* bitmap = exact_bitmap(self)) {
    try {
      const std::uint64_t count = bitmap->cardinality();
      if (count <= static_cast<std::uint64_t>(PY_SSIZE_T_MAX)) return static_cast<Py_ssize_t>(count);
    } catch (const std::exception&) {
    }
  }
  return registered_length(self);
}

int contains_member(PyObject* self, PyObject* value) {
  const Bitmap* bitmap = exact_bitmap(self);
  std::uint64_t position = 0;
  // Negative or too large ints, and everything else, go to the registered method, which reports them.
  if (bitmap != nullptr && exact_position(value, position)) return bitmap->contains(position) ? 1 : 0;
  return registered_contains(self, value);
}

// Fast bodies of per-call methods. Each handles the plain call shapes of its row, positional
// arguments only, and returns null without an error set for any other (and for any C++ failure of
// an operation that is safe to repeat), in which case pybind11's dispatcher makes the call as
// registered.
using FastBody = PyObject* (*)(const Bitmap&, Bitmap&, PyObject* const* args, Py_ssize_t count);
using PositionBody = PyObject* (*)(const Bitmap&, Bitmap&, std::uint64_t);

// b.name(int): the shape of the per-element methods.
template <PositionBody Body>
PyObject* of_position(const Bitmap& bitmap, Bitmap& changed, PyObject* const* args, Py_ssize_t count) {
  std::uint64_t value = 0;
  if (count != 1 || !exact_position(args[0], value)) return nullptr;
  return Body(bitmap, changed, value);
}

PyObject* optional_position(const std::optional<std::uint64_t>& position) {
  if (position) return PyLong_FromUnsignedLongLong(*position);
  Py_RETURN_NONE;
}

PyObject* fast_contains(const Bitmap& bitmap, Bitmap&, std::uint64_t position) {
  return PyBool_FromLong(bitmap.contains(position) ? 1 : 0);
}
PyObject* fast_set(const Bitmap&, Bitmap& bitmap, std::uint64_t position) {
  bitmap.set(position);  // repeating a set after a failure changes nothing more
  Py_RETURN_NONE;
}
PyObject* fast_unset(const Bitmap&, Bitmap& bitmap, std::uint64_t position) {
  bitmap.unset(position);
  Py_RETURN_NONE;
}
PyObject* fast_nth(const Bitmap& bitmap, Bitmap&, std::uint64_t ordinal) {
  return PyLong_FromUnsignedLongLong(bitmap.nth(ordinal));
}
PyObject* fast_self_or_next(const Bitmap& bitmap, Bitmap&, std::uint64_t position) {
  return optional_position(bitmap.self_or_next(position));
}

// Getters of the read-only properties read most, for an exact Bitmap. A C++ failure (the
// cardinality of the full set, which does not fit 64 bits) leaves the answer to pybind11's getter
// for the row, which reports it.
using PropertyBody = PyObject* (*)(const Bitmap&);

PyObject* cardinality_of(const Bitmap& bitmap) {
  return PyLong_FromUnsignedLongLong(bitmap.cardinality());  // cached under the modification stamp
}
PyObject* emptiness_of(const Bitmap& bitmap) { return PyBool_FromLong(bitmap.empty() ? 1 : 0); }
PyObject* first_of(const Bitmap& bitmap) { return optional_position(bitmap.first()); }
PyObject* last_of(const Bitmap& bitmap) { return optional_position(bitmap.last()); }

// b.persisted_size(portable, optimize, shrink), each flag True, False or left out (then True, the
// row's default). Once nothing changed the size is cached, and the call is what write(bytearray(
// b.persisted_size())) adds to write: a cheap call keeps that small on small Bitmaps too. A
// failed optimise or shrink leaves the Bitmap as it was, so the registered call may repeat it.
PyObject* fast_persisted_size(const Bitmap&, Bitmap& bitmap, PyObject* const* args, Py_ssize_t count) {
  bool flags[] = {true, true, true};
  if (count > static_cast<Py_ssize_t>(std::size(flags))) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (args[i] != Py_True && args[i] != Py_False) return nullptr;
    flags[i] = args[i] == Py_True;
  }
  return PyLong_FromUnsignedLongLong(bitmap.persisted_size(flags[0], flags[1], flags[2]));
}

struct FastMethod {
  const char* name;
  FastBody body;
};

constexpr FastMethod FAST_METHODS[] = {{"contains", of_position<fast_contains>},
                                       {"set", of_position<fast_set>},
                                       {"unset", of_position<fast_unset>},
                                       {"nth", of_position<fast_nth>},
                                       {"self_or_next", of_position<fast_self_or_next>},
                                       {"persisted_size", fast_persisted_size}};

// What install_fast_methods fills in for each fast method.
struct InstalledMethod {
  PyObject* registered;    // pybind11's function object for the row: the fallback for every other call
  PyMethodDef definition;  // the method descriptor's entry that replaces the row
};
InstalledMethod installed_methods[std::size(FAST_METHODS)];

struct FastProperty {
  const char* name;
  PropertyBody body;
};

constexpr FastProperty FAST_PROPERTIES[] = {
    {"cardinality", cardinality_of}, {"empty", emptiness_of}, {"first", first_of}, {"last", last_of}};

// What install_fast_properties fills in for each fast property.
struct InstalledProperty {
  PyObject* registered;    // pybind11's getter for the row: the fallback for every other object
  PyMethodDef definition;  // the builtin getter that replaces it
};
InstalledProperty installed_properties[std::size(FAST_PROPERTIES)];

template <std::size_t Index>
PyObject* fast_property(PyObject*, PyObject* self) {
  if (const Bitmap* bitmap = exact_bitmap(self)) {
    try {
      return FAST_PROPERTIES[Index].body(*bitmap);
    } catch (const std::exception&) {  // the registered getter reports it
    }
  }
  return PyObject_CallOneArg(installed_properties[Index].registered, self);
}

// Gives each fast property a builtin getter instead of pybind11's function, which dispatches on
// every read; each stays a read-only property with its docstring, at the same place in the class
// dict. A row that is not a property fails the import.
template <std::size_t... Index>
void install_fast_properties(PyTypeObject* type, std::index_sequence<Index...>) {
  const PyCFunction getters[] = {fast_property<Index>...};
  const py::handle property_type(reinterpret_cast<PyObject*>(&PyProperty_Type));
  for (std::size_t i = 0; i < sizeof...(Index); ++i) {
    const char* const name = FAST_PROPERTIES[i].name;
    PyObject* const registered = PyDict_GetItemString(type->tp_dict, name);  // borrowed
    if (registered == nullptr || Py_TYPE(registered) != &PyProperty_Type) {
      throw std::runtime_error(std::string("Bitmap's ") + name +
                               " row is not the property a fast getter replaces");
    }
    const py::handle property(registered);
    InstalledProperty& installed = installed_properties[i];
    installed.definition = {name, getters[i], METH_O, nullptr};
    const py::object getter =
        py::reinterpret_steal<py::object>(PyCFunction_New(&installed.definition, nullptr));
    if (!getter) throw py::error_already_set();
    const py::object replacement = property_type(getter, py::none(), py::none(), property.attr("__doc__"));
    installed.registered =
        py::object(property.attr("fget")).release().ptr();  // kept for the life of the process
    if (PyDict_SetItemString(type->tp_dict, name, replacement.ptr()) != 0) throw py::error_already_set();
  }
}

// Entry point of a method descriptor (METH_FASTCALL | METH_KEYWORDS): the interpreter calls it
// without making a bound method or an argument tuple. The body is a constant here, so it is inlined.
template <std::size_t Index>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t count, PyObject* keywords) {
  if (keywords == nullptr) {
    if (Bitmap* bitmap = exact_bitmap(self)) {
      try {
        if (PyObject* result = FAST_METHODS[Index].body(*bitmap, *bitmap, args, count)) return result;
      } catch (...) {  // the registered call repeats the operation and reports the failure
      }
      PyErr_Clear();
    }
  }
  return internals::call_row(installed_methods[Index].registered, self, args, count, keywords);
}

// Replaces each row's instance method by a method descriptor with the same name and docstring,
// at the same place in the class dict. A row that is missing or stored differently fails the
// import: the fast paths never switch off silently.
template <std::size_t... Index>
void install_fast_methods(PyTypeObject* type, std::index_sequence<Index...>) {
  const _PyCFunctionFastWithKeywords bodies[] = {fast_method<Index>...};
  for (std::size_t i = 0; i < sizeof...(Index); ++i) {
    const char* const name = FAST_METHODS[i].name;
    InstalledMethod& method = installed_methods[i];
    PyObject* function = internals::registered_function(type, name);
    method.definition = {name, reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(bodies[i])),
                         METH_FASTCALL | METH_KEYWORDS,
                         reinterpret_cast<PyCFunctionObject*>(function)->m_ml->ml_doc};
    PyObject* descriptor = PyDescr_NewMethod(type, &method.definition);
    if (descriptor == nullptr) throw py::error_already_set();
    Py_INCREF(function);  // kept for the life of the process, like the class
    method.registered = function;
    const int stored = PyDict_SetItemString(type->tp_dict, name, descriptor);
    Py_DECREF(descriptor);
    if (stored != 0) throw py::error_already_set();
  }
}

}  // namespace

py::object iterate(const Bitmap& bitmap, py::object owner) {
  auto* self = PyObject_GC_New(MemberIterator, member_iterator_type());
  if (self == nullptr) throw py::error_already_set();
  self->owner = owner.release().ptr();
  self->weak_references = nullptr;
  new (&self->walk) MemberWalk{&bitmap, bitmap.modification_stamp(), bitmap.begin(), 0, 0, false, {}};
  PyObject_GC_Track(self);
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

void install_membership_slot(py::handle bitmap_class) {
  auto* type = reinterpret_cast<PyTypeObject*>(bitmap_class.ptr());
  bitmap_class_record = internals::bound_class(type);
  registered_contains = type->tp_as_sequence == nullptr ? nullptr : type->tp_as_sequence->sq_contains;
  if (registered_contains == nullptr) {
    throw std::runtime_error(
        "Bitmap has no sq_contains slot (no __contains__ row) for the fast `in` to fall back to");
  }
  type->tp_as_sequence->sq_contains = contains_member;
  registered_length = type->tp_as_sequence->sq_length;
  if (registered_length == nullptr || type->tp_as_mapping == nullptr ||
      type->tp_as_mapping->mp_length != registered_length) {
    throw std::runtime_error(
        "Bitmap's __len__ row does not fill sq_length and mp_length as the fast len() expects");
  }
  type->tp_as_sequence->sq_length = length_of;
  type->tp_as_mapping->mp_length = length_of;
  install_fast_properties(type, std::make_index_sequence<std::size(FAST_PROPERTIES)>());
  install_fast_methods(type, std::make_index_sequence<std::size(FAST_METHODS)>());
  PyType_Modified(type);  // once, for every slot and row replaced above
}

}  // namespace quorvel::module
