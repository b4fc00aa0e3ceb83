// BucketDirectory: the bucket keys of a Bitmap listed beside their buckets (BucketKeys), so that a
// lookup is a short search over contiguous keys instead of a walk down the tree.
#pragma once

#include <cstdint>
#include <map>

#include "bucket_keys.hpp"
#include "roaring32.hpp"

namespace quorvel::storage {

class BucketDirectory {
 public:
  using Buckets = std::map<std::uint32_t, Roaring32>;

  BucketDirectory() = default;
  // The buckets of a copy are elsewhere, so a copy starts without a directory. Where the source has
  // one, the copy makes room for its own, and if the source's holds for the stamp the copy shares,
  // builds it at its first lookup: that lookup allocates nothing, and none before it searches the tree.
  BucketDirectory(const BucketDirectory& other) noexcept;
  BucketDirectory& operator=(const BucketDirectory&) = delete;  // Bitmap's assignments leave theirs alone

  // The bucket of `key` in `buckets`, whose layout is that of modification stamp `stamp`, or null.
  // The directory is built for one stamp, once lookups under it have paid for building it (so a
  // lookup between changes never costs a pass over the buckets); until then, and if building it
  // fails for memory, the tree is searched. Inline where the directory holds, so that a per-call
  // lookup makes no call of its own.
  const Roaring32* find(const Buckets& buckets, std::uint32_t key, std::uint64_t stamp) noexcept {
    return built_at_ == stamp ? search(key) : find_unbuilt(buckets, key, stamp);
  }
  // The buckets changed from stamp `from` to `to` without a bucket added or removed: what holds
  // for `from` holds for `to`.
  void carry(std::uint64_t from, std::uint64_t to) noexcept {
    if (built_at_ == from) built_at_ = to;
    if (counted_at_ == from) counted_at_ = to;
  }

 private:
  static constexpr std::uint64_t NEVER = ~std::uint64_t{0};
  // The bucket of `key` by the directory, which holds.
  const Roaring32* search(std::uint32_t key) const noexcept {
    const std::int64_t at = listed_.find(key);
    return at >= 0 ? listed_.bucket(static_cast<std::size_t>(at)) : nullptr;
  }
  // find() while the directory does not hold for `stamp`: counts the lookup, builds when it pays.
  const Roaring32* find_unbuilt(const Buckets& buckets, std::uint32_t key, std::uint64_t stamp) noexcept;
  bool build(const Buckets& buckets, std::uint64_t stamp) noexcept;

  BucketKeys listed_;
  std::uint64_t built_at_ = NEVER;    // the stamp the directory holds for
  std::uint64_t counted_at_ = NEVER;  // the stamp `lookups_` are counted under
  std::uint64_t lookups_ = 0;
};

}  // namespace quorvel::storage
