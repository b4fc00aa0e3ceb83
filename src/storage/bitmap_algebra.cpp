// Set algebra and comparison, bucket by bucket. Which empty buckets a result keeps is part of
// the contract (the persisted form lists them): no operation here removes a bucket.
#include <iterator>

#include "storage/bitmap.hpp"

namespace quorvel::storage {

namespace {

using Buckets = Bitmap::Buckets;
using InplaceOperation = void (*)(roaring_bitmap_t*, const roaring_bitmap_t*);

// Walks `theirs` once in key order: a bucket that `mine` shares becomes combine(mine, theirs);
// one that only `theirs` has is deep-copied into `mine`, even when it is empty. `mine` and
// `theirs` must be different maps (CRoaring's in-place xor refuses one bitmap on both sides).
void merge_buckets(Buckets& mine, const Buckets& theirs, InplaceOperation combine) {
  for (const auto& [key, values] : theirs) {
    const auto slot = mine.lower_bound(key);
    if (slot != mine.end() && slot->first == key) {
      combine(slot->second.get(), values.get());
    } else {
      mine.emplace_hint(slot, key, Roaring32())->second = values;
    }
  }
}

// Empties every bucket and keeps every key: the result of a - a and a ^ a.
void clear_buckets(Buckets& buckets) noexcept {
  for (auto& [key, values] : buckets) roaring_bitmap_clear(values.get());
}

// The first bucket from `it` that holds a member.
Buckets::const_iterator skip_empty(Buckets::const_iterator it, Buckets::const_iterator end) noexcept {
  while (it != end && it->second.empty()) ++it;
  return it;
}

// A deep copy of `a` changed in place by `b`, returned by value so that it is moved, not copied
// a second time.
template <Bitmap& (Bitmap::*Operation)(const Bitmap&)>
Bitmap changed_copy(const Bitmap& a, const Bitmap& b) {
  Bitmap result(a);
  (result.*Operation)(b);
  return result;
}

}  // namespace

Bitmap& Bitmap::inplace_union(const Bitmap& other) {
  if (&other == this) return *this;  // a | a is a, bucket for bucket
  note_change();
  merge_buckets(buckets_, other.buckets_, roaring_bitmap_or_inplace);
  return *this;
}

Bitmap& Bitmap::inplace_symmetric_difference(const Bitmap& other) {
  note_change();
  if (&other == this) {
    clear_buckets(buckets_);
  } else {
    merge_buckets(buckets_, other.buckets_, roaring_bitmap_xor_inplace);
  }
  return *this;
}

// A bucket of self that other lacks is emptied, not erased.
Bitmap& Bitmap::inplace_intersect(const Bitmap& other) {
  if (&other == this) return *this;  // a & a is a, bucket for bucket
  note_change();
  for (auto& [key, values] : buckets_) {
    const Roaring32* theirs = other.find_bucket(key);
    if (theirs != nullptr) {
      roaring_bitmap_and_inplace(values.get(), theirs->get());
    } else {
      roaring_bitmap_clear(values.get());
    }
  }
  return *this;
}

Bitmap& Bitmap::inplace_difference(const Bitmap& other) {
  note_change();
  if (&other == this) {
    clear_buckets(buckets_);
    return *this;
  }
  for (auto& [key, values] : buckets_) {
    const Roaring32* theirs = other.find_bucket(key);
    if (theirs != nullptr) roaring_bitmap_andnot_inplace(values.get(), theirs->get());
  }
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

Bitmap operator|(const Bitmap& a, const Bitmap& b) { return changed_copy<&Bitmap::inplace_union>(a, b); }
Bitmap operator&(const Bitmap& a, const Bitmap& b) { return changed_copy<&Bitmap::inplace_intersect>(a, b); }
Bitmap operator-(const Bitmap& a, const Bitmap& b) { return changed_copy<&Bitmap::inplace_difference>(a, b); }
Bitmap operator^(const Bitmap& a, const Bitmap& b) {
  return changed_copy<&Bitmap::inplace_symmetric_difference>(a, b);
}

}  // namespace quorvel::storage
