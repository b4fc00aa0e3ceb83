// Roaring32's set algebra where the bucket lies, giving the containers (and so the bytes persisted)
// of CRoaring's new-bitmap op:
//  - containers changed in place, as CRoaring's own in-place forms do, but only where that allocates
//    nothing and the new-bitmap op gives a container of the same kind: bitsets that stay bitsets,
//    and arrays, which shrink in an intersection or difference and take a union or symmetric
//    difference with an array where their block holds the result;
//  - else only the containers whose key the other bucket has, built aside as the new-bitmap op
//    builds them and then swapped in, while the others stay where they are.
// Reads CRoaring's container index and containers, those of the release that roaring32.cpp checks.
#include <malloc.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "container_sweep.hpp"
#include "roaring32.hpp"

namespace quorvel::storage {

namespace {

namespace internal = roaring::internal;
using internal::container_t;
using Algebra = Roaring32::Algebra;

// The most members an array container holds: CRoaring's ops give a bitset for a larger result only.
constexpr std::int32_t ARRAY_MOST = internal::DEFAULT_MAX_SIZE;
constexpr std::int32_t CONTAINER_SPAN = 1 << 16;

const internal::bitset_container_t* bitset(const container_t* c) noexcept {
  return static_cast<const internal::bitset_container_t*>(c);
}
const internal::array_container_t* array(const container_t* c) noexcept {
  return static_cast<const internal::array_container_t*>(c);
}

// Calls visit(at, i), in key order, for container i of `theirs` and container `at` of `mine`, which
// has the same key; stops at the first visit that returns false. A key of theirs that mine lacks
// stops the walk too, unless `skip_missing`. Returns whether the walk went through.
template <class Visit>
bool for_each_shared(const roaring_array_t& mine, const roaring_array_t& theirs, bool skip_missing,
                     Visit visit) {
  std::int32_t at = 0;
  for (std::int32_t i = 0; i < theirs.size; ++i) {
    if (!reach_key(mine, at, theirs.keys[i])) {
      if (skip_missing) continue;
      return false;
    }
    if (!visit(at, i)) return false;
  }
  return true;
}

// Whether the union or symmetric difference of arrays `mine` and `theirs` fits in the block of
// `mine` (whose usable size may exceed its capacity) and is an array, as CRoaring's ops give it for
// up to ARRAY_MOST values: an array of a sparse bucket, grown by CRoaring's in-place union, would
// stay where it is.
bool merge_fits(const internal::array_container_t* mine, const internal::array_container_t* theirs) noexcept {
  const std::int32_t most = mine->cardinality + theirs->cardinality;
  if (most > ARRAY_MOST) return false;
  return most <= mine->capacity ||
         static_cast<std::size_t>(most) * sizeof(std::uint16_t) <= malloc_usable_size(mine->array);
}

// mine = mine | theirs, or mine ^ theirs without `keep_common`, in the block of `mine`, for which
// merge_fits holds: merged from the largest values down into the top of the block, then moved
// down to follow those of ours below all of theirs, which stay where they are.
void merge_in_place(internal::array_container_t* mine, const internal::array_container_t* theirs,
                    bool keep_common) noexcept {
  std::uint16_t* values = mine->array;
  const std::uint16_t* other = theirs->array;
  const std::int32_t top = mine->cardinality + theirs->cardinality;
  std::int32_t ours = mine->cardinality - 1;
  std::int32_t next = theirs->cardinality - 1;
  std::int32_t to = top;  // the lowest value written; always above `ours`
  while (next >= 0) {
    if (ours >= 0 && values[ours] > other[next]) {
      values[--to] = values[ours--];
    } else if (ours >= 0 && values[ours] == other[next]) {
      if (keep_common) values[--to] = values[ours];
      --ours;
      --next;
    } else {
      values[--to] = other[next--];
    }
  }
  std::memmove(values + ours + 1, values + to, static_cast<std::size_t>(top - to) * sizeof *values);
  mine->cardinality = ours + 1 + top - to;
  mine->capacity = std::max(mine->capacity, mine->cardinality);
}

// Whether c1 = op(c1, c2) can be computed where c1 lies, as far as the kinds and counts of both sides
// tell: an array shrinks in place in an intersection with an array or bitset and in any difference,
// and takes a union or symmetric difference with an array where merge_fits;
// a bitset stays one in a union with a bitset or array, and in the others when the result must keep
// more than ARRAY_MOST members (OPEN when the counts leave that open).
enum class Outcome { IN_PLACE, ASIDE, OPEN };
Outcome outcome_by_counts(const container_t* c1, std::uint8_t kind1, const container_t* c2,
                          std::uint8_t kind2, Algebra op) noexcept {
  if (kind1 == ARRAY_CONTAINER_TYPE) {
    const bool shrinks = (op == Algebra::INTERSECTION || op == Algebra::DIFFERENCE) &&
                         (kind2 == ARRAY_CONTAINER_TYPE || kind2 == BITSET_CONTAINER_TYPE ||
                          (kind2 == RUN_CONTAINER_TYPE && op == Algebra::DIFFERENCE));
    const bool fits = (op == Algebra::UNION || op == Algebra::SYMMETRIC_DIFFERENCE) &&
                      kind2 == ARRAY_CONTAINER_TYPE && merge_fits(array(c1), array(c2));
    return shrinks || fits ? Outcome::IN_PLACE : Outcome::ASIDE;
  }
  if (kind1 != BITSET_CONTAINER_TYPE) return Outcome::ASIDE;
  if (op == Algebra::UNION) {
    return kind2 == BITSET_CONTAINER_TYPE || kind2 == ARRAY_CONTAINER_TYPE ? Outcome::IN_PLACE
                                                                           : Outcome::ASIDE;
  }
  if (kind2 != BITSET_CONTAINER_TYPE) return Outcome::ASIDE;
  const std::int32_t mine = bitset(c1)->cardinality;
  const std::int32_t theirs = bitset(c2)->cardinality;
  const std::int32_t least = op == Algebra::INTERSECTION ? mine + theirs - CONTAINER_SPAN
                             : op == Algebra::DIFFERENCE ? mine - theirs
                                                         : std::abs(mine - theirs);
  return least > ARRAY_MOST ? Outcome::IN_PLACE : Outcome::OPEN;
}

// Whether op(c1, c2) of two bitsets keeps more than ARRAY_MOST members: one pass over their words.
bool stays_bitset_by_words(const container_t* c1, const container_t* c2, Algebra op) noexcept {
  const internal::bitset_container_t* mine = bitset(c1);
  const internal::bitset_container_t* theirs = bitset(c2);
  const int count = op == Algebra::INTERSECTION ? internal::bitset_container_and_justcard(mine, theirs)
                    : op == Algebra::DIFFERENCE ? internal::bitset_container_andnot_justcard(mine, theirs)
                                                : internal::bitset_container_xor_justcard(mine, theirs);
  return count > ARRAY_MOST;
}

// At most one container in OPEN_SHARE is settled by a pass over its words (a partial first or last
// container of a range, typically): with more, building the bucket aside, container after container
// while both are in cache, costs less than that pass and a second one in place.
constexpr std::int32_t OPEN_SHARE = 8;

// c1 = op(c1, c2) where c1 lies, for a pair that outcome_by_counts (or the words) let through.
void combine(container_t* c1, std::uint8_t kind1, const container_t* c2, std::uint8_t kind2,
             Algebra op) noexcept {
  if (kind1 == ARRAY_CONTAINER_TYPE) {
    auto* into = static_cast<internal::array_container_t*>(c1);
    if (op == Algebra::UNION || op == Algebra::SYMMETRIC_DIFFERENCE) {
      return merge_in_place(into, array(c2), op == Algebra::UNION);
    }
    if (op == Algebra::INTERSECTION) {
      if (kind2 == ARRAY_CONTAINER_TYPE)
        return internal::array_container_intersection_inplace(into, array(c2));
      return internal::array_bitset_container_intersection(into, bitset(c2), into);
    }
    if (kind2 == ARRAY_CONTAINER_TYPE) return internal::array_array_container_iandnot(into, array(c2));
    if (kind2 == BITSET_CONTAINER_TYPE) return internal::array_bitset_container_iandnot(into, bitset(c2));
    return internal::array_run_container_iandnot(into, static_cast<const internal::run_container_t*>(c2));
  }
  auto* into = static_cast<internal::bitset_container_t*>(c1);
  if (kind2 == ARRAY_CONTAINER_TYPE) return internal::array_bitset_container_union(array(c2), into, into);
  switch (op) {
    case Algebra::UNION: internal::bitset_container_or(into, bitset(c2), into); return;
    case Algebra::INTERSECTION: internal::bitset_container_and(into, bitset(c2), into); return;
    case Algebra::DIFFERENCE: internal::bitset_container_andnot(into, bitset(c2), into); return;
    case Algebra::SYMMETRIC_DIFFERENCE: internal::bitset_container_xor(into, bitset(c2), into); return;
  }
}

// Whether our container c stays as it is in op(us, other) whatever other's container of its key:
// a full run container in a union (CRoaring's op copies it).
bool stays(const container_t* c, std::uint8_t kind, Algebra op) noexcept {
  return op == Algebra::UNION && kind == RUN_CONTAINER_TYPE &&
         internal::run_container_is_full(static_cast<const internal::run_container_t*>(c));
}

// What becomes of our container c1 in the steps by changed containers: it stays as it is, a union or
// symmetric difference changes it where it lies (combine), or it is built aside.
enum class Fate { STAYS, IN_PLACE, ASIDE };
Fate fate_of(const container_t* c1, std::uint8_t kind1, const container_t* c2, std::uint8_t kind2,
             Algebra op) noexcept {
  if (stays(c1, kind1, op)) return Fate::STAYS;
  if (op != Algebra::DIFFERENCE && outcome_by_counts(c1, kind1, c2, kind2, op) == Outcome::IN_PLACE) {
    return Fate::IN_PLACE;
  }
  return Fate::ASIDE;
}

// Whether every container of `index` is of kind `kind`, or of `other_kind`: one pass over the kinds,
// without a branch per container.
bool all_of_kinds(const roaring_array_t& index, std::uint8_t kind, std::uint8_t other_kind) noexcept {
  std::int32_t others = 0;
  for (std::int32_t i = 0; i < index.size; ++i) {
    others += index.typecodes[i] != kind && index.typecodes[i] != other_kind;
  }
  return others == 0;
}

}  // namespace

// Keys of other that we lack add containers in a union or symmetric difference, so there the walk
// stops at them; an intersection or difference passes them over. Where the kinds alone settle it
// (arrays of ours shrink in place against arrays and bitsets, and in a difference against runs too),
// the walk over shared keys, whose order is a coin toss for sparse buckets, is left out.
bool Roaring32::combines_in_place(const Roaring32& other, Algebra op) const noexcept {
  const roaring_array_t& mine = get()->high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  const bool skip_missing = op == Algebra::INTERSECTION || op == Algebra::DIFFERENCE;
  if (skip_missing && all_of_kinds(mine, ARRAY_CONTAINER_TYPE, ARRAY_CONTAINER_TYPE) &&
      (op == Algebra::DIFFERENCE || all_of_kinds(theirs, ARRAY_CONTAINER_TYPE, BITSET_CONTAINER_TYPE))) {
    return true;
  }
  const auto outcome = [&](std::int32_t at, std::int32_t i) {
    return outcome_by_counts(mine.containers[at], mine.typecodes[at], theirs.containers[i],
                             theirs.typecodes[i], op);
  };
  std::int32_t open = 0;
  const bool by_counts = for_each_shared(mine, theirs, skip_missing, [&](std::int32_t at, std::int32_t i) {
    const Outcome found = outcome(at, i);
    open += found == Outcome::OPEN;
    return found != Outcome::ASIDE && open <= theirs.size / OPEN_SHARE;
  });
  if (!by_counts || open == 0) return by_counts;
  return for_each_shared(mine, theirs, skip_missing, [&](std::int32_t at, std::int32_t i) {
    return outcome(at, i) == Outcome::IN_PLACE ||
           stays_bitset_by_words(mine.containers[at], theirs.containers[i], op);
  });
}

// The new-bitmap op leaves out the containers emptied, and in an intersection those whose key other
// lacks: one pass over our containers combines and drops them. A union, which empties nothing,
// walks the shared keys only.
void Roaring32::combine_in_place(const Roaring32& other, Algebra op) noexcept {
  roaring_array_t& mine = get()->high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  const auto combine_pair = [&](std::int32_t at, std::int32_t i) {
    combine(mine.containers[at], mine.typecodes[at], theirs.containers[i], theirs.typecodes[i], op);
    return true;
  };
  if (op == Algebra::UNION) {
    for_each_shared(mine, theirs, true, combine_pair);
    return;
  }
  std::int32_t i = 0;
  sweep_containers(mine, [&](std::int32_t at) {
    if (!reach_key(theirs, i, mine.keys[at])) return op == Algebra::INTERSECTION;
    combine_pair(at, i);
    return !internal::container_nonzero_cardinality(mine.containers[at], mine.typecodes[at]);
  });
}

bool Roaring32::changes_few_containers(const Roaring32& other, Algebra op) const noexcept {
  const roaring_array_t& mine = get()->high_low_container;
  std::int32_t changing = 0;
  const roaring_array_t& theirs = other.get()->high_low_container;
  for_each_shared(mine, theirs, true, [&](std::int32_t at, std::int32_t i) {
    changing += fate_of(mine.containers[at], mine.typecodes[at], theirs.containers[i], theirs.typecodes[i],
                        op) == Fate::ASIDE;
    return 4 * changing <= mine.size;
  });
  return 4 * changing <= mine.size;
}

// The loop of roaring_bitmap_or, _xor and _andnot over the keys of `other`: CRoaring's container op
// for a shared key, a copy of their container for a key we lack (none in a difference). A container
// of ours that stays, or that a union or symmetric difference changes where it lies, is left out;
// an empty result is kept, empty, so that take_changed drops our container of its key, as the
// new-bitmap op leaves it out.
Roaring32 Roaring32::changed_containers(const Roaring32& other, Algebra op) const {
  const roaring_array_t& mine = get()->high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  Roaring32 changed;
  changed.make_room_for(other);  // ra_append below then allocates nothing
  const auto combine = op == Algebra::UNION        ? internal::container_or
                       : op == Algebra::DIFFERENCE ? internal::container_andnot
                                                   : internal::container_xor;
  std::int32_t at = 0;
  for (std::int32_t i = 0; i < theirs.size; ++i) {
    std::uint8_t kind = theirs.typecodes[i];
    container_t* values = nullptr;
    if (reach_key(mine, at, theirs.keys[i])) {
      if (fate_of(mine.containers[at], mine.typecodes[at], theirs.containers[i], theirs.typecodes[i], op) !=
          Fate::ASIDE) {
        continue;
      }
      values =
          combine(mine.containers[at], mine.typecodes[at], theirs.containers[i], theirs.typecodes[i], &kind);
    } else if (op != Algebra::DIFFERENCE) {
      values = internal::container_clone(theirs.containers[i], kind);
    } else {
      continue;
    }
    internal::ra_append(&changed.bitmap_.high_low_container, theirs.keys[i], values, kind);
  }
  return changed;
}

// One pass over our containers drops those of the keys `changed` holds, and changes where they lie
// those it leaves to this step, dropping them if emptied; then `changed`'s non-empty ones go in.
void Roaring32::take_changed(Roaring32&& changed, const Roaring32& other, Algebra op) noexcept {
  roaring_array_t& index = get()->high_low_container;
  roaring_array_t& fresh = changed.bitmap_.high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  std::int32_t next = 0;
  std::int32_t i = 0;
  sweep_containers(index, [&](std::int32_t at) {
    const std::uint16_t key = index.keys[at];
    if (reach_key(fresh, next, key)) return true;
    if (!reach_key(theirs, i, key) || stays(index.containers[at], index.typecodes[at], op)) return false;
    combine(index.containers[at], index.typecodes[at], theirs.containers[i], theirs.typecodes[i], op);
    return !internal::container_nonzero_cardinality(index.containers[at], index.typecodes[at]);
  });
  drop_empty_containers(fresh);
  merge_containers(index, fresh);
}

}  // namespace quorvel::storage
