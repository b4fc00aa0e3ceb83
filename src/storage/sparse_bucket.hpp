// Builds a sparse bucket in one step: CRoaring's portable deserializer reads an image of array
// containers that we lay out, instead of adding values one by one. Adding one by one searches
// the container index for every new container and grows each container and the index as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "roaring32.hpp"

namespace quorvel::storage {

// Runs of at least this many consecutive positions (duplicates included) are added to a bucket
// as one range; buckets holding such a run are not sparse.
inline constexpr std::size_t RANGE_RUN_LENGTH = 64;

// Whether `value`, following `previous` in non-decreasing input, continues its run (a step of at
// most 1: duplicates stay in the run).
inline bool continues_run(std::uint64_t previous, std::uint64_t value) noexcept {
  return value - previous <= 1;
}

// The bucket holding the low 32 bits of `values` (one bucket's positions, non-decreasing,
// duplicates allowed), built exactly as adding them one by one to an empty bucket builds it:
// only inputs that this leaves as array containers qualify, that is at most 4,096 distinct values
// per container and no run of RANGE_RUN_LENGTH consecutive positions (which are added as ranges).
// std::nullopt when `values` do not qualify. `image` is scratch space kept by the caller. Call
// inside an AllocationScope; throws std::bad_alloc.
std::optional<Roaring32> sparse_bucket(const std::uint64_t* values, std::size_t count,
                                       std::vector<unsigned char>& image);

// Whether `values` (as for sparse_bucket) qualify; a part of a bucket's values that does not
// qualify rules the bucket out.
bool sparse_shape(const std::uint64_t* values, std::size_t count) noexcept;

}  // namespace quorvel::storage
