// BucketKeys: the bucket keys of a Bitmap in one sorted array beside where their buckets are, listed
// for one layout of the buckets. The bucket directory and the rank index search it instead of
// walking down the tree; each decides itself for which modification stamp its list holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <new>
#include <vector>

#include "roaring32.hpp"
#include "sorted_keys.hpp"

namespace quorvel::storage {

class BucketKeys {
 public:
  using Buckets = std::map<std::uint32_t, Roaring32>;

  // Room for `count` buckets; throws std::bad_alloc.
  void reserve(std::size_t count) {
    keys_.reserve(count);
    buckets_.reserve(count);
  }
  // Lists `buckets` in key order. False when memory runs out; the list then holds nothing usable.
  bool fill(const Buckets& buckets) noexcept {
    try {
      keys_.resize(buckets.size());
      buckets_.resize(buckets.size());
    } catch (const std::bad_alloc&) {
      return false;
    }
    std::size_t i = 0;
    for (const auto& [key, values] : buckets) {
      keys_[i] = key;
      buckets_[i++] = &values;
    }
    return true;
  }

  // Where `key` is listed, or -(where it would go) - 1, as find_key answers.
  std::int64_t find(std::uint32_t key) const noexcept {
    return find_key(keys_.data(), static_cast<std::int64_t>(keys_.size()), key);
  }
  std::size_t size() const noexcept { return keys_.size(); }
  std::uint32_t key(std::size_t i) const noexcept { return keys_[i]; }
  const Roaring32* bucket(std::size_t i) const noexcept { return buckets_[i]; }

 private:
  std::vector<std::uint32_t> keys_;
  std::vector<const Roaring32*> buckets_;
};

}  // namespace quorvel::storage
