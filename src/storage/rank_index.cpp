// RankIndex: built on the second rank query under one modification stamp.
#include "rank_index.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace quorvel::storage {

RankIndex::Slot RankIndex::place(std::uint32_t key) const noexcept {
  const std::int64_t found = listed_.find(key);
  const auto at = static_cast<std::size_t>(found >= 0 ? found : -(found + 1));
  return {key, found >= 0 ? listed_.bucket(at) : nullptr, before_[at]};
}

// The last bucket with at most `ordinal` members before it: buckets without members share the count
// of the bucket after them, so the last of a tie is the one that holds members.
RankIndex::Slot RankIndex::holding(std::uint64_t ordinal) const noexcept {
  const auto after = std::upper_bound(before_.begin(), before_.end(), ordinal);
  const auto at = static_cast<std::size_t>(after - before_.begin() - 1);
  return {listed_.key(at), listed_.bucket(at), before_[at]};
}

bool RankIndex::build(const Buckets& buckets, std::uint64_t stamp) noexcept {
  built_at_ = NEVER;
  // A bucket holds at most 2^32 members: with fewer than 2^32 buckets every count fits in 64 bits.
  if (buckets.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  try {
    before_.resize(buckets.size() + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (!listed_.fill(buckets)) return false;
  std::uint64_t members = 0;
  for (std::size_t at = 0; at < listed_.size(); ++at) {
    before_[at] = members;
    members += listed_.bucket(at)->cardinality();
  }
  before_[listed_.size()] = members;
  built_at_ = stamp;
  return true;
}

}  // namespace quorvel::storage
