// Walks over a bucket's container index, shared by the readers of CRoaring's container index
// (roaring32.cpp, roaring32_algebra.cpp): a step to a key, and a pass that frees the containers it is
// told to and closes the gaps.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>

#include "allocation.hpp"

namespace quorvel::storage {

// For a walk over ascending keys: moves `at` to the first of the index's keys from `at` on that is
// not below `key`, and tells whether it is `key`.
inline bool reach_key(const roaring_array_t& index, std::int32_t& at, std::uint32_t key) noexcept {
  while (at < index.size && index.keys[at] < key) ++at;
  return at < index.size && index.keys[at] == key;
}

// Calls dropped(i) for each container i of `index`, in order, and frees those for which it is true;
// the others move down over the gaps, after their call. Cannot fail. The containers dropped predate
// every open scope, and nothing refers to them once dropped: they are freed at once.
template <class Dropped>
void sweep_containers(roaring_array_t& index, Dropped&& dropped) noexcept {
  const ImmediateRelease release;
  std::int32_t kept = 0;
  for (std::int32_t i = 0; i < index.size; ++i) {
    if (dropped(i)) {
      roaring::internal::container_free(index.containers[i], index.typecodes[i]);
      continue;
    }
    index.keys[kept] = index.keys[i];
    index.containers[kept] = index.containers[i];
    index.typecodes[kept] = index.typecodes[i];
    ++kept;
  }
  index.size = kept;
}

}  // namespace quorvel::storage
