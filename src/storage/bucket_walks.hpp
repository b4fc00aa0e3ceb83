// Walks over the buckets of a Bitmap that several of its operations share.
#pragma once

#include <cstdint>
#include <optional>

#include "bitmap.hpp"

namespace quorvel::storage {

// The buckets of `buckets` (a Bitmap::Buckets, const or not) with keys in [first, last], in key
// order, for a range-for.
template <class Map>
auto buckets_between(Map& buckets, std::uint32_t first, std::uint32_t last) {
  using Iterator = decltype(buckets.begin());
  struct Range {
    Iterator from;
    Iterator to;
    Iterator begin() const { return from; }
    Iterator end() const { return to; }
  };
  return Range{buckets.lower_bound(first), buckets.upper_bound(last)};
}

// The first bucket from `it` that holds a member.
template <class Iterator>
Iterator skip_empty(Iterator it, Iterator end) noexcept {
  while (it != end && it->second.empty()) ++it;
  return it;
}

// The member that `edge` (Roaring32::minimum or maximum) picks in the first bucket of [it, end)
// that holds one; empty buckets are passed over. Walks forwards or, with reverse iterators, backwards.
template <class Iterator>
std::optional<std::uint64_t> edge_member(Iterator it, Iterator end,
                                         std::uint32_t (Roaring32::*edge)() const) noexcept {
  it = skip_empty(it, end);
  if (it == end) return std::nullopt;
  return join_bits(it->first, (it->second.*edge)());
}

}  // namespace quorvel::storage
