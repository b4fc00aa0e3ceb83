// Sorting of position arrays, used to add unsorted input to a Bitmap in key order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::storage {

// True when values[0..count) is non-decreasing.
bool is_sorted(const std::uint64_t* values, std::size_t count) noexcept;

// Sorts `values` ascending (a stable LSD radix sort on bytes; passes over bytes that all values
// share are skipped).
void sort_positions(std::vector<std::uint64_t>& values);

}  // namespace quorvel::storage
