// CPython-level fast paths for the Bitmap calls made per element: iteration and `in`.
// pybind11's dispatcher converts arguments and tries overloads on every call; here the hottest
// calls are plain CPython slots that fall back to the registered behaviour for anything unusual.
#include "module/slots.hpp"

#include <cstddef>
#include <cstdint>
#include <new>

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
  PyObject* owner;            // strong reference: the Bitmap's Python object
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
  return PyLong_FromUnsignedLongLong(walk.batch[walk.next++]);
}

void release_iterator(PyObject* object) {
  auto* self = reinterpret_cast<MemberIterator*>(object);
  PyTypeObject* type = Py_TYPE(object);
  if (self->weak_references != nullptr) PyObject_ClearWeakRefs(object);
  Py_XDECREF(self->owner);
  self->walk.~MemberWalk();
  PyObject_Free(object);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyTypeObject* member_iterator_type() {
  static PyTypeObject* const type = [] {
    static PyMemberDef members[] = {
        {"__weaklistoffset__", T_PYSSIZET, offsetof(MemberIterator, weak_references), READONLY, nullptr},
        {nullptr, 0, 0, 0, nullptr}};
    static PyType_Slot slots[] = {{Py_tp_dealloc, reinterpret_cast<void*>(release_iterator)},
                                  {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
                                  {Py_tp_iternext, reinterpret_cast<void*>(next_member)},
                                  {Py_tp_members, members},
                                  {0, nullptr}};
    static PyType_Spec spec = {"pybind11_builtins.iterator", sizeof(MemberIterator), 0, Py_TPFLAGS_DEFAULT, slots};
    PyObject* result = PyType_FromSpec(&spec);
    if (result == nullptr) throw py::error_already_set();
    return reinterpret_cast<PyTypeObject*>(result);  // kept for the life of the process
  }();
  return type;
}

// The sq_contains slot pybind11 installed; it calls the registered __contains__.
int (*registered_contains)(PyObject*, PyObject*) = nullptr;
const py::detail::type_info* bitmap_type_info = nullptr;

// The Bitmap held by `self` when `self` is exactly a constructed Bitmap, else null.
const Bitmap* exact_bitmap(PyObject* self) noexcept {
  if (Py_TYPE(self) != bitmap_type_info->type) return nullptr;
  auto* instance = reinterpret_cast<py::detail::instance*>(self);
  const py::detail::value_and_holder held(instance, bitmap_type_info, 0, 0);
  return held.holder_constructed() ? held.value_ptr<Bitmap>() : nullptr;
}

int contains_member(PyObject* self, PyObject* value) {
  const Bitmap* bitmap = exact_bitmap(self);
  if (bitmap != nullptr && PyLong_CheckExact(value)) {
    const unsigned long long position = PyLong_AsUnsignedLongLong(value);
    if (position != static_cast<unsigned long long>(-1) || !PyErr_Occurred()) {
      return bitmap->contains(position) ? 1 : 0;
    }
    PyErr_Clear();  // negative or too large: the registered method reports it
  }
  return registered_contains(self, value);
}

}  // namespace

py::object iterate(const Bitmap& bitmap, py::object owner) {
  auto* self = PyObject_New(MemberIterator, member_iterator_type());
  if (self == nullptr) throw py::error_already_set();
  self->owner = owner.release().ptr();
  self->weak_references = nullptr;
  new (&self->walk) MemberWalk{&bitmap, bitmap.modification_stamp(), bitmap.begin(), 0, 0, false, {}};
  return py::reinterpret_steal<py::object>(reinterpret_cast<PyObject*>(self));
}

void install_membership_slot(py::handle bitmap_class) {
  auto* type = reinterpret_cast<PyTypeObject*>(bitmap_class.ptr());
  bitmap_type_info = py::detail::get_type_info(type);
  registered_contains = type->tp_as_sequence->sq_contains;
  type->tp_as_sequence->sq_contains = contains_member;
}

}  // namespace quorvel::module
