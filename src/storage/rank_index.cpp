// RankIndex: built on the second rank query under one modification stamp.
#include "rank_index.hpp"

#include <algorithm>
#include <limits>
#include <new>

#include "sorted_keys.hpp"

namespace quorvel::storage {

RankIndex::Slot RankIndex::place(std::uint32_t key) const noexcept {
  const std::int64_t found = find_key(keys_.data(), static_cast<std::int64_t>(keys_.size()), key);
  const auto at = static_cast<std::size_t>(found >= 0 ? found : -(found + 1));
  return {key, found >= 0 ? buckets_[at] : nullptr, before_[at]};
}

// The last bucket with at most `ordinal` members before it: buckets without members share the count
// of the bucket after them, so the last of a tie is the one that holds members.
RankIndex::Slot RankIndex::holding(std::uint64_t ordinal) const noexcept {
  const auto after = std::upper_bound(before_.begin(), before_.end(), ordinal);
  const auto at = static_cast<std::size_t>(after - before_.begin() - 1);
  return {keys_[at], buckets_[at], before_[at]};
}

bool RankIndex::build(const Buckets& buckets, std::uint64_t stamp) noexcept {
  built_at_ = NEVER;
  // A bucket holds at most 2^32 members: with fewer than 2^32 buckets every count fits in 64 bits.
  if (buckets.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  try {
    keys_.resize(buckets.size());
    buckets_.resize(buckets.size());
    before_.resize(buckets.size() + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  std::size_t at = 0;
  std::uint64_t members = 0;
  for (const auto& [key, values] : buckets) {
    keys_[at] = key;
    buckets_[at] = &values;
    before_[at++] = members;
    members += values.cardinality();
  }
  before_[at] = members;
  built_at_ = stamp;
  return true;
}

}  // namespace quorvel::storage
