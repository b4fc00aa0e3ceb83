// The caster of Bitmap: pybind11's, refusing an object whose __init__ never ran (casters.hpp).
#pragma once

#include "module/casters.hpp"
#include "storage/bitmap.hpp"

namespace pybind11::detail {

template <>
class type_caster<quorvel::storage::Bitmap>
    : public quorvel::module::InitializedCaster<quorvel::storage::Bitmap> {};

}  // namespace pybind11::detail
