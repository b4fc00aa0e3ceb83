// Cutting a position range [start, end_ex) into per-bucket pieces of low values.
#pragma once

#include <cstdint>

#include "bitmap.hpp"

namespace quorvel::storage {

// The low values [begin, end) that bucket `key` holds of [start, end_ex), for
// hi(start) <= key <= hi(end_ex). The last piece is empty when lo(end_ex) is 0.
struct Piece {
  std::uint64_t begin;
  std::uint64_t end;
  bool whole() const noexcept { return begin == 0 && end == BUCKET_SPAN; }
};

inline Piece piece_of(std::uint64_t key, std::uint64_t start, std::uint64_t end_ex) noexcept {
  return Piece{key == high_bits(start) ? low_bits(start) : 0,
               key == high_bits(end_ex) ? low_bits(end_ex) : BUCKET_SPAN};
}

// Calls visit(key, piece) for every key from hi(start) to hi(end_ex), ascending, each exactly
// once (0xFFFFFFFF included). `visit` returns false to stop; the result is false when it
// stopped. Requires hi(start) <= hi(end_ex).
template <class Visit>
bool for_each_piece(std::uint64_t start, std::uint64_t end_ex, Visit&& visit) {
  for (std::uint64_t key = high_bits(start); key <= high_bits(end_ex); ++key) {
    if (!visit(static_cast<std::uint32_t>(key), piece_of(key, start, end_ex))) return false;
  }
  return true;
}

}  // namespace quorvel::storage
