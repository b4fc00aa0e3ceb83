// Sparse buckets from a portable image of array containers (layout: the published Roaring format,
// cookie 12346: cookie, container count, then a key and cardinality - 1 per container, a byte
// offset per container, and each container's sorted 16-bit values).
//
// Containers of sparse data hold one or two values, so whether a value opens a container is a
// coin toss: both passes compute it without branching, and the writing pass stores every field
// of the current container at every value (the last store wins).
#include "sparse_bucket.hpp"

#include <algorithm>
#include <cstring>

namespace quorvel::storage {

namespace {

constexpr std::uint32_t NO_RUN_COOKIE = 12346;
constexpr std::size_t ARRAY_LIMIT = 4096;  // distinct values an array container may hold
constexpr std::size_t HEADER = 8;          // cookie and container count
constexpr std::size_t SLACK = 2;           // room for the store of a repeated last value

std::uint64_t container_key(std::uint64_t value) noexcept { return (value >> 16) & 0xFFFF; }

template <typename T>
void put(unsigned char* out, T value) noexcept {
  std::memcpy(out, &value, sizeof value);
}

using Scan = SparseShape::Scan;

Scan continued(Scan scan, std::uint64_t value) noexcept {
  const std::size_t opens = container_key(value) != container_key(scan.last);
  const std::size_t fresh = value != scan.last;
  scan.run = continues_run(scan.last, value) ? scan.run + 1 : 1;
  scan.in_container = opens ? 1 : scan.in_container + fresh;
  scan.containers += opens;
  scan.distinct += fresh;
  scan.longest_run = std::max(scan.longest_run, scan.run);
  scan.fullest_container = std::max(scan.fullest_container, scan.in_container);
  scan.last = value;
  return scan;
}

Scan continued(Scan scan, const std::uint64_t* values, std::size_t count) noexcept {
  std::size_t i = 0;
  if (scan.distinct == 0 && count > 0) {  // the bucket's first value: one container, one run
    scan = {1, 1, 1, 1, 1, 1, values[0]};
    i = 1;
  }
  for (; i < count; ++i) scan = continued(scan, values[i]);
  return scan;
}

}  // namespace

bool SparseShape::take(const std::uint64_t* values, std::size_t count) noexcept {
  scan_ = continued(scan_, values, count);
  return scan_.longest_run < RANGE_RUN_LENGTH && scan_.fullest_container <= ARRAY_LIMIT;
}

Roaring32 sparse_bucket(const std::uint64_t* values, std::size_t count, const SparseShape& shape,
                        std::vector<unsigned char>& image) {
  const std::size_t lows_at = HEADER + 8 * shape.containers();
  const std::size_t size = lows_at + 2 * shape.distinct();
  if (image.size() < size + SLACK) image.resize(size + SLACK);
  unsigned char* const out = image.data();
  unsigned char* const descriptions = out + HEADER;  // key, cardinality - 1
  unsigned char* const offsets = descriptions + 4 * shape.containers();
  put(out, NO_RUN_COOKIE);
  put(out + 4, static_cast<std::uint32_t>(shape.containers()));
  std::size_t container = 0;  // index of the current value's container
  std::size_t first = 0;      // index among distinct values where that container starts
  std::size_t written = 0;    // distinct values so far
  for (std::size_t i = 0; i < count; ++i) {
    const bool opens = i > 0 && container_key(values[i]) != container_key(values[i - 1]);
    const std::size_t fresh = i == 0 || values[i] != values[i - 1];
    container += opens;
    first = opens ? written : first;
    put(out + lows_at + 2 * written, static_cast<std::uint16_t>(values[i]));
    written += fresh;
    put(descriptions + 4 * container, static_cast<std::uint16_t>(container_key(values[i])));
    put(descriptions + 4 * container + 2, static_cast<std::uint16_t>(written - first - 1));
    put(offsets + 4 * container, static_cast<std::uint32_t>(lows_at + 2 * first));
  }
  return Roaring32::adopt(roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(out), size));
}

}  // namespace quorvel::storage
