// Bucket bookkeeping: which keys each operation creates, keeps or removes, empty buckets included.
#include <gtest/gtest.h>

#include <algorithm>
#include <limits>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "bitmap_model.hpp"
#include "storage/sorted_keys.hpp"

namespace quorvel::testing {
namespace {

constexpr std::uint64_t SPAN = std::uint64_t{1} << 32;

Bitmap bitmap_of(std::initializer_list<std::uint64_t> members) {
  Bitmap bitmap;
  for (const std::uint64_t member : members) bitmap.set(member);
  return bitmap;
}

TEST(Buckets, NewBitmapHoldsTheEmptyBucketZero) {
  const Bitmap bitmap;
  EXPECT_EQ(keys_of(bitmap), (Keys{0}));
  EXPECT_TRUE(bitmap.empty());
  EXPECT_EQ(bitmap.in_memory_size(), 0u);
}

TEST(Buckets, MovedFromBitmapHoldsNoBucket) {
  Bitmap source = bitmap_of({1, SPAN});
  const Bitmap target(std::move(source));
  EXPECT_TRUE(source.buckets().empty());  // the moved-from state is part of the contract
  EXPECT_EQ(keys_of(target), (Keys{0, 1}));
  EXPECT_FALSE(source.first().has_value());
  EXPECT_EQ(source.begin(), source.end());
}

TEST(Buckets, RemovingTheLastMemberKeepsTheBucket) {
  Bitmap bitmap = bitmap_of({7 * SPAN});
  bitmap.unset(7 * SPAN);
  EXPECT_EQ(keys_of(bitmap), (Keys{0, 7}));
  EXPECT_TRUE(bitmap.empty());
  EXPECT_FALSE(bitmap.first().has_value());
  EXPECT_EQ(bitmap, Bitmap());
}

TEST(Buckets, UnsetOfANonMemberCreatesNothing) {
  Bitmap bitmap;
  bitmap.unset(5 * SPAN + 3);
  bitmap.unset(SPAN, 9 * SPAN);
  EXPECT_EQ(keys_of(bitmap), (Keys{0}));
}

TEST(Buckets, SetAndFlipRangesCreateEveryBucketOfTheirSpan) {
  Bitmap set_range;
  set_range.set(SPAN - 1, 3 * SPAN);  // the last piece [0, 0) of bucket 3 is empty, yet created
  EXPECT_EQ(keys_of(set_range), (Keys{0, 1, 2, 3}));
  EXPECT_EQ(set_range.cardinality(), 2 * SPAN + 1);

  Bitmap flipped;
  flipped.flip(2 * SPAN - 1, 2 * SPAN + 1);
  EXPECT_EQ(keys_of(flipped), (Keys{0, 1, 2}));
  EXPECT_EQ(members_of(flipped), (Members{2 * SPAN - 1, 2 * SPAN}));
}

TEST(Buckets, RangeEndingInTheLastBucketVisitsItOnce) {
  Bitmap bitmap;
  bitmap.set(MAX_POSITION - SPAN - 2, MAX_POSITION);
  EXPECT_EQ(keys_of(bitmap), (Keys{0, 0xFFFFFFFE, 0xFFFFFFFF}));
  EXPECT_EQ(bitmap.cardinality(), SPAN + 2);
  EXPECT_FALSE(bitmap.contains(MAX_POSITION));
}

TEST(Buckets, ReversedRangesChangeNothing) {
  Bitmap bitmap;
  bitmap.set(3 * SPAN, 2 * SPAN);
  bitmap.unset(3 * SPAN, 2 * SPAN);
  EXPECT_EQ(keys_of(bitmap), (Keys{0}));
  EXPECT_THROW(bitmap.flip(SPAN, SPAN), std::runtime_error);
  EXPECT_EQ(keys_of(bitmap), (Keys{0}));
}

TEST(Buckets, SearchesCreateNoBucket) {
  const Bitmap bitmap = bitmap_of({3});
  EXPECT_FALSE(bitmap.self_or_next(256 * SPAN).has_value());
  EXPECT_EQ(bitmap.self_or_previous(9 * SPAN + 1), std::optional<std::uint64_t>(3));
  EXPECT_EQ(keys_of(bitmap), (Keys{0}));
  EXPECT_EQ(bitmap.cardinality(), 1u);
}

TEST(Buckets, QueriesCreateNothing) {
  const Bitmap bitmap = bitmap_of({3, 2 * SPAN});
  EXPECT_FALSE(bitmap.contains(SPAN));
  EXPECT_FALSE(bitmap.any(SPAN, 2 * SPAN));
  EXPECT_FALSE(bitmap.all(0, 3 * SPAN));
  EXPECT_EQ(bitmap.lower_cardinality(5 * SPAN), 2u);
  EXPECT_EQ(bitmap.upper_cardinality(SPAN), 1u);
  EXPECT_EQ(keys_of(bitmap), (Keys{0, 2}));
}

TEST(Buckets, AllNeedsThePresentBucketsOfItsPieces) {
  Bitmap bitmap;
  bitmap.set(0, SPAN);
  EXPECT_TRUE(bitmap.all(0, SPAN));       // the empty last piece of bucket 1 is not inspected
  EXPECT_FALSE(bitmap.all(0, SPAN + 1));  // bucket 1 absent
  bitmap.set(SPAN, SPAN);                 // creates bucket 1, empty
  EXPECT_FALSE(bitmap.all(0, SPAN + 1));
  EXPECT_TRUE(bitmap.all(SPAN + 1, SPAN + 1));
}

TEST(Buckets, IntersectionEmptiesButKeepsBuckets) {
  Bitmap a = bitmap_of({SPAN + 1});
  const Bitmap b = bitmap_of({5});
  a.inplace_intersect(b);
  EXPECT_EQ(keys_of(a), (Keys{0, 1}));
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(a, Bitmap());
}

TEST(Buckets, UnionAndSymmetricDifferenceCopyTheOthersEmptyBuckets) {
  Bitmap other = bitmap_of({4 * SPAN});
  other.unset(4 * SPAN);
  Bitmap a = bitmap_of({1});
  a.inplace_union(other);
  EXPECT_EQ(keys_of(a), (Keys{0, 4}));
  Bitmap x = bitmap_of({2 * SPAN});
  x.inplace_symmetric_difference(other);
  EXPECT_EQ(keys_of(x), (Keys{0, 2, 4}));
  Bitmap d = bitmap_of({2 * SPAN});
  d.inplace_difference(other);
  EXPECT_EQ(keys_of(d), (Keys{0, 2}));
}

TEST(Buckets, AliasedOperandsKeepEveryKey) {
  Bitmap a = bitmap_of({1, SPAN + 1, 5 * SPAN});
  Bitmap x = a;
  x.inplace_symmetric_difference(x);
  EXPECT_TRUE(x.empty());
  EXPECT_EQ(keys_of(x), keys_of(a));
  Bitmap d = a;
  d.inplace_difference(d);
  EXPECT_TRUE(d.empty());
  EXPECT_EQ(keys_of(d), keys_of(a));
  Bitmap u = a;
  u.inplace_union(u).inplace_intersect(u);
  EXPECT_EQ(members_of(u), members_of(a));
}

TEST(Buckets, EmptyBucketsAreInvisibleToComparisons) {
  Bitmap a;
  a.set(SPAN);
  a.unset(SPAN);
  const Bitmap fresh;
  EXPECT_EQ(a, fresh);
  EXPECT_TRUE(a.subset_of(fresh));
  EXPECT_TRUE(fresh.subset_of(a));
  EXPECT_FALSE(a.strict_subset_of(fresh));
}

TEST(Buckets, CopiesAreDeepAndKeepEmptyBuckets) {
  Bitmap source = bitmap_of({1, 3 * SPAN});
  source.unset(3 * SPAN);
  Bitmap copy = source;
  copy.set(2);
  EXPECT_EQ(keys_of(copy), (Keys{0, 3}));
  EXPECT_FALSE(source.contains(2));
}

TEST(Buckets, ContainerCountFollowsTheUpperSixteenBits) {
  const Bitmap bitmap = bitmap_of({5, 70000, SPAN + 1});
  EXPECT_EQ(bitmap.in_memory_size(), 3u);
}

TEST(Buckets, BulkAddCreatesOnlyTheBucketsOfItsValues) {
  const std::uint64_t values[] = {9 * SPAN + 1, 3, 9 * SPAN, MAX_POSITION, 3};
  Bitmap bitmap;
  bitmap.add_many(values, 5);
  EXPECT_EQ(keys_of(bitmap), (Keys{0, 9, 0xFFFFFFFF}));
  EXPECT_EQ(members_of(bitmap), (Members{3, 9 * SPAN, 9 * SPAN + 1, MAX_POSITION}));
}

// The key search behind every bucket and container lookup answers as a binary search would, for
// short arrays (one pass of comparisons) and long ones (interpolation, a window counted around the
// guess up to WINDOWED_UP_TO keys, gallop), with keys spread evenly, consecutively or in clumps, and
// for keys present, absent, below and above them all.
template <class Key>
void expect_key_search_matches_lower_bound(std::mt19937_64& rng) {
  std::vector<std::size_t> counts(3 * storage::SHORT_KEYS + 1);
  std::iota(counts.begin(), counts.end(), std::size_t{0});
  for (const std::int64_t edge : {storage::WINDOWED_UP_TO, storage::WINDOWED_UP_TO + 1}) {
    counts.push_back(static_cast<std::size_t>(edge));
  }
  for (const std::size_t count : counts) {
    for (const std::uint64_t spread : {std::uint64_t{1}, std::uint64_t{3}, std::uint64_t{256}}) {
      std::vector<Key> keys;
      std::uint64_t next = rng() % 5;
      for (std::size_t i = 0; i < count; ++i) {
        keys.push_back(static_cast<Key>(next));
        next += 1 + (rng() % 4 == 0 ? rng() % spread : 0);
      }
      if (next + 3 > std::numeric_limits<Key>::max()) continue;  // the keys would wrap
      const auto size = static_cast<std::int64_t>(count);
      for (Key key = 0; key < static_cast<Key>(next + 3); ++key) {
        const auto place = std::lower_bound(keys.begin(), keys.end(), key) - keys.begin();
        const bool present = place < size && keys[static_cast<std::size_t>(place)] == key;
        ASSERT_EQ(storage::find_key(keys.data(), size, key), present ? place : -(place + 1))
            << "count " << count << " spread " << spread << " key " << key;
      }
    }
  }
}

TEST(Buckets, KeySearchMatchesLowerBound) {
  std::mt19937_64 rng(7);
  expect_key_search_matches_lower_bound<std::uint16_t>(rng);
  expect_key_search_matches_lower_bound<std::uint32_t>(rng);
}

}  // namespace
}  // namespace quorvel::testing
