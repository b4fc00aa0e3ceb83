// Roaring32's set algebra where the bucket lies: bitset containers combined word by word, as CRoaring's
// own in-place forms do, but only where CRoaring's new-bitmap op gives a bitset too, so that nothing is
// allocated and the container kinds (and so the persisted bytes) are those of the new-bitmap op. Reads
// CRoaring's container index and bitset containers, those of the release that roaring32.cpp checks.
#include <cstdlib>

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

// Calls visit(at, i), in key order, for container i of `theirs` and container `at` of `mine`, which
// has the same key; stops at the first visit that returns false. A key of theirs that mine lacks
// stops the walk too, unless `skip_missing`. Returns whether the walk went through.
template <class Visit>
bool for_each_shared(const roaring_array_t& mine, const roaring_array_t& theirs, bool skip_missing,
                     Visit visit) {
  std::int32_t at = 0;
  for (std::int32_t i = 0; i < theirs.size; ++i) {
    while (at < mine.size && mine.keys[at] < theirs.keys[i]) ++at;
    if (at == mine.size || mine.keys[at] != theirs.keys[i]) {
      if (skip_missing) continue;
      return false;
    }
    if (!visit(at, i)) return false;
  }
  return true;
}

// Whether op(c1, c2), as CRoaring's new-bitmap op computes it, is a bitset when c1 is one, as far as
// the kinds and counts of both sides tell: a union with a bitset or array always is; the others are
// when they must keep more than ARRAY_MOST members, and OPEN when the counts leave it open.
enum class Outcome { BITSET, OTHER, OPEN };
Outcome outcome_by_counts(const container_t* c1, std::uint8_t kind1, const container_t* c2,
                          std::uint8_t kind2, Algebra op) noexcept {
  if (kind1 != BITSET_CONTAINER_TYPE) return Outcome::OTHER;
  if (op == Algebra::UNION) {
    return kind2 == BITSET_CONTAINER_TYPE || kind2 == ARRAY_CONTAINER_TYPE ? Outcome::BITSET : Outcome::OTHER;
  }
  if (kind2 != BITSET_CONTAINER_TYPE) return Outcome::OTHER;
  const std::int32_t mine = bitset(c1)->cardinality;
  const std::int32_t theirs = bitset(c2)->cardinality;
  const std::int32_t least = op == Algebra::INTERSECTION ? mine + theirs - CONTAINER_SPAN
                             : op == Algebra::DIFFERENCE ? mine - theirs
                                                         : std::abs(mine - theirs);
  return least > ARRAY_MOST ? Outcome::BITSET : Outcome::OPEN;
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

// c1 = op(c1, c2) for a pair whose result is a bitset; the container keeps its count.
void combine(container_t* c1, const container_t* c2, std::uint8_t kind2, Algebra op) noexcept {
  auto* into = static_cast<internal::bitset_container_t*>(c1);
  if (kind2 == ARRAY_CONTAINER_TYPE) {
    internal::array_bitset_container_union(static_cast<const internal::array_container_t*>(c2), into, into);
    return;
  }
  switch (op) {
    case Algebra::UNION: internal::bitset_container_or(into, bitset(c2), into); return;
    case Algebra::INTERSECTION: internal::bitset_container_and(into, bitset(c2), into); return;
    case Algebra::DIFFERENCE: internal::bitset_container_andnot(into, bitset(c2), into); return;
    case Algebra::SYMMETRIC_DIFFERENCE: internal::bitset_container_xor(into, bitset(c2), into); return;
  }
}

}  // namespace

// A difference leaves our containers that other lacks as they are; the union and symmetric difference
// would add other's, and the intersection would drop ours, so there the keys must match.
bool Roaring32::combines_in_place(const Roaring32& other, Algebra op) const noexcept {
  const roaring_array_t& mine = get()->high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  if (op == Algebra::INTERSECTION && mine.size != theirs.size) return false;
  const bool skip_missing = op == Algebra::DIFFERENCE;
  const auto outcome = [&](std::int32_t at, std::int32_t i) {
    return outcome_by_counts(mine.containers[at], mine.typecodes[at], theirs.containers[i],
                             theirs.typecodes[i], op);
  };
  std::int32_t open = 0;
  const bool by_counts = for_each_shared(mine, theirs, skip_missing, [&](std::int32_t at, std::int32_t i) {
    const Outcome found = outcome(at, i);
    open += found == Outcome::OPEN;
    return found != Outcome::OTHER && open <= theirs.size / OPEN_SHARE;
  });
  if (!by_counts || open == 0) return by_counts;
  return for_each_shared(mine, theirs, skip_missing, [&](std::int32_t at, std::int32_t i) {
    return outcome(at, i) == Outcome::BITSET ||
           stays_bitset_by_words(mine.containers[at], theirs.containers[i], op);
  });
}

void Roaring32::combine_in_place(const Roaring32& other, Algebra op) noexcept {
  roaring_array_t& mine = get()->high_low_container;
  const roaring_array_t& theirs = other.get()->high_low_container;
  for_each_shared(mine, theirs, true, [&](std::int32_t at, std::int32_t i) {
    combine(mine.containers[at], theirs.containers[i], theirs.typecodes[i], op);
    return true;
  });
}

}  // namespace quorvel::storage
