// RankIndex: the bucket keys of a Bitmap listed beside their buckets (BucketKeys) and the count of
// members before each, so that rank and select visit one bucket instead of counting every bucket
// before the answer (a sum over all of their containers).
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "bucket_keys.hpp"
#include "roaring32.hpp"

namespace quorvel::storage {

class RankIndex {
 public:
  using Buckets = std::map<std::uint32_t, Roaring32>;

  RankIndex() = default;
  // The buckets of a copy are elsewhere: a copy starts without an index.
  RankIndex(const RankIndex&) noexcept {}
  RankIndex& operator=(const RankIndex&) = delete;  // Bitmap's assignments leave theirs alone

  // Whether the index holds for `buckets`, whose layout is that of modification stamp `stamp`. The
  // first rank query under a stamp walks the buckets (one query costs less than building); the
  // second builds the index. False while it does not hold, also when building fails for memory.
  bool ready(const Buckets& buckets, std::uint64_t stamp) noexcept {
    if (built_at_ == stamp) return true;
    if (asked_at_ != stamp) {
      asked_at_ = stamp;
      return false;
    }
    return build(buckets, stamp);
  }

  // With ready(): a bucket key, the bucket (null when absent) and the members of the buckets before it.
  struct Slot {
    std::uint32_t key;
    const Roaring32* values;
    std::uint64_t before;
  };
  Slot place(std::uint32_t key) const noexcept;
  // The bucket holding the member of 0-based rank `ordinal`, which must be below total().
  Slot holding(std::uint64_t ordinal) const noexcept;
  std::uint64_t total() const noexcept { return before_.back(); }

 private:
  static constexpr std::uint64_t NEVER = ~std::uint64_t{0};
  bool build(const Buckets& buckets, std::uint64_t stamp) noexcept;

  BucketKeys listed_;
  std::vector<std::uint64_t> before_;  // one more than the buckets: the last is the total
  std::uint64_t built_at_ = NEVER;     // the stamp the index holds for
  std::uint64_t asked_at_ = NEVER;     // the stamp of the last query that found no index
};

}  // namespace quorvel::storage
