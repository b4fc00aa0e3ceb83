// Range operations: every range [start, end_ex) is cut at bucket boundaries and each piece is
// handed to one CRoaring range call on its bucket.
#include <stdexcept>

#include "storage/bitmap.hpp"
#include "storage/bucket_pieces.hpp"

namespace quorvel::storage {

// set and flip create every bucket from hi(start) to hi(end_ex), even for an empty piece.
void Bitmap::set(std::uint64_t start, std::uint64_t end_ex) {
  if (high_bits(start) > high_bits(end_ex)) return;
  note_change();
  for_each_piece(start, end_ex, [this](std::uint32_t key, Piece piece) {
    Roaring32& values = bucket(key);
    if (piece.end > piece.begin) roaring_bitmap_add_range(values.get(), piece.begin, piece.end);
    return true;
  });
}

// Unlike set and flip, unset creates no bucket: clearing a wide range of a small bitmap must
// not cost memory in proportion to the range's key span. Only present buckets are visited.
void Bitmap::unset(std::uint64_t start, std::uint64_t end_ex) {
  if (high_bits(start) > high_bits(end_ex)) return;
  note_change();
  for (auto it = buckets_.lower_bound(high_bits(start)); it != buckets_.end() && it->first <= high_bits(end_ex); ++it) {
    const Piece piece = piece_of(it->first, start, end_ex);
    if (piece.whole()) {
      roaring_bitmap_clear(it->second.get());
    } else if (piece.end > piece.begin) {
      roaring_bitmap_remove_range(it->second.get(), piece.begin, piece.end);
    }
  }
}

void Bitmap::flip(std::uint64_t start, std::uint64_t end_ex) {
  if (start >= end_ex) throw std::runtime_error("Invalid range.");
  note_change();
  for_each_piece(start, end_ex, [this](std::uint32_t key, Piece piece) {
    Roaring32& values = bucket(key);
    if (piece.end > piece.begin) roaring_bitmap_flip_inplace(values.get(), piece.begin, piece.end);
    return true;
  });
}

// Only pieces that hold positions are inspected: absent or empty buckets elsewhere never matter.
// The walk stops at the first absent bucket, so it never steps over more keys than exist.
bool Bitmap::all(std::uint64_t start, std::uint64_t end_ex) const noexcept {
  if (start >= end_ex) return true;
  return for_each_piece(start, end_ex, [this](std::uint32_t key, Piece piece) {
    if (piece.end <= piece.begin) return true;
    const Roaring32* values = find_bucket(key);
    return values != nullptr && roaring_bitmap_contains_range(values->get(), piece.begin, piece.end);
  });
}

// Walks the present buckets of the range only.
bool Bitmap::any(std::uint64_t start, std::uint64_t end_ex) const noexcept {
  if (start >= end_ex) return false;
  for (auto it = buckets_.lower_bound(high_bits(start)); it != buckets_.end() && it->first <= high_bits(end_ex); ++it) {
    const Piece piece = piece_of(it->first, start, end_ex);
    if (piece.end <= piece.begin) continue;
    const bool hit = piece.whole() ? !it->second.empty()
                                   : roaring_bitmap_intersect_with_range(it->second.get(), piece.begin, piece.end);
    if (hit) return true;
  }
  return false;
}

}  // namespace quorvel::storage
