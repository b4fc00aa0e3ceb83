// Conversions between NumPy arrays and Bitmap.
#include "module/numpy_conversions.hpp"

#include <limits>
#include <stdexcept>
#include <string>

namespace quorvel::module {

Bitmap bitmap_from_array(const PositionArray& indices) {
  const auto values = indices.unchecked<1>();
  Bitmap bitmap;
  const auto count = values.shape(0);
  if (count <= 1 || indices.strides(0) == static_cast<py::ssize_t>(sizeof(std::uint64_t))) {
    bitmap.add_many(indices.data(), static_cast<std::size_t>(count));
  } else {
    for (py::ssize_t i = 0; i < count; ++i) bitmap.set(values(i));
  }
  return bitmap;
}

py::array_t<std::uint64_t> index_array(const Bitmap& bitmap) {
  const std::uint64_t count = bitmap.cardinality();
  py::array_t<std::uint64_t> result(static_cast<py::ssize_t>(count));
  bitmap.copy_members(result.mutable_data(), count);
  return result;
}

py::array_t<bool> bool_array(const Bitmap& bitmap, Flag invert, Flag relative) {
  if (bitmap.cardinality() == 0) return py::array_t<bool>(0);
  const std::uint64_t offset = relative ? *bitmap.first() : 0;
  const std::uint64_t span = *bitmap.last() - offset;  // length - 1, cannot overflow
  constexpr auto max_length = static_cast<std::uint64_t>(std::numeric_limits<py::ssize_t>::max());
  if (span >= max_length) {
    throw std::overflow_error("bool_array would need " + std::to_string(span) +
                              " + 1 elements, more than a NumPy array can hold");
  }
  py::array_t<bool> mask(static_cast<py::ssize_t>(span + 1));
  bitmap.mark_members(mask.mutable_data(), span + 1, offset, !invert);
  return mask;
}

}  // namespace quorvel::module
