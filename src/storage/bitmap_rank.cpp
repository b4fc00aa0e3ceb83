// Rank and select: counting the members below or above a position, the member of a given
// ordinal, and the nearest member at or after / at or before a position.
#include <iterator>
#include <stdexcept>
#include <string>

#include "bitmap.hpp"
#include "bucket_walks.hpp"

namespace quorvel::storage {

// Buckets below hi(position) count whole; only buckets up to hi(position) are visited. The sum
// excludes `position` itself, so it fits in 64 bits even for the full set.
std::uint64_t Bitmap::lower_cardinality(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  const std::uint32_t low = low_bits(position);
  std::uint64_t count = 0;
  for (auto it = buckets_.begin(); it != buckets_.end() && it->first <= key; ++it) {
    if (it->first < key) {
      count += it->second.cardinality();
    } else if (low != 0) {
      count += roaring_bitmap_rank(it->second.get(), low - 1);
    }
  }
  return count;
}

// Mirror of lower_cardinality: only buckets from hi(position) upwards are visited.
std::uint64_t Bitmap::upper_cardinality(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  std::uint64_t count = 0;
  for (auto it = buckets_.lower_bound(key); it != buckets_.end(); ++it) {
    count += it->second.cardinality();
    if (it->first == key) count -= roaring_bitmap_rank(it->second.get(), low_bits(position));
  }
  return count;
}

// Stops at the bucket that holds the answer; empty buckets have cardinality 0 and pass.
std::uint64_t Bitmap::nth(std::uint64_t ordinal) const {
  std::uint64_t remaining = ordinal;
  for (const auto& [key, values] : buckets_) {
    const std::uint64_t count = values.cardinality();
    if (remaining < count) {
      std::uint32_t low = 0;
      // remaining < count <= 2^32, so the rank fits in 32 bits and select cannot miss.
      roaring_bitmap_select(values.get(), static_cast<std::uint32_t>(remaining), &low);
      return join_bits(key, low);
    }
    remaining -= count;
  }
  throw std::runtime_error("The ordinal value [ " + std::to_string(ordinal) +
                           "] is greater than the total cardinality");
}

// Both searches visit the bucket of `position` first when it is present, then the buckets
// beyond it in the direction of the search, skipping empty ones; absent buckets are not created.
std::optional<std::uint64_t> Bitmap::self_or_next(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  auto it = buckets_.lower_bound(key);
  if (it != buckets_.end() && it->first == key) {
    roaring_uint32_iterator_t values;
    roaring_iterator_init(it->second.get(), &values);
    if (roaring_uint32_iterator_move_equalorlarger(&values, low_bits(position))) {
      return join_bits(key, values.current_value);
    }
    ++it;
  }
  return edge_member(it, buckets_.end(), &Roaring32::minimum);
}

std::optional<std::uint64_t> Bitmap::self_or_previous(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  auto it = std::make_reverse_iterator(buckets_.upper_bound(key));
  if (it != buckets_.rend() && it->first == key) {
    // rank counts the members <= lo(position); the last of them is the answer in this bucket.
    const std::uint64_t at_or_below = roaring_bitmap_rank(it->second.get(), low_bits(position));
    if (at_or_below != 0) {
      std::uint32_t low = 0;
      roaring_bitmap_select(it->second.get(), static_cast<std::uint32_t>(at_or_below - 1), &low);
      return join_bits(key, low);
    }
    ++it;
  }
  return edge_member(it, buckets_.rend(), &Roaring32::maximum);
}

}  // namespace quorvel::storage
