// Range operations: every range [start, end_ex) is cut at bucket boundaries and each piece is
// handed to one CRoaring range call; the changes of all touched buckets are built before any of
// them is put in place.
#include <stdexcept>
#include <utility>
#include <vector>

#include "allocation.hpp"
#include "bitmap.hpp"
#include "bucket_pieces.hpp"
#include "bucket_walks.hpp"

namespace quorvel::storage {

namespace {

// Bytes a bucket filled by a range takes (65,536 run containers and their index: 4.7 MiB measured
// with glibc): a range over many buckets is checked against the memory there is before it starts.
constexpr std::uint64_t WHOLE_BUCKET_BYTES = std::uint64_t{9} << 19;

}  // namespace

void Bitmap::change_range(std::uint64_t start, std::uint64_t end_ex, RangeChange change) {
  const bool grows = change != RangeChange::REMOVE;
  const auto present = buckets_between(buckets_, high_bits(start), high_bits(end_ex));
  if (grows) {
    const std::uint64_t keys = std::uint64_t{high_bits(end_ex)} - high_bits(start) + 1;
    require_memory((keys > 2 ? keys - 2 : 0) * WHOLE_BUCKET_BYTES);
    for (auto& [key, values] : present) {
      const Piece piece = piece_of(key, start, end_ex);
      if (piece.end > piece.begin) values.reserve_range(piece.begin, piece.end);
    }
  }
  std::vector<std::pair<Roaring32*, Roaring32::Change>> changes;
  Buckets created;
  const auto change_present = [&](Roaring32& values, Piece piece) {
    if (piece.end <= piece.begin) return;
    changes.emplace_back(&values, built_in_scope([&] {
      return change == RangeChange::ADD      ? values.prepare_add(piece.begin, piece.end)
             : change == RangeChange::REMOVE ? values.prepare_remove(piece.begin, piece.end)
                                             : values.prepare_flip(piece.begin, piece.end);
    }));
  };
  if (grows) {
    auto next = present.begin();
    for_each_piece(start, end_ex, [&](std::uint32_t key, Piece piece) {
      if (next != present.end() && next->first == key) {
        change_present((next++)->second, piece);
      } else {  // adding or flipping a piece of an absent bucket adds the piece
        created.emplace_hint(created.end(), key, built_in_scope([&] {
                               Roaring32 fresh;
                               if (piece.end > piece.begin)
                                 roaring_bitmap_add_range(fresh.get(), piece.begin, piece.end);
                               return fresh;
                             }));
      }
      return true;
    });
  } else {
    for (auto& [key, values] : present) change_present(values, piece_of(key, start, end_ex));
  }
  for (auto& [values, prepared] : changes) values->apply(std::move(prepared));
  buckets_.merge(created);
}

// set and flip create every bucket from hi(start) to hi(end_ex), even for an empty piece.
void Bitmap::set(std::uint64_t start, std::uint64_t end_ex) {
  if (high_bits(start) > high_bits(end_ex)) return;
  change_range(start, end_ex, RangeChange::ADD);
  note_change();
}

// Unlike set and flip, unset creates no bucket: clearing a wide range of a small bitmap must
// not cost memory in proportion to the range's key span. Only present buckets are visited.
void Bitmap::unset(std::uint64_t start, std::uint64_t end_ex) {
  if (high_bits(start) > high_bits(end_ex)) return;
  change_range(start, end_ex, RangeChange::REMOVE);
  note_change();
}

void Bitmap::flip(std::uint64_t start, std::uint64_t end_ex) {
  if (start >= end_ex) throw std::runtime_error("Invalid range.");
  change_range(start, end_ex, RangeChange::FLIP);
  note_change();
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
  for (const auto& [key, values] : buckets_between(buckets_, high_bits(start), high_bits(end_ex))) {
    const Piece piece = piece_of(key, start, end_ex);
    if (piece.end <= piece.begin) continue;
    const bool hit = piece.whole()
                         ? !values.empty()
                         : roaring_bitmap_intersect_with_range(values.get(), piece.begin, piece.end);
    if (hit) return true;
  }
  return false;
}

}  // namespace quorvel::storage
