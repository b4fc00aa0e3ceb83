// CPython-level fast paths for the Bitmap calls made per element: iteration, `in` and the
// per-call methods contains, set, unset, nth and self_or_next, len() and the properties cardinality,
// empty, first and last.
#pragma once

#include "module/bitmap_caster.hpp"

namespace quorvel::module {

// A Python iterator (type "iterator", module "pybind11_builtins" as before) over the members of
// `bitmap`, the C++ value held by the Python object `owner`, which the iterator keeps alive (the
// garbage collector sees that reference). Each step is a direct tp_iternext call. Once the Bitmap
// has changed since the iterator was made, every step raises RuntimeError "Bitmap changed during
// iteration"; once exhausted or cleared by the collector, every step stops. Python code can
// neither instantiate nor subclass the iterator type.
pybind11::object iterate(const storage::Bitmap& bitmap, pybind11::object owner);

// Points the sq_contains slot of the registered Bitmap class at a direct membership test for
// exact ints in [0, 2^64); every other case (other argument types, out-of-range ints, Python
// subclasses) goes to the slot that pybind11 installed, which calls the registered __contains__.
// The class dict keeps its __contains__ row unchanged.
//
// Also turns the registered methods contains, set, unset, nth and self_or_next into method descriptors
// (same names, docstrings and places in the class dict), which the interpreter calls without
// making a bound method or an argument tuple. The plain call b.name(int) on an exact, initialized
// Bitmap runs directly; every other call goes to pybind11's function for the row, as registered.
// The properties cardinality, empty, first and last get builtin getters (they stay read-only
// properties with their docstrings) that answer for an exact, initialized Bitmap directly and
// hand every other object to pybind11's getter.
// Throws std::runtime_error (failing the import) when a row or slot it replaces is missing or
// stored differently.
void install_membership_slot(pybind11::handle bitmap_class);

}  // namespace quorvel::module
