// Set algebra and comparison, bucket by bucket. Which empty buckets a result keeps is part of
// the contract (the persisted form lists them): no operation here removes a bucket.
#include <iterator>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

#include "allocation.hpp"
#include "bitmap.hpp"
#include "bucket_walks.hpp"

namespace quorvel::storage {

namespace {

using Buckets = Bitmap::Buckets;

using NewOperation = roaring_bitmap_t* (*)(const roaring_bitmap_t*, const roaring_bitmap_t*);

// An operation of the algebra: CRoaring's new-bitmap form, its name for Roaring32's in-place form, and
// whether the buckets of the right operand whose key the left lacks are part of the result.
struct Operation {
  NewOperation build;
  Roaring32::Algebra algebra;
  bool keeps_right_only;
};
constexpr Operation UNION{roaring_bitmap_or, Roaring32::Algebra::UNION, true};
constexpr Operation INTERSECTION{roaring_bitmap_and, Roaring32::Algebra::INTERSECTION, false};
constexpr Operation DIFFERENCE{roaring_bitmap_andnot, Roaring32::Algebra::DIFFERENCE, false};
constexpr Operation SYMMETRIC_DIFFERENCE{roaring_bitmap_xor, Roaring32::Algebra::SYMMETRIC_DIFFERENCE, true};

// op(mine, theirs) as a new bucket carrying the copy-on-write flag of `mine`. A null result
// (CRoaring out of memory) fails as a failed bucket copy does. The op's temporaries (a container
// made and found empty, a run container regrown) go at once, for its next container to reuse.
// Buckets that share no member intersect in an empty bucket, which a read-only test finds without
// building (and dropping) a container per shared key.
Roaring32 combined(const Roaring32& mine, const Roaring32& theirs, const Operation& op) {
  if (op.algebra == Roaring32::Algebra::INTERSECTION && !roaring_bitmap_intersect(mine.get(), theirs.get())) {
    return Roaring32();
  }
  return built_in_scope([&] {
    const PromptRelease prompt;
    roaring_bitmap_t* result = op.build(mine.get(), theirs.get());
    if (result == nullptr) throw std::runtime_error("failed roaring_bitmap_overwrite in constructor");
    roaring_bitmap_set_copy_on_write(result, roaring_bitmap_get_copy_on_write(mine.get()));
    return Roaring32::adopt(result);
  });
}

// What a bucket of `a` becomes when `b` has no bucket with its key: an empty bucket (intersection),
// else a copy (new-object forms) or left out (the in-place forms, which keep it as it is).
enum class Unmatched { COPY, KEEP, EMPTY };
Unmatched unmatched(Operation op, bool in_place) noexcept {
  if (op.algebra == Roaring32::Algebra::INTERSECTION) return Unmatched::EMPTY;
  return in_place ? Unmatched::KEEP : Unmatched::COPY;
}

// A bucket of self that an in-place form changes where it lies, with other's bucket of the same key
// and, unless it combines in place (Roaring32::combines_in_place), the containers that change,
// built aside (Roaring32::changed_containers).
struct WhereItLies {
  const Roaring32* mine;
  const Roaring32* theirs;
  std::optional<Roaring32> changed;
};
using WhereTheyLie = std::vector<WhereItLies>;

// The list of an in-place form, kept from call to call on each thread, emptied after each. Freeing
// it just after the operation freed many containers would have glibc merge all of those (a free that
// leaves 64 KiB or more merges the fast bins), work that the next allocations of their sizes, which
// take them as they are, make needless. A list of more than KEPT_ENTRIES goes.
class ReusedList {
 public:
  ReusedList() noexcept : list_(kept()) {}
  ReusedList(const ReusedList&) = delete;
  ReusedList& operator=(const ReusedList&) = delete;
  ~ReusedList() {
    list_.clear();
    if (list_.capacity() > KEPT_ENTRIES) WhereTheyLie().swap(list_);
  }
  WhereTheyLie& operator*() noexcept { return list_; }

 private:
  static constexpr std::size_t KEPT_ENTRIES = 4096;
  static WhereTheyLie& kept() noexcept {
    thread_local WhereTheyLie list;
    return list;
  }
  WhereTheyLie& list_;
};

// The buckets of `a op b` that differ from a's, built in one merge walk with one CRoaring call per
// shared key, so no bucket is copied and then rewritten: shared keys get op(a, b); keys only in
// `a` get what unmatched() says; keys only in `b` get a copy of b's bucket when the operation keeps
// them. Keys and empty buckets come out as the in-place forms leave them. With `in_place` (the
// in-place forms, `a` being self's buckets), a shared bucket that can change where it lies is listed
// there instead: one that combines in place, or, but in an intersection (which replaces all of a
// bucket's containers), one where few containers change.
Buckets combined_buckets(const Buckets& a, const Buckets& b, Operation op, WhereTheyLie* in_place = nullptr) {
  const Unmatched only_a = unmatched(op, in_place != nullptr);
  Buckets out;
  auto mine = a.begin();
  auto theirs = b.begin();
  while (mine != a.end() || theirs != b.end()) {
    if (theirs == b.end() || (mine != a.end() && mine->first < theirs->first)) {
      if (only_a != Unmatched::KEEP) {
        out.emplace_hint(out.end(), mine->first, only_a == Unmatched::COPY ? mine->second : Roaring32());
      }
      ++mine;
    } else if (mine == a.end() || theirs->first < mine->first) {
      if (op.keeps_right_only) out.emplace_hint(out.end(), theirs->first, theirs->second);
      ++theirs;
    } else {
      if (in_place != nullptr && mine->second.combines_in_place(theirs->second, op.algebra)) {
        in_place->push_back({&mine->second, &theirs->second, std::nullopt});
      } else if (in_place != nullptr && op.algebra != Roaring32::Algebra::INTERSECTION &&
                 mine->second.changes_few_containers(theirs->second, op.algebra)) {
        in_place->push_back({&mine->second, &theirs->second, built_in_scope([&] {
                               return mine->second.changed_containers(theirs->second, op.algebra);
                             })});
      } else {
        out.emplace_hint(out.end(), mine->first, combined(mine->second, theirs->second, op));
      }
      ++mine;
      ++theirs;
    }
  }
  return out;
}

// A deep copy of the buckets `mine` become once `changed` is installed and the buckets listed in
// `in_place` (in key order) change where they lie, made while none of that has happened: a listed
// bucket is combined anew, which gives the containers that changing it where it lies gives.
Buckets copy_of_result(const Buckets& mine, const Buckets& changed, const WhereTheyLie& in_place,
                       Operation op) {
  Buckets out;
  auto listed = in_place.begin();
  auto built = changed.begin();
  for (const auto& [key, values] : mine) {
    for (; built != changed.end() && built->first < key; ++built) out.emplace_hint(out.end(), *built);
    if (built != changed.end() && built->first == key) {
      out.emplace_hint(out.end(), *built++);
    } else if (listed != in_place.end() && listed->mine == &values) {
      out.emplace_hint(out.end(), key, combined(values, *listed->theirs, op));
      ++listed;
    } else {
      out.emplace_hint(out.end(), key, values);
    }
  }
  out.insert(built, changed.end());
  return out;
}

// A deep copy of `a` changed in place by `b`: the aliased forms (a op a), whose buckets the
// in-place forms define directly.
template <Bitmap& (Bitmap::*Operation)(const Bitmap&, Bitmap*)>
Bitmap changed_copy(const Bitmap& a, const Bitmap& b) {
  Bitmap result(a);
  (result.*Operation)(b, nullptr);
  return result;
}

}  // namespace

// The in-place forms build the new contents of every bucket they change first, and the containers
// that change in the buckets changed where they lie, and make room for those; then they put the new
// buckets in place together (Bitmap::install) and change the others where they lie, which cannot
// fail. So a failure leaves self as it was (its buckets' index capacity aside).
//
// With itself (a op a) no bucket is combined: a | a and a & a are a, bucket for bucket, and a - a
// and a ^ a empty every bucket.
template <class Operation>
void Bitmap::change_by(const Bitmap& other, const Operation& op, Bitmap* copy) {
  if (&other == this) {
    const bool gives_self =
        op.algebra == Roaring32::Algebra::UNION || op.algebra == Roaring32::Algebra::INTERSECTION;
    if (!gives_self) return empty_buckets(copy);
    if (copy != nullptr) *copy = *this;
    return;
  }
  ReusedList reused;
  WhereTheyLie& in_place = *reused;
  Buckets changed = combined_buckets(buckets_, other.buckets_, op, &in_place);
  const auto own = [](const Roaring32* mine) { return const_cast<Roaring32*>(mine); };  // self's bucket
  for (const WhereItLies& bucket : in_place) {
    if (bucket.changed) own(bucket.mine)->make_room_for(*bucket.changed);
  }
  if (copy != nullptr) *copy = Bitmap(copy_of_result(buckets_, changed, in_place, op));
  install(changed);
  for (WhereItLies& bucket : in_place) {
    if (bucket.changed) {
      own(bucket.mine)->take_changed(std::move(*bucket.changed), *bucket.theirs, op.algebra);
    } else {
      own(bucket.mine)->combine_in_place(*bucket.theirs, op.algebra);
    }
  }
  note_change();
}

// Every bucket emptied, every key kept; `copy` first gets the same.
void Bitmap::empty_buckets(Bitmap* copy) {
  if (copy != nullptr) {
    Buckets emptied;
    for (const auto& [key, values] : buckets_) emptied.emplace_hint(emptied.end(), key, Roaring32());
    *copy = Bitmap(std::move(emptied));
  }
  for (auto& [key, values] : buckets_) roaring_bitmap_clear(values.get());
  note_change();
}

Bitmap& Bitmap::inplace_union(const Bitmap& other, Bitmap* copy) {
  change_by(other, UNION, copy);
  return *this;
}

Bitmap& Bitmap::inplace_symmetric_difference(const Bitmap& other, Bitmap* copy) {
  change_by(other, SYMMETRIC_DIFFERENCE, copy);
  return *this;
}

// A bucket of self that other lacks is emptied, not erased.
Bitmap& Bitmap::inplace_intersect(const Bitmap& other, Bitmap* copy) {
  change_by(other, INTERSECTION, copy);
  return *this;
}

Bitmap& Bitmap::inplace_difference(const Bitmap& other, Bitmap* copy) {
  change_by(other, DIFFERENCE, copy);
  return *this;
}

// Equality of the member sets: empty buckets on either side are passed over.
bool Bitmap::operator==(const Bitmap& other) const noexcept {
  auto mine = skip_empty(buckets_.begin(), buckets_.end());
  auto theirs = skip_empty(other.buckets_.begin(), other.buckets_.end());
  while (mine != buckets_.end() && theirs != other.buckets_.end()) {
    if (mine->first != theirs->first || !roaring_bitmap_equals(mine->second.get(), theirs->second.get())) {
      return false;
    }
    mine = skip_empty(std::next(mine), buckets_.end());
    theirs = skip_empty(std::next(theirs), other.buckets_.end());
  }
  return mine == buckets_.end() && theirs == other.buckets_.end();
}

// Inclusion of the member sets: an empty bucket of self holds nothing to include, so it never
// needs a counterpart in other (this keeps a == b implying a.subset_of(b)).
bool Bitmap::subset_of(const Bitmap& other) const noexcept {
  for (const auto& [key, values] : buckets_) {
    if (values.empty()) continue;
    const Roaring32* theirs = other.find_bucket(key);
    if (theirs == nullptr || !roaring_bitmap_is_subset(values.get(), theirs->get())) return false;
  }
  return true;
}

// Given inclusion, the sets differ exactly when the counts do. Throws std::length_error when
// both are the full set, whose count does not fit in 64 bits.
bool Bitmap::strict_subset_of(const Bitmap& other) const {
  if (!subset_of(other)) return false;
  const std::uint64_t theirs = other.cardinality();
  return theirs != cardinality();
}

Bitmap::Bitmap(Buckets&& buckets) noexcept : buckets_(std::move(buckets)) {}

Bitmap operator|(const Bitmap& a, const Bitmap& b) {
  if (&a == &b) return changed_copy<&Bitmap::inplace_union>(a, b);
  return Bitmap(combined_buckets(a.buckets(), b.buckets(), UNION));
}
Bitmap operator&(const Bitmap& a, const Bitmap& b) {
  if (&a == &b) return changed_copy<&Bitmap::inplace_intersect>(a, b);
  return Bitmap(combined_buckets(a.buckets(), b.buckets(), INTERSECTION));
}
Bitmap operator-(const Bitmap& a, const Bitmap& b) {
  if (&a == &b) return changed_copy<&Bitmap::inplace_difference>(a, b);
  return Bitmap(combined_buckets(a.buckets(), b.buckets(), DIFFERENCE));
}
Bitmap operator^(const Bitmap& a, const Bitmap& b) {
  if (&a == &b) return changed_copy<&Bitmap::inplace_symmetric_difference>(a, b);
  return Bitmap(combined_buckets(a.buckets(), b.buckets(), SYMMETRIC_DIFFERENCE));
}

}  // namespace quorvel::storage
