// Bulk interchange: adding many positions at once and exporting all members.
#include <cstring>
#include <vector>

#include "storage/bitmap.hpp"
#include "storage/position_sort.hpp"

namespace quorvel::storage {

// Unsorted input is sorted first: adding in key order keeps each CRoaring insertion at the end
// of its bucket instead of shifting containers, and runs of one bucket share one lookup.
void Bitmap::add_many(const std::uint64_t* values, std::size_t count) {
  if (!is_sorted(values, count)) {
    const std::vector<std::uint64_t> sorted = sorted_copy(values, count);
    add_sorted(sorted.data(), sorted.size());
  } else {
    add_sorted(values, count);
  }
}

// Consecutive values of one bucket share a cached bucket and CRoaring's bulk context.
void Bitmap::add_sorted(const std::uint64_t* values, std::size_t count) {
  note_change();
  Roaring32* current = nullptr;
  std::uint32_t current_key = 0;
  roaring_bulk_context_t context{};
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint32_t key = high_bits(values[i]);
    if (current == nullptr || key != current_key) {
      current = &bucket(key);
      current_key = key;
      context = roaring_bulk_context_t{};
    }
    roaring_bitmap_add_bulk(current->get(), &context, low_bits(values[i]));
  }
}

void Bitmap::copy_members(std::uint64_t* out) const noexcept {
  for (const auto& [key, values] : buckets_) {
    const std::uint64_t count = values.cardinality();
    if (count == 0) continue;
    // CRoaring writes the bucket's 32-bit values into the back half of its 64-bit output
    // slots; widening front to back never overtakes an unread value (8i + 8 <= 4c + 4i + 4).
    unsigned char* slots = reinterpret_cast<unsigned char*>(out);
    unsigned char* lows = slots + 4 * count;
    roaring_bitmap_to_uint32_array(values.get(), reinterpret_cast<std::uint32_t*>(lows));
    const std::uint64_t high = join_bits(key, 0);
    for (std::uint64_t i = 0; i < count; ++i) {
      std::uint32_t low;
      std::memcpy(&low, lows + 4 * i, sizeof low);
      const std::uint64_t position = high | low;
      std::memcpy(slots + 8 * i, &position, sizeof position);
    }
    out += count;
  }
}

void Bitmap::mark_members(bool* mask, std::uint64_t offset, bool value) const noexcept {
  constexpr std::size_t CHUNK = 256;
  roaring_uint32_range_closed_t ranges[CHUNK];
  for (const auto& [key, values] : buckets_) {
    roaring_uint32_iterator_t it;
    roaring_iterator_init(values.get(), &it);
    const std::uint64_t high = join_bits(key, 0);
    for (std::size_t got; (got = roaring_uint32_iterator_read_ranges(&it, ranges, CHUNK)) > 0;) {
      for (std::size_t i = 0; i < got; ++i) {
        const std::uint64_t from = (high | ranges[i].min) - offset;
        std::memset(mask + from, value, std::uint64_t{ranges[i].max} - ranges[i].min + 1);
      }
    }
  }
}

}  // namespace quorvel::storage
