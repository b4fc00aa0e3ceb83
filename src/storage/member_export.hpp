// Exports of a bucket's members, container by container: each kind is read in the way that suits
// it (array values widened, bitset words decoded, runs filled), not member by member.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>

namespace quorvel::storage {

// Writes high | low for each member low of `bucket`, ascending, from `out` on, and returns the end
// of what it wrote. `end` is the end of the whole output: decoding may write scratch values past the
// bucket's last member (overwritten later), never at or past `end`. With `streaming`, long runs go
// out in non-temporal stores; finish_streaming() must then follow the last call.
std::uint64_t* export_members(const roaring_bitmap_t& bucket, std::uint64_t high, std::uint64_t* out,
                              std::uint64_t* end, bool streaming) noexcept;
void finish_streaming() noexcept;

// Sets mask[base + low] (an index computed modulo 2^64, less than `length`) to `value` for each
// member low of `bucket`, and to !value every other element from `filled`, the end of what earlier
// buckets wrote, up to the end of what this one writes, which it returns. Each element that is not
// a member of an array container, or of a bitset that an end of the mask cuts, is written once.
std::uint64_t mark_members(const roaring_bitmap_t& bucket, bool* mask, std::uint64_t length,
                           std::uint64_t base, std::uint64_t filled, bool value) noexcept;

}  // namespace quorvel::storage
