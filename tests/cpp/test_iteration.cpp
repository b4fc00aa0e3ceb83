// The forward iterator and the modification stamp that tells a live iterator when it is stale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bitmap_model.hpp"

namespace quorvel::testing {
namespace {

constexpr std::uint64_t SPAN = std::uint64_t{1} << 32;

// Members in buckets 0, 1 and 3, an empty bucket 2 and bucket 5 (emptied), two containers in 0.
Bitmap sample() {
  Bitmap bitmap;
  for (const std::uint64_t p :
       {std::uint64_t{3}, std::uint64_t{70000}, SPAN - 1, SPAN, 3 * SPAN + 9, 5 * SPAN})
    bitmap.set(p);
  bitmap.set(2 * SPAN, 2 * SPAN);
  bitmap.unset(5 * SPAN);
  return bitmap;
}

struct Case {
  std::string name;
  std::function<void(Bitmap&)> run;
};

std::vector<Case> changes() {
  const Bitmap other = sample();
  Bitmap far;
  far.set(7 * SPAN + 1);
  return {
      {"set", [](Bitmap& b) { b.set(4); }},
      {"set of a member", [](Bitmap& b) { b.set(3); }},
      {"unset", [](Bitmap& b) { b.unset(3); }},
      {"flip", [](Bitmap& b) { b.flip(SPAN + 5); }},
      {"set range", [](Bitmap& b) { b.set(SPAN - 2, SPAN + 2); }},
      {"unset range", [](Bitmap& b) { b.unset(0, 4 * SPAN); }},
      {"flip range", [](Bitmap& b) { b.flip(5, 9); }},
      {"union", [far](Bitmap& b) { b.inplace_union(far); }},
      {"intersect", [other](Bitmap& b) { b.inplace_intersect(other); }},
      {"difference", [other](Bitmap& b) { b.inplace_difference(other); }},
      {"symmetric difference", [other](Bitmap& b) { b.inplace_symmetric_difference(other); }},
      {"difference with itself", [](Bitmap& b) { b.inplace_difference(b); }},
      {"symmetric difference with itself", [](Bitmap& b) { b.inplace_symmetric_difference(b); }},
      {"contract", [](Bitmap& b) { b.contract(SPAN + 100, 50); }},
      {"contract by 0", [](Bitmap& b) { b.contract(SPAN + 100, 0); }},
      {"expand", [](Bitmap& b) { b.expand(4, SPAN); }},
      {"persisted_size with run optimisation", [](Bitmap& b) { b.persisted_size(true, true, false); }},
      {"persisted_size with shrinking", [](Bitmap& b) { b.persisted_size(false, false, true); }},
      {"add_many",
       [](Bitmap& b) {
         const std::uint64_t v[] = {11, 2};
         b.add_many(v, 2);
       }},
      {"copy assignment", [far](Bitmap& b) { b = far; }},
      {"move assignment", [far](Bitmap& b) { b = Bitmap(far); }},
  };
}

std::vector<Case> queries() {
  const Bitmap other = sample();
  return {
      {"contains", [](Bitmap& b) { b.contains(3); }},
      {"cardinality", [](Bitmap& b) { b.cardinality(); }},
      {"first, last, empty",
       [](Bitmap& b) {
         b.first();
         b.last();
         b.empty();
       }},
      {"all", [](Bitmap& b) { b.all(0, 4 * SPAN); }},
      {"any", [](Bitmap& b) { b.any(2, 5 * SPAN); }},
      {"rank",
       [](Bitmap& b) {
         b.lower_cardinality(SPAN);
         b.upper_cardinality(3);
       }},
      {"nth", [](Bitmap& b) { b.nth(2); }},
      {"self_or_next at an absent bucket", [](Bitmap& b) { b.self_or_next(4 * SPAN); }},
      {"self_or_previous at an absent bucket", [](Bitmap& b) { b.self_or_previous(9 * SPAN); }},
      {"comparisons",
       [other](Bitmap& b) {
         (void)(b == other);
         b.subset_of(other);
         b.strict_subset_of(other);
       }},
      {"slice", [](Bitmap& b) { b.slice(0, 4 * SPAN); }},
      {"new-object union", [other](Bitmap& b) { (void)(b | other); }},
      {"union with itself", [](Bitmap& b) { b.inplace_union(b); }},
      {"intersection with itself", [](Bitmap& b) { b.inplace_intersect(b); }},
      {"persisted_size without preparation", [](Bitmap& b) { b.persisted_size(true, false, false); }},
      {"write",
       [](Bitmap& b) {
         std::vector<std::uint8_t> out(4096);
         b.write(out.data(), out.size(), true);
       }},
      {"copy", [](Bitmap& b) { const Bitmap copy(b); }},
      {"copy_members",
       [](Bitmap& b) {
         std::vector<std::uint64_t> out(b.cardinality());
         b.copy_members(out.data(), out.size());
       }},
  };
}

TEST(ModificationStamp, EveryChangeMovesIt) {
  for (const Case& change : changes()) {
    Bitmap bitmap = sample();
    const std::uint64_t before = bitmap.modification_stamp();
    change.run(bitmap);
    EXPECT_NE(bitmap.modification_stamp(), before) << change.name;
  }
}

TEST(ModificationStamp, QueriesKeepIt) {
  for (const Case& query : queries()) {
    Bitmap bitmap = sample();
    const std::uint64_t before = bitmap.modification_stamp();
    query.run(bitmap);
    EXPECT_EQ(bitmap.modification_stamp(), before) << query.name;
  }
}

TEST(ModificationStamp, MovedFromBitmapIsChangedToo) {
  Bitmap source = sample();
  const std::uint64_t before = source.modification_stamp();
  const Bitmap target(std::move(source));
  EXPECT_NE(source.modification_stamp(), before);
  Bitmap assigned;
  Bitmap second = sample();
  const std::uint64_t second_before = second.modification_stamp();
  assigned = std::move(second);
  EXPECT_NE(second.modification_stamp(), second_before);
}

// Queries keep the stamp, so a live iterator must survive them, the bucket-creating searches
// included, and still yield exactly the members.
TEST(ForwardIterator, SurvivesEveryQueryMidWalk) {
  for (const Case& query : queries()) {
    Bitmap bitmap = sample();
    const Members expected = members_of(bitmap);
    Members seen;
    auto it = bitmap.begin();
    seen.insert(*it);
    ++it;
    seen.insert(*it);
    ++it;
    query.run(bitmap);
    for (; it != bitmap.end(); ++it) seen.insert(*it);
    EXPECT_EQ(seen, expected) << query.name;
  }
}

TEST(ForwardIterator, SkipsEmptyBucketsAtEitherEnd) {
  Bitmap bitmap;
  bitmap.set(9 * SPAN, 9 * SPAN);
  EXPECT_EQ(bitmap.begin(), bitmap.end());
  bitmap.set(4 * SPAN + 2);
  EXPECT_EQ(members_of(bitmap), (Members{4 * SPAN + 2}));
  const Bitmap none;
  EXPECT_EQ(none.begin(), none.end());
}

TEST(ForwardIterator, ReadsInBatchesAcrossBuckets) {
  Bitmap bitmap = sample();
  bitmap.set(SPAN + 10, SPAN + 3000);
  const Members expected = members_of(bitmap);
  for (std::size_t capacity : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{1023},
                               std::size_t{1024}, std::size_t{1025}, std::size_t{5000}}) {
    auto it = bitmap.begin();
    std::vector<std::uint64_t> out(capacity);
    Members seen;
    for (std::size_t got; (got = it.read(out.data(), capacity)) > 0;) {
      seen.insert(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(got));
      if (got < capacity) {
        EXPECT_EQ(it, bitmap.end()) << capacity;
      }
    }
    EXPECT_EQ(seen, expected) << capacity;
    EXPECT_EQ(it.read(out.data(), capacity), 0u);
  }
}

TEST(ForwardIterator, ReadOfZeroMovesNothing) {
  const Bitmap bitmap = sample();
  auto it = bitmap.begin();
  std::uint64_t out = 0;
  EXPECT_EQ(it.read(&out, 0), 0u);
  EXPECT_EQ(*it, 3u);
}

TEST(ForwardIterator, AgreesWithBulkCopy) {
  Bitmap bitmap = sample();
  bitmap.set(MAX_POSITION - 3, MAX_POSITION);
  bitmap.set(MAX_POSITION);
  std::vector<std::uint64_t> bulk(bitmap.cardinality());
  bitmap.copy_members(bulk.data(), bulk.size());
  const Members walked = members_of(bitmap);
  EXPECT_EQ(std::vector<std::uint64_t>(walked.begin(), walked.end()), bulk);
}

// Outputs of a million members and more are written with streaming stores: runs of every length
// around the vector width, at both alignments of the output, across buckets; bitset words up to the
// output's end.
TEST(ForwardIterator, AgreesWithLargeBulkCopyAtEitherAlignment) {
  Bitmap bitmap;
  std::uint64_t start = (std::uint64_t{1} << 32) - 3'000'000;
  for (std::uint64_t length = 1; bitmap.cardinality() < 1'500'000; length = length % 19 + 1) {
    bitmap.set(start, start + length);
    start += length + 1 + length % 3;
  }
  bitmap.set((std::uint64_t{1} << 32) - 70'000, (std::uint64_t{1} << 32) + 70'000);
  const std::uint64_t last_container = (std::uint64_t{1} << 32) + (3 << 16);  // a bitset, decoded to the end
  for (std::uint64_t low = 0; low < (1 << 16); low += 3) bitmap.set(last_container + low);
  const Members walked = members_of(bitmap);
  const std::vector<std::uint64_t> expected(walked.begin(), walked.end());
  for (std::size_t shift : {0, 1}) {
    std::vector<std::uint64_t> bulk(expected.size() + 1);
    bitmap.copy_members(bulk.data() + shift, expected.size());
    EXPECT_TRUE(
        std::equal(expected.begin(), expected.end(), bulk.begin() + static_cast<std::ptrdiff_t>(shift)));
  }
}

// Every element is written, whatever the mask held: runs, arrays and whole bitsets, across a bucket
// edge, and the tail past the last member.
TEST(ForwardIterator, MarkMembersWritesTheWholeMask) {
  Bitmap bitmap;
  bitmap.set(SPAN - 3, SPAN + 2);
  bitmap.set(SPAN + 7);
  bitmap.set(SPAN + (2 << 16) + 9);
  bitmap.set(SPAN + (2 << 16) + 400);
  for (std::uint64_t low = 0; low < (1 << 16); low += 3) bitmap.set(SPAN + (5 << 16) + low);
  const std::uint64_t offset = SPAN - 3;
  const std::size_t length = static_cast<std::size_t>(*bitmap.last() - offset) + 5;
  for (const bool value : {true, false}) {
    const std::unique_ptr<bool[]> mask(new bool[length]);
    std::fill(mask.get(), mask.get() + length, value);
    bitmap.mark_members(mask.get(), length, offset, value);
    for (std::size_t i = 0; i < length; ++i) ASSERT_EQ(mask[i], bitmap.contains(offset + i) == value) << i;
  }
}

}  // namespace
}  // namespace quorvel::testing
