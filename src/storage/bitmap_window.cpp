// Slice, contract and expand: windows of positions, handled bucket by bucket with whole-bitmap
// CRoaring operations (range removal, offset, union), never member by member.
//
// contract and expand rebuild only the affected run of keys into a separate map and splice it in
// once everything is built, so a failure (validation or memory) leaves the bitmap unchanged.
//
// Bucket rule (which keys are present afterwards; keys outside the rebuilt run are untouched):
//  - the bucket of `position` is present afterwards when it lies at or below t = hi(last);
//  - contract removes a key above hi(position) whose bucket held members and holds none afterwards;
//  - every other key is present afterwards when it was present before or receives members.
// Absent keys in a gap between hi(position) and t are not created: creating them
// would cost memory in proportion to the key span (up to 2^32 buckets for two members).
// A bucket emptied by the deleted window stays present, as with `unset`.
#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

#include "allocation.hpp"
#include "bitmap.hpp"
#include "bucket_pieces.hpp"
#include "bucket_walks.hpp"

namespace quorvel::storage {

namespace {

using Buckets = Bitmap::Buckets;

// A copy of the members of `values` whose low values lie in [piece.begin, piece.end).
Roaring32 clip(const Roaring32& values, Piece piece) {
  if (piece.begin >= piece.end) return Roaring32();
  return values.members_between(piece.begin, piece.end);
}

// Whether `piece` holds every member of the non-empty `values`, which then serve without a clip.
bool holds_all(Piece piece, const Roaring32& values) {
  return piece.whole() || (piece.begin <= values.minimum() && values.maximum() < piece.end);
}

// The first low value of bucket `key` that lies above `bound` (at or above it when not
// `inclusive`): [0, cut) of the bucket is on the low side of `bound`, [cut, 2^32) above it.
std::uint64_t cut(std::uint32_t key, std::uint64_t bound, bool inclusive) {
  if (key < high_bits(bound)) return BUCKET_SPAN;
  if (key > high_bits(bound)) return 0;
  return std::uint64_t{low_bits(bound)} + (inclusive ? 1u : 0u);
}

// A move of positions by a multiple of 2^32 plus `offset` in [0, 2^32): low value x of bucket k
// lands in bucket k + buckets at x + offset when that is below 2^32, else in bucket
// k + buckets + 1 at x + offset - 2^32.
struct Move {
  std::int64_t buckets;
  std::uint32_t offset;
};

Move move_up(std::uint64_t by) { return {static_cast<std::int64_t>(by >> 32), low_bits(by)}; }

Move move_down(std::uint64_t by) {
  const auto whole = static_cast<std::int64_t>(by >> 32);
  if (low_bits(by) == 0) return {-whole, 0};
  return {-whole - 1, static_cast<std::uint32_t>(BUCKET_SPAN - low_bits(by))};
}

// Where the members of a source bucket k go: its low values [0, stay_end(k)) stay in bucket k,
// [move_begin(k), 2^32) are moved by `move`, the rest is dropped.
template <class StayEnd, class MoveBegin>
struct Window {
  StayEnd stay_end;
  MoveBegin move_begin;
  Move move;
};
template <class StayEnd, class MoveBegin>
Window(StayEnd, MoveBegin, Move) -> Window<StayEnd, MoveBegin>;

// What a source bucket k sends to one destination: the members that stay (to k), the moved ones that
// land in k + move.buckets, those that land one bucket higher. A destination receives its shares in
// the order of their source keys, and a source's shares in this order.
enum class Share { STAY, LOW, HIGH };

// Share `share` of bucket `key` (low values `values`); empty when it sends nothing there.
template <class StayEnd, class MoveBegin>
Roaring32 share_of(const Window<StayEnd, MoveBegin>& window, std::uint32_t key, const Roaring32& values,
                   Share share) {
  if (share == Share::STAY) return clip(values, Piece{0, window.stay_end(key)});
  const Piece moving{window.move_begin(key), BUCKET_SPAN};
  const bool all_move = holds_all(moving, values);
  const Roaring32 clipped = all_move ? Roaring32() : clip(values, moving);
  const Roaring32& part = all_move ? values : clipped;
  if (part.empty()) return Roaring32();
  if (window.move.offset == 0) return Roaring32(part);  // LOW only: the members keep their low values
  const auto offset = static_cast<std::int64_t>(window.move.offset);
  return Roaring32::adopt(roaring_bitmap_add_offset(
      part.get(), share == Share::LOW ? offset : offset - static_cast<std::int64_t>(BUCKET_SPAN)));
}

// The new contents of the keys [first, last] of `buckets`; only non-empty buckets are produced. Each
// destination bucket is built in an AllocationScope of its own (so a scope records one bucket's
// blocks): its first share is taken as it is, the others are ORed into it. The shares come as three
// streams over the source buckets (stay, low, high), each ascending in destination key, merged here.
template <class StayEnd, class MoveBegin>
Buckets rebuild(const Buckets& buckets, std::uint32_t first, std::uint32_t last,
                const Window<StayEnd, MoveBegin>& window) {
  // Each stream walks the non-empty buckets of the range with an iterator of its own: no list of
  // them is made (a list of hundreds of buckets would be a large allocation, which makes glibc
  // consolidate every small block freed before it).
  const auto sources = buckets_between(buckets, first, last);
  using Source = decltype(sources.begin());
  const auto next_source = [&](Source at) { return skip_empty(at, sources.end()); };
  const std::int64_t shift[] = {0, window.move.buckets, window.move.buckets + 1};
  const std::size_t streams = window.move.offset == 0 ? 2 : 3;  // without an offset nothing lands higher
  std::array<Source, 3> next;
  next.fill(next_source(sources.begin()));
  const auto destination = [&](std::size_t stream) {
    return std::int64_t{next[stream]->first} + shift[stream];
  };
  // The streams in the order their shares are combined: by source key (the larger the shift, the
  // lower the source key of a destination), then by share.
  std::array<std::size_t, 3> order{0, 1, 2};
  for (std::size_t i = 1; i < streams; ++i) {
    for (std::size_t j = i; j > 0 && shift[order[j]] > shift[order[j - 1]]; --j) {
      std::swap(order[j], order[j - 1]);
    }
  }
  constexpr std::int64_t DONE = std::numeric_limits<std::int64_t>::max();
  Buckets out;
  for (;;) {
    std::int64_t to = DONE;
    for (std::size_t stream = 0; stream < streams; ++stream) {
      if (next[stream] != sources.end()) to = std::min(to, destination(stream));
    }
    if (to == DONE) return out;
    std::array<std::pair<Source, Share>, 3> shares{};  // (source bucket, share), in order
    std::size_t count = 0;
    for (std::size_t i = 0; i < streams; ++i) {
      const std::size_t stream = order[i];
      if (next[stream] != sources.end() && destination(stream) == to) {
        shares[count++] = {next[stream], static_cast<Share>(stream)};
        next[stream] = next_source(std::next(next[stream]));
      }
    }
    Roaring32 bucket = built_in_scope([&] {
      const PromptRelease prompt;  // the shares' temporaries go at once, for the next ones to reuse
      Roaring32 built;
      for (std::size_t i = 0; i < count; ++i) {
        const auto& [key, values] = *shares[i].first;
        Roaring32 piece = share_of(window, key, values, shares[i].second);
        if (built.empty()) {
          built = std::move(piece);
        } else if (!piece.empty()) {
          roaring_bitmap_or_inplace(built.get(), piece.get());
        }
      }
      return built;
    });
    // The callers guarantee that members land only on keys in [0, 2^32).
    if (!bucket.empty()) out.emplace_hint(out.end(), static_cast<std::uint32_t>(to), std::move(bucket));
  }
}

bool has_members(const Buckets& buckets, std::uint32_t key) {
  const auto found = buckets.find(key);
  return found != buckets.end() && !found->second.empty();
}

// Adds to `rebuilt` (the new contents of keys [first, last]) the empty buckets that the bucket
// rule at the top of this file keeps or creates; `start` is hi(position) and `top` is t.
void add_empty_buckets(Buckets& rebuilt, const Buckets& buckets, std::uint32_t first, std::uint32_t last,
                       std::uint32_t start, std::uint32_t top, bool remove_emptied) {
  for (const auto& [key, values] : buckets_between(buckets, first, last)) {
    const bool emptied = remove_emptied && key > start && key <= top && !values.empty();
    if (!emptied) rebuilt.try_emplace(key);
  }
  if (start <= top) rebuilt.try_emplace(start);
}

// Replaces the keys [first, last] of `buckets` by `rebuilt`, whose keys all lie in that run.
// Nodes are spliced, not copied, so this cannot fail half-way.
void splice(Buckets& buckets, std::uint32_t first, std::uint32_t last, Buckets&& rebuilt) noexcept {
  const auto replaced = buckets_between(buckets, first, last);
  buckets.erase(replaced.begin(), replaced.end());
  buckets.merge(rebuilt);
}

}  // namespace

Bitmap Bitmap::slice(std::uint64_t start, std::uint64_t end_ex) const {
  if (high_bits(end_ex) < high_bits(start)) {
    throw std::runtime_error("Invalid range" + std::to_string(start) + ".." + std::to_string(end_ex));
  }
  const auto clipped = [&](std::uint32_t key, const Roaring32& values) {
    return built_in_scope([&] { return clip(values, piece_of(key, start, end_ex)); });
  };
  Buckets pieces;
  if (high_bits(start) == high_bits(end_ex)) {
    const Roaring32* values = find_bucket(high_bits(start));
    pieces.emplace(high_bits(start), values ? clipped(high_bits(start), *values) : Roaring32());
  } else {
    for (const auto& [key, values] : buckets_between(buckets_, high_bits(start), high_bits(end_ex))) {
      pieces.emplace_hint(pieces.end(), key, clipped(key, values));
    }
  }
  Bitmap result;
  result.install(pieces);
  return result;
}

// Deletes (position - by, position] and moves every member above position down by `by`.
void Bitmap::contract(std::uint64_t position, std::uint64_t by) {
  const std::optional<std::uint64_t> last_member = last();
  if (!last_member) return;
  const std::uint32_t start = high_bits(position);
  // Refused before anything changes: a start bucket that holds members while lo(position) <= by
  // (refused even where the window would stay inside that bucket, as callers expect), and any
  // member above position that would land below 0.
  if ((has_members(buckets_, start) && low_bits(position) <= by) ||
      (position < by && any(position + 1, by))) {
    throw std::invalid_argument("Range Out of Bounds");
  }
  const std::uint32_t top = high_bits(*last_member);
  // The lowest key that changes: the bucket of the window's first position (0 when the window
  // reaches below position 0), or the start bucket when nothing is deleted.
  const std::uint32_t first = by == 0 ? start : high_bits(position >= by ? position - by + 1 : 0);
  if (first > top) return;
  const bool keeps_lower = position >= by;  // members at or below position - by stay
  Buckets rebuilt =
      rebuild(buckets_, first, top,
              Window{[&](std::uint32_t key) { return keeps_lower ? cut(key, position - by, true) : 0; },
                     [&](std::uint32_t key) { return cut(key, position, true); }, move_down(by)});
  add_empty_buckets(rebuilt, buckets_, first, top, start, top, /*remove_emptied=*/true);
  note_change();
  splice(buckets_, first, top, std::move(rebuilt));
}

// Moves every member at or above position up by `by`; [position, position + by) is left free.
void Bitmap::expand(std::uint64_t position, std::uint64_t by) {
  const std::optional<std::uint64_t> last_member = last();
  if (!last_member || position > *last_member) return;
  if (by > std::numeric_limits<std::uint64_t>::max() - *last_member) {
    throw std::overflow_error("expand by " + std::to_string(by) + " would move member " +
                              std::to_string(*last_member) + " past 2^64 - 1");
  }
  const std::uint32_t start = high_bits(position);
  const std::uint32_t top = high_bits(*last_member);
  const std::uint32_t last_key = high_bits(*last_member + by);
  const auto split = [&](std::uint32_t key) { return cut(key, position, false); };
  Buckets rebuilt = rebuild(buckets_, start, last_key, Window{split, split, move_up(by)});
  add_empty_buckets(rebuilt, buckets_, start, last_key, start, top, /*remove_emptied=*/false);
  note_change();
  splice(buckets_, start, last_key, std::move(rebuilt));
}

}  // namespace quorvel::storage
