// Builds a sparse bucket in one step: CRoaring's portable deserializer reads an image of array
// containers that we lay out, instead of adding values one by one. Adding one by one searches
// the container index for every new container and grows each container and the index as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
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

// What sparse_bucket needs to know of one bucket's values, gathered as they arrive in pieces, so
// that each value is read once for it. Only values that adding one by one to an empty bucket leaves
// as array containers qualify: at most 4,096 distinct values per container and no run of
// RANGE_RUN_LENGTH consecutive positions (which are added as ranges).
class SparseShape {
 public:
  // Takes the bucket's next values (non-decreasing, not below those taken before); false once the
  // values taken so far do not qualify.
  bool take(const std::uint64_t* values, std::size_t count) noexcept;

  std::size_t containers() const noexcept { return scan_.containers; }
  std::size_t distinct() const noexcept { return scan_.distinct; }

  // Where the values taken so far stand; by value in the loop that reads them, so that it keeps the
  // fields in registers instead of storing them at every value.
  struct Scan {
    std::size_t containers = 0;
    std::size_t distinct = 0;
    std::size_t longest_run = 0;        // values in steps of at most 1, duplicates included
    std::size_t fullest_container = 0;  // distinct values
    std::size_t run = 0;                // the run and the container of the last value
    std::size_t in_container = 0;
    std::uint64_t last = 0;
  };

 private:
  Scan scan_;
};

// The bucket holding the low 32 bits of `values` (one bucket's positions, non-decreasing,
// duplicates allowed), built exactly as adding them one by one to an empty bucket builds it.
// `shape` took exactly `values` and qualifies; `image` is scratch space kept by the caller. Call
// inside an AllocationScope; throws std::bad_alloc.
Roaring32 sparse_bucket(const std::uint64_t* values, std::size_t count, const SparseShape& shape,
                        std::vector<unsigned char>& image);

}  // namespace quorvel::storage
