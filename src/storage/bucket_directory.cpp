// BucketDirectory: built lazily, searched from where an even spread of the keys puts the key.
#include "bucket_directory.hpp"

#include <new>

namespace quorvel::storage {

namespace {

// Lookups under one stamp that pay for a directory of `size` buckets before it is built.
std::uint64_t lookups_before_building(std::size_t size) noexcept { return 16 + size / 8; }

}  // namespace

BucketDirectory::BucketDirectory(const BucketDirectory& other) noexcept {
  if (other.built_at_ == NEVER) return;
  try {
    listed_.reserve(other.listed_.size());
  } catch (const std::bad_alloc&) {
    return;  // builds as a directory without a source does
  }
  counted_at_ = other.built_at_;
  lookups_ = lookups_before_building(other.listed_.size()) - 1;
}

const Roaring32* BucketDirectory::find_unbuilt(const Buckets& buckets, std::uint32_t key,
                                               std::uint64_t stamp) noexcept {
  if (counted_at_ != stamp) {
    counted_at_ = stamp;
    lookups_ = 0;
  }
  if (++lookups_ < lookups_before_building(buckets.size()) || !build(buckets, stamp)) {
    const auto found = buckets.find(key);
    return found == buckets.end() ? nullptr : &found->second;
  }
  return search(key);
}

bool BucketDirectory::build(const Buckets& buckets, std::uint64_t stamp) noexcept {
  built_at_ = NEVER;
  if (!listed_.fill(buckets)) return false;
  built_at_ = stamp;
  return true;
}

}  // namespace quorvel::storage
