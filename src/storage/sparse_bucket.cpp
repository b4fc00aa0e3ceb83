// Sparse buckets from a portable image of array containers (layout: the published Roaring format,
// cookie 12346: cookie, container count, then a key and cardinality - 1 per container, a byte
// offset per container, and each container's sorted 16-bit values).
#include "storage/sparse_bucket.hpp"

#include <cstring>

namespace quorvel::storage {

namespace {

constexpr std::uint32_t NO_RUN_COOKIE = 12346;
constexpr std::size_t ARRAY_LIMIT = 4096;  // distinct values an array container may hold
constexpr std::size_t MIN_RUN = 64;        // runs at least this long are added as ranges

std::uint16_t container_key(std::uint64_t value) noexcept { return static_cast<std::uint16_t>(value >> 16); }

template <typename T>
unsigned char* put(unsigned char* out, T value) noexcept {
  std::memcpy(out, &value, sizeof value);
  return out + sizeof value;
}

// Containers and distinct values of `values`, or nothing when they do not qualify.
struct Shape {
  std::size_t containers = 0;
  std::size_t distinct = 0;
};

std::optional<Shape> shape_of(const std::uint64_t* values, std::size_t count) noexcept {
  Shape shape;
  std::size_t in_container = 0;
  std::size_t run = 0;  // values in the current run of steps of at most 1, duplicates included
  for (std::size_t i = 0; i < count; ++i) {
    const bool same_container = i > 0 && container_key(values[i]) == container_key(values[i - 1]);
    const bool repeated = i > 0 && values[i] == values[i - 1];
    run = i > 0 && values[i] - values[i - 1] <= 1 ? run + 1 : 1;
    if (run >= MIN_RUN) return std::nullopt;
    if (!same_container) {
      ++shape.containers;
      in_container = 0;
    }
    if (!repeated) {
      ++shape.distinct;
      if (++in_container > ARRAY_LIMIT) return std::nullopt;
    }
  }
  return shape;
}

}  // namespace

std::optional<Roaring32> sparse_bucket(const std::uint64_t* values, std::size_t count,
                                       std::vector<unsigned char>& image) {
  const std::optional<Shape> shape = count == 0 ? std::nullopt : shape_of(values, count);
  if (!shape) return std::nullopt;
  const std::size_t header = 8 + 8 * shape->containers;
  image.resize(header + 2 * shape->distinct);
  unsigned char* descriptions = put(put(image.data(), NO_RUN_COOKIE), static_cast<std::uint32_t>(shape->containers));
  unsigned char* offsets = descriptions + 4 * shape->containers;
  unsigned char* lows = image.data() + header;
  std::size_t begin = 0;  // index of the current container's first distinct value among all
  std::size_t written = 0;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0 && values[i] == values[i - 1]) continue;
    const bool opens = i == 0 || container_key(values[i]) != container_key(values[i - 1]);
    if (opens && written > 0) {
      descriptions = put(descriptions, static_cast<std::uint16_t>(written - begin - 1));
      begin = written;
    }
    if (opens) {
      descriptions = put(descriptions, container_key(values[i]));
      offsets = put(offsets, static_cast<std::uint32_t>(header + 2 * written));
    }
    lows = put(lows, static_cast<std::uint16_t>(values[i]));
    ++written;
  }
  put(descriptions, static_cast<std::uint16_t>(written - begin - 1));
  return Roaring32::adopt(roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(image.data()), image.size()));
}

}  // namespace quorvel::storage
