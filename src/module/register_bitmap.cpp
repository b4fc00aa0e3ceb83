// The binding table of Bitmap, registered in its fixed row order, then the Python protocols
// beside it (text form, pickling, copying).
#include <pybind11/stl.h>

#include <string>
#include <string_view>

#include "module/buffers.hpp"
#include "module/numpy_conversions.hpp"
#include "module/lifecycle.hpp"
#include "module/registration.hpp"
#include "module/slots.hpp"

namespace quorvel::module {

namespace {

// What an in-place form returns: the Python object holding the copy of the changed self.
struct ChangedCopy {
  pybind11::object object;
};

}  // namespace

}  // namespace quorvel::module

namespace pybind11::detail {

// Hands the object over; shown in signatures as the Bitmap it holds.
template <>
struct type_caster<quorvel::module::ChangedCopy> {
  static constexpr auto name = make_caster<quorvel::storage::Bitmap>::name;
  static handle cast(quorvel::module::ChangedCopy copy, return_value_policy, handle) {
    return copy.object.release();
  }
};

}  // namespace pybind11::detail

namespace quorvel::module {

namespace {

using Position = std::uint64_t;
using OptionalPosition = std::optional<std::uint64_t>;

// Adaptors: new-object set operations, and in-place forms that return a copy of the changed self.
Bitmap union_of(const Bitmap& self, const Bitmap& other) { return self | other; }
Bitmap intersection_of(const Bitmap& self, const Bitmap& other) { return self & other; }
Bitmap difference_of(const Bitmap& self, const Bitmap& other) { return self - other; }
Bitmap symmetric_difference_of(const Bitmap& self, const Bitmap& other) { return self ^ other; }

// The in-place forms return a new object holding a copy of the changed self. That object exists,
// and the copy is made, before self changes, so that a failure leaves self as it was.
template <Bitmap& (Bitmap::*Change)(const Bitmap&, Bitmap*)>
ChangedCopy changed_with_copy(Bitmap& self, const Bitmap& other) {
  py::object copy = py::cast(Bitmap());
  (self.*Change)(other, &copy.cast<Bitmap&>());
  return {std::move(copy)};
}
constexpr auto& inplace_union = changed_with_copy<&Bitmap::inplace_union>;
constexpr auto& inplace_intersect = changed_with_copy<&Bitmap::inplace_intersect>;
constexpr auto& inplace_difference = changed_with_copy<&Bitmap::inplace_difference>;
constexpr auto& inplace_symmetric_difference = changed_with_copy<&Bitmap::inplace_symmetric_difference>;

Bitmap copy_of(const Bitmap& self) { return self; }

Bitmap construct(const std::optional<PositionArray>& indices) {
  return indices ? bitmap_from_array(*indices) : Bitmap();
}

void set(Bitmap& self, Position position, OptionalPosition end_ex) {
  end_ex ? self.set(position, *end_ex) : self.set(position);
}
void unset(Bitmap& self, Position position, OptionalPosition end_ex) {
  end_ex ? self.unset(position, *end_ex) : self.unset(position);
}
void flip(Bitmap& self, Position position, OptionalPosition end_ex) {
  end_ex ? self.flip(position, *end_ex) : self.flip(position);
}

std::uint64_t persisted_size(Bitmap& self, Flag portable, Flag optimize, Flag shrink) {
  return self.persisted_size(portable, optimize, shrink);
}
// A bytes object cannot change while it is read; other buffers may (a thread writing them while
// NumPy has released the lock).
Bitmap read(const py::buffer& buffer, Flag portable) {
  const ByteView view = byte_view(buffer);
  const auto input = PyBytes_CheckExact(buffer.ptr()) ? Bitmap::Input::IMMUTABLE : Bitmap::Input::MAY_CHANGE;
  return Bitmap::read(view.data(), view.size(), portable, input);
}
std::size_t write(const Bitmap& self, const py::buffer& buffer, Flag portable) {
  const ByteView view = writable_byte_view(buffer);
  return self.write(view.writable_data(), view.size(), portable);
}

// Members shown before the text form is cut short.
constexpr std::size_t REPR_MEMBERS = 10;

// "Bitmap([3, 5])", or the first REPR_MEMBERS members, "..." and the cardinality. Reads no member
// past those it shows.
std::string repr(const Bitmap& self) {
  std::uint64_t shown[REPR_MEMBERS];
  Bitmap::BitmapForwardIterator position = self.begin();
  const std::size_t count = position.read(shown, REPR_MEMBERS);
  std::string text = "Bitmap([";
  for (std::size_t i = 0; i < count; ++i) text += (i == 0 ? "" : ", ") + std::to_string(shown[i]);
  if (position == self.end()) return text + "])";
  return text + ", ...], cardinality=" + std::to_string(self.cardinality()) + ")";
}

// Pickle state: the portable persisted form. Sized without run optimisation or shrinking, so
// pickling changes neither the representation nor the modification stamp (live iterators stay valid).
py::bytes pickled_state(Bitmap& self) {
  const auto size = static_cast<std::size_t>(persisted_size(self, true, false, false));
  py::bytes state(nullptr, size);
  self.write(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(state.ptr())), size, true);
  return state;
}

// (copyreg.__newobj__, (type(self),), state) for every protocol: the instance is made by the class's
// own __new__ and filled by __setstate__. Protocols 0 and 1 would otherwise call object.__new__,
// which cannot make an instance of a bound class.
py::tuple reduce(const py::object& self) {
  return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"), py::make_tuple(py::type::of(self)),
                        pickled_state(self.cast<Bitmap&>()));
}

Bitmap unpickled(const py::bytes& state) {
  const std::string_view bytes = state;
  return Bitmap::read(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(), true,
                      Bitmap::Input::IMMUTABLE);
}

// The iterator keeps the Python object that holds `self` alive (found by its registration).
py::object members(const Bitmap& self) {
  return iterate(self, py::cast(&self, py::return_value_policy::reference));
}

}  // namespace

void register_bitmap(py::module_& module) {
  const auto other = py::arg("other");
  const auto position = py::arg("position");
  const auto bitmap_class =
      py::class_<Bitmap>(module, "Bitmap",
                         "A compressed set of unsigned 64-bit positions.\n\n"
                         "Iterating while the Bitmap changes raises RuntimeError on the next step.")
          .def(py::init(&construct), py::arg("indices") = py::none(),
               "Bitmap(indices=None): the positions of a 1-D uint64 array, or an empty set. Run again on a "
               "live "
               "Bitmap, it replaces the contents once the new ones are built (a failure changes nothing).")
          .def("copy", &copy_of, "An independent deep copy.")
          .def("slice", &Bitmap::slice, py::arg("startInc"), py::arg("endInc"),
               "The members in [startInc, endInc) (end exclusive), at their own positions.")
          .def("persisted_size", &persisted_size, py::arg("portable") = true, py::arg("optimize") = true,
               py::arg("shrink") = true,
               "Bytes that write() needs; optimize/shrink compress the buckets first.")
          .def_static("read", &read, py::arg("buffer"), py::arg("portable") = true,
                      "A new Bitmap from a persisted form at the start of buffer.")
          .def("write", &write, py::arg("buffer"), py::arg("portable") = true,
               "Writes the persisted form at the start of a writable buffer; returns the bytes written.")
          .def_property_readonly("cardinality", &Bitmap::cardinality, "Number of members.")
          .def_property_readonly("empty", &Bitmap::empty, "True when there is no member.")
          .def_property_readonly("first", &Bitmap::first, "Smallest member, or None.")
          .def_property_readonly("last", &Bitmap::last, "Largest member, or None.")
          .def_property_readonly("in_memory_size", &Bitmap::in_memory_size,
                                 "Number of compressed containers held.")
          .def("lower_cardinality", &Bitmap::lower_cardinality, position, "Members below position.")
          .def("upper_cardinality", &Bitmap::upper_cardinality, position, "Members above position.")
          .def("nth", &Bitmap::nth, py::arg("ordinal"), "The member of 0-based rank ordinal.")
          .def("self_or_next", &Bitmap::self_or_next, position,
               "Smallest member >= position, or None; reads only.")
          .def("self_or_previous", &Bitmap::self_or_previous, position,
               "Largest member <= position, or None; reads only.")
          .def("subset_of", &Bitmap::subset_of, other, "Whether every member is a member of other.")
          .def("strict_subset_of", &Bitmap::strict_subset_of, other, "subset_of(other) and not equal to it.")
          .def("contains", &Bitmap::contains, position, "Whether position is a member.")
          .def("all", &Bitmap::all, py::arg("startInc"), py::arg("endEx"),
               "Whether every position of [startInc, endEx) is a member (True for an empty range).")
          .def("any", &Bitmap::any, py::arg("startInc"), py::arg("endEx"),
               "Whether some position of [startInc, endEx) is a member.")
          .def("__len__", &Bitmap::cardinality, "len(self): number of members, as cardinality.")
          .def("__contains__", &Bitmap::contains, position, "position in self, as contains(position).")
          .def("contract", &Bitmap::contract, position, py::arg("by"),
               "Deletes (position - by, position] and moves every member above position down by by.")
          .def("expand", &Bitmap::expand, position, py::arg("by"),
               "Moves every member at or above position up by by.")
          .def("set", &set, position, py::arg("endEx") = py::none(),
               "Adds position, or every position of [position, endEx).")
          .def("unset", &unset, position, py::arg("endEx") = py::none(),
               "Removes position, or every position of [position, endEx).")
          .def("flip", &flip, position, py::arg("endEx"),
               "Toggles position (endEx None), or every position of [position, endEx).")
          .def("symmetric_difference", &symmetric_difference_of, other, "A new Bitmap: self ^ other.")
          .def("union", &union_of, other, "A new Bitmap: self | other.")
          .def("intersect", &intersection_of, other, "A new Bitmap: self & other.")
          .def("difference", &difference_of, other, "A new Bitmap: self - other.")
          .def("__or__", &union_of, other, "self | other, as union(other).")
          .def("__and__", &intersection_of, other, "self & other, as intersect(other).")
          .def("__sub__", &difference_of, other, "self - other, as difference(other).")
          .def("__xor__", &symmetric_difference_of, other, "self ^ other, as symmetric_difference(other).")
          .def("__eq__", &Bitmap::operator==, other,
               "Whether both hold the same members (empty buckets aside).")
          .def("inplace_symmetric_difference", &inplace_symmetric_difference, other,
               "self ^= other; returns a new object holding a copy of the result.")
          .def("inplace_union", &inplace_union, other,
               "self |= other; returns a new object holding a copy of the result.")
          .def("inplace_intersect", &inplace_intersect, other,
               "self &= other; returns a new object holding a copy of the result.")
          .def("inplace_difference", &inplace_difference, other,
               "self -= other; returns a new object holding a copy of the result.")
          .def("__ior__", &inplace_union, other, "self |= other, as inplace_union(other).")
          .def("__iand__", &inplace_intersect, other, "self &= other, as inplace_intersect(other).")
          .def("__isub__", &inplace_difference, other, "self -= other, as inplace_difference(other).")
          .def("__ixor__", &inplace_symmetric_difference, other,
               "self ^= other, as inplace_symmetric_difference(other).")
          .def("__iter__", &members,
               "Members in ascending order; the iterator raises RuntimeError once the Bitmap changes.")
          .def("index_array", &index_array, "All members, ascending, as a new uint64 array.")
          .def("bool_array", &bool_array, py::arg("invert") = true, py::arg("relative") = true,
               "A mask of the members (False at members unless invert is False), from first (relative) or 0.")
          .def("__repr__", &repr, "Bitmap([...]): the first ten members, then '...' and the cardinality.")
          .def("__copy__", &copy_of, "An independent deep copy (copy.copy).")
          .def(
              "__deepcopy__", [](const Bitmap& self, const py::object&) { return copy_of(self); },
              py::arg("memo"), "An independent deep copy (copy.deepcopy).")
          .def("__reduce__", &reduce,
               "Pickle support, any protocol: rebuilt by __setstate__ from __getstate__().")
          .def(py::pickle(&pickled_state, &unpickled),
               "Pickle support: builds the Bitmap from the portable persisted form that __getstate__ "
               "returns; on a "
               "live Bitmap, replaces the contents once the new ones are built (a failure changes nothing).");
  install_membership_slot(bitmap_class);
  rebuild_when_run_again<Bitmap>(bitmap_class, {"__init__", "__setstate__"});
}

}  // namespace quorvel::module
