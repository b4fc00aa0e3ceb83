// Bulk interchange: adding many positions at once and exporting all members.
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "storage/bitmap.hpp"
#include "storage/position_sort.hpp"
#include "storage/sparse_bucket.hpp"

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

// Consecutive values of one bucket share one bucket lookup. A new (or empty) bucket that will
// hold array containers only is built in one step; otherwise the values are added through
// CRoaring's bulk context.
void Bitmap::add_sorted(const std::uint64_t* values, std::size_t count) {
  note_change();
  std::vector<unsigned char> image;
  for (std::size_t begin = 0; begin < count;) {
    const std::uint32_t key = high_bits(values[begin]);
    std::size_t end = begin + 1;
    while (end < count && high_bits(values[end]) == key) ++end;
    Roaring32& target = bucket(key);
    std::optional<Roaring32> built;
    if (target.empty()) built = sparse_bucket(values + begin, end - begin, image);
    if (built) {
      target = std::move(*built);
    } else {
      add_to_bucket(target, values + begin, end - begin);
    }
    begin = end;
  }
}

// A run of at least RANGE_RUN_LENGTH consecutive positions is added as one range, which CRoaring keeps as
// a run container where that is the compact form, so later operations on it touch runs, not bits.
void Bitmap::add_to_bucket(Roaring32& bucket, const std::uint64_t* values, std::size_t count) {
  roaring_bitmap_t* target = bucket.get();
  roaring_bulk_context_t context{};
  for (std::size_t run = 0; run < count;) {
    std::size_t run_end = run + 1;  // [run, run_end): consecutive, duplicates allowed
    while (run_end < count && values[run_end] - values[run_end - 1] <= 1) ++run_end;
    if (run_end - run >= RANGE_RUN_LENGTH) {
      roaring_bitmap_add_range_closed(target, low_bits(values[run]), low_bits(values[run_end - 1]));
      context = roaring_bulk_context_t{};  // the range may have replaced the cached container
    } else {
      for (std::size_t i = run; i < run_end; ++i) roaring_bitmap_add_bulk(target, &context, low_bits(values[i]));
    }
    run = run_end;
  }
}

namespace {

// Calls visit(first, count) for each run of consecutive members, ascending: whole runs of run
// containers, maximal runs of the others. Reading runs lets both exports write consecutive values
// straight into their output, without a 32-bit staging copy.
template <typename Visit>
void for_each_run(const Bitmap::Buckets& buckets, Visit&& visit) {
  constexpr std::size_t CHUNK = 256;
  roaring_uint32_range_closed_t ranges[CHUNK];
  for (const auto& [key, values] : buckets) {
    roaring_uint32_iterator_t it;
    roaring_iterator_init(values.get(), &it);
    const std::uint64_t high = join_bits(key, 0);
    for (std::size_t got; (got = roaring_uint32_iterator_read_ranges(&it, ranges, CHUNK)) > 0;) {
      for (std::size_t i = 0; i < got; ++i) {
        visit(high | ranges[i].min, std::uint64_t{ranges[i].max} - ranges[i].min + 1);
      }
    }
  }
}

// Writes first, first + 1, ..., first + count - 1 to out. With `streaming`, the bulk goes out in
// non-temporal stores, which skip reading the destination's cache lines first: for an output far
// larger than the cache that is a third less memory traffic.
void fill_consecutive(std::uint64_t* out, std::uint64_t first, std::uint64_t count, bool streaming) noexcept {
  std::uint64_t i = 0;
#if defined(__SSE2__)
  if (streaming && count >= 8) {
    if (reinterpret_cast<std::uintptr_t>(out) % 16 != 0) out[i++] = first;
    __m128i pair = _mm_set_epi64x(static_cast<long long>(first + i + 1), static_cast<long long>(first + i));
    const __m128i two = _mm_set1_epi64x(2);
    for (; i + 2 <= count; i += 2) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), pair);
      pair = _mm_add_epi64(pair, two);
    }
  }
#else
  (void)streaming;
#endif
  for (; i < count; ++i) out[i] = first + i;
}

}  // namespace

void Bitmap::copy_members(std::uint64_t* out, std::uint64_t count) const noexcept {
  constexpr std::uint64_t STREAMED_FROM = std::uint64_t{1} << 20;  // members: 8 MiB of output
  const bool streaming = count >= STREAMED_FROM;
  for_each_run(buckets_, [&out, streaming](std::uint64_t first, std::uint64_t length) {
    fill_consecutive(out, first, length, streaming);
    out += length;
  });
#if defined(__SSE2__)
  if (streaming) _mm_sfence();  // order the non-temporal stores before the array is handed out
#endif
}

void Bitmap::mark_members(bool* mask, std::uint64_t offset, bool value) const noexcept {
  for_each_run(buckets_, [mask, offset, value](std::uint64_t first, std::uint64_t count) {
    std::memset(mask + (first - offset), value, count);
  });
}

}  // namespace quorvel::storage
