// Rank and select: counting the members below or above a position, the member of a given
// ordinal, and the nearest member at or after / at or before a position.
#include <iterator>
#include <stdexcept>
#include <string>

#include "bitmap.hpp"
#include "bucket_walks.hpp"

namespace quorvel::storage {

namespace {

// Members of `values` below `low`.
std::uint64_t members_below(const Roaring32& values, std::uint32_t low) noexcept {
  return low == 0 ? 0 : roaring_bitmap_rank(values.get(), low - 1);
}

// The member of 0-based rank `ordinal` in bucket `key`: ordinal < its cardinality <= 2^32, so the
// rank fits in 32 bits and select cannot miss.
std::uint64_t member_of_rank(std::uint32_t key, const Roaring32& values, std::uint64_t ordinal) noexcept {
  std::uint32_t low = 0;
  roaring_bitmap_select(values.get(), static_cast<std::uint32_t>(ordinal), &low);
  return join_bits(key, low);
}

}  // namespace

// With the rank index, one bucket is visited. Else buckets below hi(position) count whole and only
// buckets up to hi(position) are visited. The sum excludes `position` itself, so it fits in 64 bits
// even for the full set.
std::uint64_t Bitmap::lower_cardinality(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  if (ranks_.ready(buckets_, modifications_)) {
    const RankIndex::Slot slot = ranks_.place(key);
    return slot.before + (slot.values ? members_below(*slot.values, low_bits(position)) : 0);
  }
  std::uint64_t count = 0;
  for (auto it = buckets_.begin(); it != buckets_.end() && it->first <= key; ++it) {
    count += it->first < key ? it->second.cardinality() : members_below(it->second, low_bits(position));
  }
  return count;
}

// Mirror of lower_cardinality: without the index, only buckets from hi(position) upwards are visited.
std::uint64_t Bitmap::upper_cardinality(std::uint64_t position) const noexcept {
  const std::uint32_t key = high_bits(position);
  if (ranks_.ready(buckets_, modifications_)) {
    const RankIndex::Slot slot = ranks_.place(key);
    const std::uint64_t at_or_below =
        slot.values ? roaring_bitmap_rank(slot.values->get(), low_bits(position)) : 0;
    return ranks_.total() - slot.before - at_or_below;
  }
  std::uint64_t count = 0;
  for (auto it = buckets_.lower_bound(key); it != buckets_.end(); ++it) {
    count += it->second.cardinality();
    if (it->first == key) count -= roaring_bitmap_rank(it->second.get(), low_bits(position));
  }
  return count;
}

// Without the index, stops at the bucket that holds the answer; empty buckets have cardinality 0
// and pass.
std::uint64_t Bitmap::nth(std::uint64_t ordinal) const {
  if (ranks_.ready(buckets_, modifications_)) {
    if (ordinal < ranks_.total()) {
      const RankIndex::Slot slot = ranks_.holding(ordinal);
      return member_of_rank(slot.key, *slot.values, ordinal - slot.before);
    }
  } else {
    std::uint64_t remaining = ordinal;
    for (const auto& [key, values] : buckets_) {
      const std::uint64_t count = values.cardinality();
      if (remaining < count) return member_of_rank(key, values, remaining);
      remaining -= count;
    }
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
