// Sorting of position arrays, used to add unsorted input to a Bitmap in key order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::storage {

// True when values[0..count) is non-decreasing.
bool is_sorted(const std::uint64_t* values, std::size_t count) noexcept;

// The values of [values, values + count) in ascending order (a stable LSD radix sort on
// bytes; passes over bytes that all values share are skipped).
std::vector<std::uint64_t> sorted_copy(const std::uint64_t* values, std::size_t count);

}  // namespace quorvel::storage
