// Failed allocations, as SQLite tests them: for every operation that changes or builds a Bitmap, and
// for k = 1, 2, ..., the k-th allocation (CRoaring's, through its memory hook, or operator new's)
// fails, until the operation completes. After each failure the Bitmap must be exactly as before
// (bytes, members, buckets, modification stamp) and pass CRoaring's validation; under the
// sanitizers nothing may leak or be touched after it is freed. Likewise for a scan, whose
// windows two threads share: it throws std::bad_alloc or gives its result.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <iterator>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bitmap_model.hpp"
#include "scanner/memory_scanner.hpp"
#include "storage/allocation.hpp"

namespace {

// Allocations still allowed before the one that fails; negative when no failure is armed. Atomic:
// a scan allocates on two threads.
std::atomic<long> allowed_allocations{-1};
std::atomic<bool> failure_fired{false};

bool allocation_fails() noexcept {
  long left = allowed_allocations.load();
  while (left >= 0 && !allowed_allocations.compare_exchange_weak(left, left - 1)) {
  }
  if (left != 0) return false;
  // The failing one has left the count at -1: one failure per trial, and what follows (unwinding)
  // may allocate again.
  failure_fired = true;
  return true;
}

void* counted_new(std::size_t size) {
  if (allocation_fails()) throw std::bad_alloc();
  if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
  throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return counted_new(size); }
void* operator new[](std::size_t size) { return counted_new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocation_fails() ? nullptr : std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete[](void* block, const std::nothrow_t&) noexcept { std::free(block); }
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, std::size_t) noexcept { std::free(block); }
void operator delete[](void* block, std::size_t) noexcept { std::free(block); }

namespace quorvel::testing {
namespace {

using storage::RawAllocator;

const RawAllocator FAILING = {
    [](std::size_t size) { return allocation_fails() ? nullptr : std::malloc(size); },
    [](void* block, std::size_t size) { return allocation_fails() ? nullptr : std::realloc(block, size); },
    [](std::size_t count, std::size_t size) {
      return allocation_fails() ? nullptr : std::calloc(count, size);
    },
    std::free,
    [](std::size_t alignment, std::size_t size) -> void* {
      void* block = nullptr;
      return allocation_fails() || posix_memalign(&block, alignment, size) != 0 ? nullptr : block;
    },
    std::free};

constexpr std::uint64_t SPAN = std::uint64_t{1} << 32;
constexpr std::uint64_t CONTAINER = std::uint64_t{1} << 16;

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(const Bitmap& bitmap) {
  Bitmap sizer(bitmap);
  Bytes out(sizer.persisted_size(true, false, false));
  bitmap.write(out.data(), out.size(), true);
  return out;
}

bool valid(const Bitmap& bitmap) {
  for (const auto& [key, values] : bitmap.buckets()) {
    const char* reason = nullptr;
    if (!roaring_bitmap_internal_validate(values.get(), &reason)) return false;
  }
  return true;
}

// Containers of every kind at the edge of a conversion or a growth: arrays at capacity (shrunk),
// an array of 4,096 values, a bitset of 4,097, a run container at capacity, several buckets, an
// empty one, the last bucket, two containers that run optimisation replaces, and a bucket of many
// containers with staged (one of them at capacity) and emptied ones.
Bitmap edges() {
  Bitmap bitmap;
  for (std::uint64_t i = 0; i < 4096; ++i) bitmap.set(i * 3);              // array of 4096
  for (std::uint64_t i = 0; i < 4097; ++i) bitmap.set(CONTAINER + i * 2);  // bitset of 4097
  for (std::uint64_t i = 0; i < 40; ++i) bitmap.set(2 * CONTAINER + i * 100, 2 * CONTAINER + i * 100 + 70);
  for (std::uint64_t i = 0; i < 9; ++i) bitmap.set(SPAN + 5 * i);  // small array
  bitmap.set(3 * SPAN + 7);
  bitmap.unset(3 * SPAN + 7);  // empty bucket 3
  bitmap.set(MAX_POSITION - 1);
  bitmap.persisted_size(true, true, true);                            // run containers, every capacity tight
  for (std::uint64_t i = 0; i < 5000; ++i) bitmap.set(5 * SPAN + i);  // bitset of one run
  for (std::uint64_t i = 0; i < 100; ++i) bitmap.set(5 * SPAN + CONTAINER + i);          // array of one run
  for (std::uint64_t i = 0; i < 200; ++i) bitmap.set(6 * SPAN + 2 * i * CONTAINER);      // many containers...
  for (std::uint64_t i = 0; i < 5; ++i) bitmap.set(6 * SPAN + (2 * i + 1) * CONTAINER);  // ...staged ones,
  for (std::uint64_t i = 1; i < 4; ++i) bitmap.set(6 * SPAN + 3 * CONTAINER + 8 * i);    // one of them full
  for (std::uint64_t i = 0; i < 3; ++i) bitmap.unset(6 * SPAN + 4 * i * CONTAINER);      // ...emptied ones
  return bitmap;
}

Bitmap sparse_other() {
  Bitmap bitmap;
  const std::uint64_t values[] = {1,        4,        CONTAINER + 1, 5 * CONTAINER,
                                  SPAN + 5, SPAN + 6, 2 * SPAN,      MAX_POSITION};
  bitmap.add_many(values, std::size(values));
  return bitmap;
}

std::vector<std::uint64_t> positions(std::uint64_t first, std::uint64_t step, std::size_t count,
                                     bool shuffled) {
  std::vector<std::uint64_t> values(count);
  for (std::size_t i = 0; i < count; ++i) values[i] = first + step * (shuffled ? (i * 7919) % count : i);
  return values;
}

struct Operation {
  std::string name;
  std::function<void(Bitmap&)> change;
};

// A member for the bitset of bucket 5 of edges(), changed where it lies, and two that need
// buckets built aside.
Bitmap bitset_and_sparse_other() {
  Bitmap bitmap;
  const std::uint64_t values[] = {SPAN + 5, 5 * SPAN + 7000, 7 * SPAN};
  bitmap.add_many(values, std::size(values));
  return bitmap;
}

// Members for two of the many containers of bucket 6 of edges() (one of them emptied by a symmetric
// difference) and for a new one, which in-place forms build alone aside, and one for a new bucket.
Bitmap few_containers_other() {
  Bitmap bitmap;
  const std::uint64_t values[] = {6 * SPAN + 10 * CONTAINER + 9, 6 * SPAN + 12 * CONTAINER,
                                  6 * SPAN + 401 * CONTAINER + 3, 8 * SPAN + 1};
  bitmap.add_many(values, std::size(values));
  return bitmap;
}

// An in-place form as the Python surface calls it, giving a copy of the changed Bitmap, which must
// equal it. Members are compared at once (that allocates nothing, so an armed failure cannot fire
// in the check); the bytes too, when no failure is armed.
template <Bitmap& (Bitmap::*Change)(const Bitmap&, Bitmap*)>
void change_giving_copy(Bitmap& b, const Bitmap& other) {
  Bitmap copy;
  (b.*Change)(other, &copy);
  EXPECT_TRUE(copy == b);
  if (allowed_allocations < 0) {
    EXPECT_EQ(bytes_of(copy), bytes_of(b));
  }
}

std::vector<Operation> operations() {
  const Bitmap other = sparse_other();
  const Bitmap bitset_other = bitset_and_sparse_other();
  const Bitmap few_other = few_containers_other();
  const auto sorted = positions(2 * SPAN + 3, 9, 3000, false);
  const auto unsorted = positions(SPAN - 5000, 37, 6000, true);
  const auto dense = positions(4 * SPAN, 1, 5000, false);
  std::vector<Operation> list = {
      {"set into a full array", [](Bitmap& b) { b.set(SPAN + 2); }},
      {"set staging a container", [](Bitmap& b) { b.set(6 * SPAN + 21 * CONTAINER + 4); }},
      {"set into a staged container", [](Bitmap& b) { b.set(6 * SPAN + 3 * CONTAINER + 4); }},
      {"unset range over staged containers",
       [](Bitmap& b) { b.unset(6 * SPAN + 3, 6 * SPAN + 6 * CONTAINER + 2); }},
      {"set range over staged containers",
       [](Bitmap& b) { b.set(6 * SPAN + 7, 6 * SPAN + 8 * CONTAINER + 9); }},
      {"set into an array of 4096", [](Bitmap& b) { b.set(1); }},
      {"set opening a container", [](Bitmap& b) { b.set(9 * CONTAINER + 1); }},
      {"set opening a bucket", [](Bitmap& b) { b.set(7 * SPAN + 1); }},
      {"set into an empty bucket", [](Bitmap& b) { b.set(3 * SPAN + 1); }},
      {"unset from a bitset of 4097", [](Bitmap& b) { b.unset(CONTAINER + 2); }},
      {"unset splitting a run", [](Bitmap& b) { b.unset(2 * CONTAINER + 30); }},
      {"flip off", [](Bitmap& b) { b.flip(CONTAINER + 4); }},
      {"flip on", [](Bitmap& b) { b.flip(2 * CONTAINER + 80); }},
      {"flip opening a bucket", [](Bitmap& b) { b.flip(MAX_POSITION - SPAN); }},
      {"set range in a container", [](Bitmap& b) { b.set(2 * CONTAINER + 75, 2 * CONTAINER + 95); }},
      {"set range across containers", [](Bitmap& b) { b.set(100, 3 * CONTAINER + 5); }},
      {"set range across buckets", [](Bitmap& b) { b.set(SPAN - 3, 3 * SPAN + 9); }},
      {"unset range across containers", [](Bitmap& b) { b.unset(5, 2 * CONTAINER + 150); }},
      {"unset range across buckets", [](Bitmap& b) { b.unset(CONTAINER, MAX_POSITION); }},
      {"flip range across containers", [](Bitmap& b) { b.flip(CONTAINER - 7, 2 * CONTAINER + 333); }},
      {"flip range across buckets", [](Bitmap& b) { b.flip(SPAN - 2, 2 * SPAN + 2); }},
      {"union", [other](Bitmap& b) { b.inplace_union(other); }},
      {"intersection", [other](Bitmap& b) { b.inplace_intersect(other); }},
      {"difference", [other](Bitmap& b) { b.inplace_difference(other); }},
      {"symmetric difference", [other](Bitmap& b) { b.inplace_symmetric_difference(other); }},
      {"union into a bitset where it lies", [bitset_other](Bitmap& b) { b.inplace_union(bitset_other); }},
      {"union changing few containers", [few_other](Bitmap& b) { b.inplace_union(few_other); }},
      {"symmetric difference changing few containers",
       [few_other](Bitmap& b) { b.inplace_symmetric_difference(few_other); }},
      {"union giving a copy", [other](Bitmap& b) { change_giving_copy<&Bitmap::inplace_union>(b, other); }},
      {"intersection giving a copy",
       [other](Bitmap& b) { change_giving_copy<&Bitmap::inplace_intersect>(b, other); }},
      {"difference giving a copy",
       [other](Bitmap& b) { change_giving_copy<&Bitmap::inplace_difference>(b, other); }},
      {"union into a bitset where it lies, giving a copy",
       [bitset_other](Bitmap& b) { change_giving_copy<&Bitmap::inplace_union>(b, bitset_other); }},
      {"symmetric difference changing few containers, giving a copy",
       [few_other](Bitmap& b) { change_giving_copy<&Bitmap::inplace_symmetric_difference>(b, few_other); }},
      {"union with itself giving a copy",
       [](Bitmap& b) { change_giving_copy<&Bitmap::inplace_union>(b, b); }},
      {"difference with itself giving a copy",
       [](Bitmap& b) { change_giving_copy<&Bitmap::inplace_difference>(b, b); }},
      {"contract", [](Bitmap& b) { b.contract(3 * SPAN + 100, 2 * SPAN + 50); }},
      {"expand", [](Bitmap& b) { b.expand(CONTAINER + 10, 1); }},
      {"add_many sorted", [sorted](Bitmap& b) { b.add_many(sorted.data(), sorted.size()); }},
      {"add_many unsorted", [unsorted](Bitmap& b) { b.add_many(unsorted.data(), unsorted.size()); }},
      {"add_many runs", [dense](Bitmap& b) { b.add_many(dense.data(), dense.size()); }},
      {"persisted_size optimising", [](Bitmap& b) { b.persisted_size(true, true, true); }},
      {"copy assignment", [other](Bitmap& b) { b = other; }},
      {"read",
       [other](Bitmap& b) {
         const Bytes form = bytes_of(other);
         b = Bitmap::read(form.data(), form.size(), true);
       }},
      {"slice", [](Bitmap& b) { b = b.slice(CONTAINER, SPAN + 20); }},
      {"new union", [other](Bitmap& b) { b = b | other; }},
  };
  return list;
}

// Runs `change` on a copy of `original` with the k-th allocation failing; returns whether the
// failure was reached (false: the operation needs fewer than k allocations).
bool trial(const Bitmap& original, const Operation& operation, const Bitmap& expected, long k) {
  Bitmap target(original);
  const Bytes before = bytes_of(target);
  const std::uint64_t stamp = target.modification_stamp();
  bool completed = false;
  failure_fired = false;
  storage::use_raw_allocator(FAILING);
  allowed_allocations = k - 1;
  try {
    operation.change(target);
    completed = true;
  } catch (const std::bad_alloc&) {
  } catch (const std::runtime_error& copy_failure) {  // the messages of a failed bucket copy
    const std::string what = copy_failure.what();
    EXPECT_TRUE(what == "failed roaring_bitmap_overwrite in constructor" ||
                what == "failed memory alloc in assignment")
        << operation.name << ", k = " << k << ": " << what;
  }
  allowed_allocations = -1;
  storage::use_raw_allocator(storage::standard_allocator());
  EXPECT_TRUE(valid(target)) << operation.name << ", k = " << k;
  if (completed) {
    EXPECT_TRUE(target == expected) << operation.name << ", k = " << k;
    EXPECT_EQ(keys_of(target), keys_of(expected)) << operation.name << ", k = " << k;
  } else {
    EXPECT_EQ(bytes_of(target), before) << operation.name << ", k = " << k;
    EXPECT_EQ(target.modification_stamp(), stamp) << operation.name << ", k = " << k;
  }
  return failure_fired;
}

TEST(AllocationFailures, EveryChangeCompletesOrLeavesTheBitmapAsItWas) {
  // Every k up to EVERY_K; past it (a whole bucket takes 65,536 containers) k grows by an eighth.
  // The count of allocations is not fixed (a block that malloc made larger may absorb a growth), so
  // the walk ends at the first k that the operation completes without reaching.
  constexpr long EVERY_K = 3000;
  const Bitmap original = edges();
  long pairs = 0;
  for (const Operation& operation : operations()) {
    Bitmap expected(original);
    operation.change(expected);
    long k = 1;
    while (trial(original, operation, expected, k) && !::testing::Test::HasFailure()) {
      ++pairs;
      k += k < EVERY_K ? 1 : k / 8;
    }
    EXPECT_GT(k, 1) << operation.name << " allocated nothing";
  }
  std::printf("allocation failures tried: %ld (operation, k) pairs\n", pairs);
}

// Windows of 64 bytes: the helping thread's start, either thread's parser and padded copy all
// allocate within the first few dozen allocations of a fresh scanner, counted over both threads.
TEST(AllocationFailures, EveryScanCompletesOrThrows) {
  std::string input;
  for (int i = 0; i < 40; ++i) input += "{\"id\":" + std::to_string(i) + ",\"tags\":[\"x\",\"y\"]}\n";
  const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
  const MemoryScanner::Result expected = MemoryScanner().scan(data, input.size());
  long k = 1;
  for (bool fired = true; fired && !::testing::Test::HasFailure(); ++k) {
    MemoryScanner scanner(64);
    failure_fired = false;
    allowed_allocations = k - 1;
    try {
      const MemoryScanner::Result result = scanner.scan(data, input.size());
      EXPECT_EQ(result.documents, expected.documents) << "k = " << k;
      EXPECT_EQ(result.consumed, expected.consumed) << "k = " << k;
    } catch (const std::bad_alloc&) {
    }
    allowed_allocations = -1;
    fired = failure_fired;
  }
  EXPECT_GT(k, 3) << "the scan allocated too little to reach its second thread";
  std::printf("scan allocation failures tried: %ld\n", k - 1);
}

// A thread's scopes keep their record lists between operations, and a thread keeps the blocks of
// the bitsets it freed; both go with the thread.
std::atomic<long> live_raw_blocks{0};

void* counted(void* block) {
  if (block != nullptr) ++live_raw_blocks;
  return block;
}

void uncounted(void* block) {
  if (block != nullptr) --live_raw_blocks;
  std::free(block);
}

TEST(AllocationScopes, AThreadsRecordsAreFreedWhenItEnds) {
  const RawAllocator counting = {
      [](std::size_t size) { return counted(std::malloc(size)); },
      [](void* block, std::size_t size) {
        void* moved = std::realloc(block, size);
        return block == nullptr ? counted(moved) : moved;
      },
      [](std::size_t count, std::size_t size) { return counted(std::calloc(count, size)); },
      uncounted,
      [](std::size_t alignment, std::size_t size) -> void* {
        void* block = nullptr;
        return posix_memalign(&block, alignment, size) == 0 ? counted(block) : nullptr;
      },
      uncounted};
  storage::use_raw_allocator(counting);
  std::thread([] {
    Bitmap bitmap;
    for (std::uint64_t position = 0; position < 100; ++position) bitmap.set(position << 20);
    for (std::uint64_t position = 0; position < 20000; position += 2) bitmap.set(position);  // a bitset
  }).join();
  storage::use_raw_allocator(storage::standard_allocator());
  EXPECT_EQ(live_raw_blocks.load(), 0);
}

}  // namespace
}  // namespace quorvel::testing
