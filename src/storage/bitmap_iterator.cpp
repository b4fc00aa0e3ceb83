// BitmapForwardIterator: ascending walk over the live buckets, skipping empty ones.
#include "bitmap.hpp"

namespace quorvel::storage {

void Bitmap::BitmapForwardIterator::settle() noexcept {
  while (bucket != bucket_end && !values.has_value) {
    if (++bucket != bucket_end) roaring_iterator_init(bucket->second.get(), &values);
  }
}

Bitmap::BitmapForwardIterator& Bitmap::BitmapForwardIterator::operator++() noexcept {
  if (values.has_value) roaring_uint32_iterator_advance(&values);
  settle();
  return *this;
}

bool Bitmap::BitmapForwardIterator::operator==(const BitmapForwardIterator& other) const noexcept {
  const bool at_end = bucket == bucket_end;
  const bool other_at_end = other.bucket == other.bucket_end;
  if (at_end || other_at_end) return at_end == other_at_end;
  return bucket->first == other.bucket->first && values.current_value == other.values.current_value;
}

std::size_t Bitmap::BitmapForwardIterator::read(std::uint64_t* out, std::size_t capacity) noexcept {
  constexpr std::uint32_t CHUNK = 1024;
  std::uint32_t lows[CHUNK];
  std::size_t copied = 0;
  while (copied < capacity && bucket != bucket_end) {
    const std::size_t wanted = capacity - copied < CHUNK ? capacity - copied : CHUNK;
    const std::uint32_t got = roaring_uint32_iterator_read(&values, lows, static_cast<std::uint32_t>(wanted));
    const std::uint64_t high = join_bits(bucket->first, 0);
    for (std::uint32_t i = 0; i < got; ++i) out[copied + i] = high | lows[i];
    copied += got;
    settle();
  }
  return copied;
}

Bitmap::BitmapForwardIterator Bitmap::begin() const noexcept {
  BitmapForwardIterator it{buckets_.begin(), buckets_.end(), {}};
  if (it.bucket != it.bucket_end) roaring_iterator_init(it.bucket->second.get(), &it.values);
  it.settle();
  return it;
}

Bitmap::BitmapForwardIterator Bitmap::end() const noexcept {
  return BitmapForwardIterator{buckets_.end(), buckets_.end(), {}};
}

}  // namespace quorvel::storage
