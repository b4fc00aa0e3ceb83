// Bulk interchange: adding many positions at once and exporting all members.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "allocation.hpp"
#include "bitmap.hpp"
#include "member_export.hpp"
#include "position_sort.hpp"
#include "sparse_bucket.hpp"

namespace quorvel::storage {

namespace {

using Buckets = Bitmap::Buckets;

// A run of at least RANGE_RUN_LENGTH consecutive positions is added as one range, which CRoaring
// keeps as a run container where that is the compact form, so later operations on it touch runs,
// not bits. `bucket` belongs to the caller's AllocationScope.
//
// Runs are found without a test per value: a run that long covers some stretch [at, at + PROBE] of
// any grid of step PROBE, and a stretch whose values span more than PROBE holds no run across it,
// so only stretches that pass that test are walked (out to their run's ends).
constexpr std::size_t PROBE = 32;
static_assert(2 * PROBE <= RANGE_RUN_LENGTH, "a long run must cover a whole stretch of every grid");

void add_to_bucket(Roaring32& bucket, const std::uint64_t* values, std::size_t count) {
  roaring_bitmap_t* target = bucket.get();
  roaring_bulk_context_t context{};
  std::size_t single = 0;  // values from here to the next long run are added one by one
  for (std::size_t at = 0; at < count;) {
    if (count - at > PROBE && values[at + PROBE] - values[at] > PROBE) {
      at += PROBE;
      continue;
    }
    // [run, run_end): the run through `at`, steps of at most 1 (duplicates allowed). Runs end where
    // `single` starts, so the walk back stops there at the latest.
    std::size_t run = at;
    while (run > single && continues_run(values[run - 1], values[run])) --run;
    std::size_t run_end = at + 1;
    while (run_end < count && continues_run(values[run_end - 1], values[run_end])) ++run_end;
    if (run_end - run >= RANGE_RUN_LENGTH) {
      add_each(*target, context, values + single, run - single);
      roaring_bitmap_add_range_closed(target, low_bits(values[run]), low_bits(values[run_end - 1]));
      context = roaring_bulk_context_t{};  // the range may have replaced the cached container
      single = run_end;
    }
    at = run_end;
  }
  add_each(*target, context, values + single, count - single);
}

// Builds new contents for the buckets of a non-decreasing stream of positions that arrives in
// pieces, aside from the Bitmap. Each bucket is built inside its own AllocationScope, from a copy
// of its present contents; one that may be sparse collects its values and is built in one step
// (sparse_bucket), any other takes them as they come. Adding in key order keeps each CRoaring
// insertion at the end of its bucket instead of shifting containers.
class BucketBuilder {
 public:
  explicit BucketBuilder(const Buckets& present) : present_(present) {}

  // `values` are non-decreasing and not below the values of the pass so far.
  void add(const std::uint64_t* values, std::size_t count) {
    for (std::size_t begin = 0; begin < count;) {
      const std::uint32_t key = high_bits(values[begin]);
      std::size_t end = begin + 1;
      while (end < count && high_bits(values[end]) == key) ++end;
      if (!scope_ || key != key_) start(key);
      take(values + begin, end - begin);
      begin = end;
    }
  }

  // Ends a pass: the next values may start below the last ones again.
  void end_pass() { finish(); }

  Buckets built() && {
    finish();
    return std::move(built_);
  }

 private:
  // The bucket's contents so far: built in an earlier pass, or the Bitmap's own.
  const Roaring32* base(std::uint32_t key) const {
    const auto done = built_.find(key);
    if (done != built_.end()) return &done->second;
    const auto present = present_.find(key);
    return present != present_.end() && !present->second.empty() ? &present->second : nullptr;
  }

  void start(std::uint32_t key) {
    finish();
    scope_.emplace();
    key_ = key;
    const Roaring32* before = base(key);
    bucket_ = before != nullptr ? Roaring32(*before) : Roaring32();
    streaming_ = before != nullptr;
  }

  void take(const std::uint64_t* values, std::size_t count) {
    if (streaming_) return add_piece(values, count);
    pending_.insert(pending_.end(), values, values + count);
    if (!shape_.take(values, count)) {
      add_piece(pending_.data(), pending_.size());
      drop_pending();
      streaming_ = true;
    }
  }

  // Adds the open bucket's next values, but for a run still open at their end and shorter than
  // RANGE_RUN_LENGTH, which waits in open_run_ for the values that follow: a run cut by the edge of
  // a block is then added as one range, exactly as in one piece (else its first part would open an
  // array container that the range could not turn into a run container).
  void add_piece(const std::uint64_t* values, std::size_t count) {
    if (!open_run_.empty()) {
      std::size_t joined = 0;  // leading values that continue the open run, up to a long run's length
      while (joined < count && joined < RANGE_RUN_LENGTH &&
             continues_run(joined == 0 ? open_run_.back() : values[joined - 1], values[joined])) {
        ++joined;
      }
      open_run_.insert(open_run_.end(), values, values + joined);
      values += joined;
      count -= joined;
      if (count == 0 && open_run_.size() < RANGE_RUN_LENGTH) return;
      add_open_run();
    }
    std::size_t open = count;  // where a short run open at the end starts
    while (open > 0 && count - open < RANGE_RUN_LENGTH &&
           (open == count || continues_run(values[open - 1], values[open]))) {
      --open;
    }
    if (count - open >= RANGE_RUN_LENGTH) open = count;  // a long run: added now
    add_to_bucket(bucket_, values, open);
    open_run_.assign(values + open, values + count);
  }

  // pending_ and shape_ change together, so that sparse_bucket gets the shape of its values.
  void drop_pending() noexcept {
    pending_.clear();
    shape_ = SparseShape();
  }

  void add_open_run() {
    add_to_bucket(bucket_, open_run_.data(), open_run_.size());
    open_run_.clear();
  }

  void finish() {
    if (!scope_) return;
    add_open_run();
    if (!pending_.empty()) {
      bucket_ = sparse_bucket(pending_.data(), pending_.size(), shape_, image_);
      drop_pending();
    }
    scope_->commit();
    scope_.reset();
    Roaring32 done = std::move(bucket_);
    built_.insert_or_assign(key_, std::move(done));
  }

  const Buckets& present_;
  Buckets built_;
  std::vector<std::uint64_t> pending_;   // values of a bucket that may still be sparse
  SparseShape shape_;                    // of pending_
  std::vector<std::uint64_t> open_run_;  // a short run at the end of the values streamed so far
  std::vector<unsigned char> image_;     // scratch of sparse_bucket
  std::uint32_t key_ = 0;
  bool streaming_ = false;
  // The open bucket's scope, and the bucket it builds (declared after it: destroyed first).
  std::optional<AllocationScope> scope_;
  Roaring32 bucket_;
};

}  // namespace

// Reads each of the caller's values exactly once, a block at a time into memory of our own:
// another thread may be changing them, and every later pass works on the copy. Sorted input is
// built block by block; once a block breaks the order, the rest is copied whole and sorted.
void Bitmap::add_many(const std::uint64_t* values, std::size_t count) {
  constexpr std::size_t BLOCK = std::size_t{1} << 15;  // values: 256 KiB, kept in cache
  BucketBuilder builder(buckets_);
  std::vector<std::uint64_t> block(std::min(BLOCK, count));
  std::uint64_t floor = 0;
  std::size_t done = 0;
  std::size_t taken = 0;
  while (done < count) {
    taken = std::min(BLOCK, count - done);
    std::memcpy(block.data(), values + done, taken * sizeof *values);
    if (block[0] < floor || !is_sorted(block.data(), taken)) break;
    builder.add(block.data(), taken);
    floor = block[taken - 1];
    done += taken;
  }
  if (done < count) {
    std::vector<std::uint64_t> rest(count - done);
    std::memcpy(rest.data(), block.data(), taken * sizeof *values);
    std::memcpy(rest.data() + taken, values + done + taken, (count - done - taken) * sizeof *values);
    sort_positions(rest);
    builder.end_pass();
    builder.add(rest.data(), rest.size());
  }
  Buckets built = std::move(builder).built();
  install(built);
  note_change();
}

// Container by container (member_export.hpp). With an output of 8 MiB or more, long runs are
// streamed past the cache.
void Bitmap::copy_members(std::uint64_t* out, std::uint64_t count) const noexcept {
  constexpr std::uint64_t STREAMED_FROM = std::uint64_t{1} << 20;
  const bool streaming = count >= STREAMED_FROM;
  std::uint64_t* const end = out + count;
  for (const auto& [key, values] : buckets_)
    out = export_members(*values.get(), join_bits(key, 0), out, end, streaming);
  if (streaming) finish_streaming();
}

void Bitmap::mark_members(bool* mask, std::uint64_t length, std::uint64_t offset, bool value) const noexcept {
  std::uint64_t filled = 0;
  for (const auto& [key, values] : buckets_) {
    filled = storage::mark_members(*values.get(), mask, length, join_bits(key, 0) - offset, filled, value);
  }
  std::memset(mask + filled, !value, length - filled);
}

}  // namespace quorvel::storage
