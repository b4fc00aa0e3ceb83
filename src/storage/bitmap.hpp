// Bitmap: a compressed set of unsigned 64-bit positions, kept as an ordered map from the high
// 32 bits of a position (the bucket key) to a CRoaring 32-bit bitmap of the low 32 bits.
//
// Conventions used throughout:
//  - hi(p) = p >> 32 is the bucket key, lo(p) = p & 0xFFFFFFFF the value stored in the bucket.
//  - Ranges named `end_ex` are half-open [start, end_ex); `slice` treats its end the same way.
//  - A bucket may be present and empty. Empty buckets never change the member set; they are
//    visible only in the persisted form (comparisons, `subset_of` included, ignore them).
//  - Failures are standard exceptions whose class decides the Python exception at the edge. An
//    operation that throws (std::bad_alloc included) leaves the Bitmap exactly as it was: changes
//    are built aside and put in place by steps that cannot fail (allocation.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>

#include "bucket_directory.hpp"
#include "rank_index.hpp"
#include "roaring32.hpp"

namespace quorvel::storage {

inline constexpr std::uint64_t BUCKET_SPAN = std::uint64_t{1} << 32;  // low values per bucket

inline constexpr std::uint32_t high_bits(std::uint64_t position) noexcept {
  return static_cast<std::uint32_t>(position >> 32);
}
inline constexpr std::uint32_t low_bits(std::uint64_t position) noexcept {
  return static_cast<std::uint32_t>(position);
}
inline constexpr std::uint64_t join_bits(std::uint32_t key, std::uint32_t low) noexcept {
  return (static_cast<std::uint64_t>(key) << 32) | low;
}

class Bitmap {
 public:
  using Buckets = std::map<std::uint32_t, Roaring32>;

  // Walks the members in ascending order over the live buckets of one Bitmap (no copy, no
  // ownership). Any change of the Bitmap invalidates it: check `modification_stamp()` first.
  struct BitmapForwardIterator {
    Buckets::const_iterator bucket;
    Buckets::const_iterator bucket_end;
    roaring_uint32_iterator_t values;

    std::uint64_t operator*() const noexcept { return join_bits(bucket->first, values.current_value); }
    BitmapForwardIterator& operator++() noexcept;
    bool operator==(const BitmapForwardIterator& other) const noexcept;
    bool operator!=(const BitmapForwardIterator& other) const noexcept { return !(*this == other); }

    // Copies up to `capacity` members, ascending, into `out` and moves past them; returns how
    // many were copied (fewer than `capacity` only at the end).
    std::size_t read(std::uint64_t* out, std::size_t capacity) noexcept;

   private:
    friend class Bitmap;
    void settle() noexcept;  // skips empty buckets until a value or the end is reached
  };

  Bitmap();  // holds exactly one bucket: key 0, empty
  Bitmap(const Bitmap&) = default;
  Bitmap(Bitmap&& other) noexcept;
  Bitmap& operator=(const Bitmap& other);
  Bitmap& operator=(Bitmap&& other) noexcept;
  ~Bitmap() = default;

  // --- element operations and whole-set queries ---
  void set(std::uint64_t position);
  void unset(std::uint64_t position);
  void flip(std::uint64_t position);
  bool contains(std::uint64_t position) const noexcept;
  std::uint64_t cardinality() const;  // std::length_error when all 2^64 positions are members
  bool empty() const noexcept;
  std::optional<std::uint64_t> first() const noexcept;
  std::optional<std::uint64_t> last() const noexcept;
  std::uint64_t in_memory_size() const noexcept;  // CRoaring containers, not bytes

  // --- ranges [start, end_ex) ---
  void set(std::uint64_t start, std::uint64_t end_ex);
  void unset(std::uint64_t start, std::uint64_t end_ex);
  void flip(std::uint64_t start, std::uint64_t end_ex);  // std::runtime_error unless start < end_ex
  bool all(std::uint64_t start, std::uint64_t end_ex) const noexcept;  // true for an empty range
  bool any(std::uint64_t start, std::uint64_t end_ex) const noexcept;

  // --- rank and select ---
  std::uint64_t lower_cardinality(std::uint64_t position) const noexcept;  // members < position
  std::uint64_t upper_cardinality(std::uint64_t position) const noexcept;  // members > position
  std::uint64_t nth(std::uint64_t ordinal) const;  // 0-based; std::runtime_error past the end
  // Searches; like every query they read only (no bucket is created, the stamp is kept).
  std::optional<std::uint64_t> self_or_next(
      std::uint64_t position) const noexcept;  // smallest member >= position
  std::optional<std::uint64_t> self_or_previous(
      std::uint64_t position) const noexcept;  // largest member <= position

  // --- set algebra; each returns *this. Given a `copy`, an in-place form also makes it a deep copy
  // of the changed Bitmap, as the Python surface returns; the copy is made before this Bitmap
  // changes, so that a failure leaves both as they were ---
  Bitmap& inplace_union(const Bitmap& other, Bitmap* copy = nullptr);
  Bitmap& inplace_intersect(const Bitmap& other, Bitmap* copy = nullptr);
  Bitmap& inplace_difference(const Bitmap& other, Bitmap* copy = nullptr);
  Bitmap& inplace_symmetric_difference(const Bitmap& other, Bitmap* copy = nullptr);
  bool operator==(const Bitmap& other) const noexcept;  // equality of the member sets
  bool operator!=(const Bitmap& other) const noexcept { return !(*this == other); }
  bool subset_of(const Bitmap& other) const noexcept;
  bool strict_subset_of(const Bitmap& other) const;

  // --- windows ---
  Bitmap slice(std::uint64_t start, std::uint64_t end_ex) const;  // members keep their positions
  void contract(std::uint64_t position, std::uint64_t by);        // deletes (position - by, position]
  void expand(std::uint64_t position, std::uint64_t by);          // frees [position, position + by)

  // --- persisted form (layout in persisted_form.hpp) ---
  std::uint64_t persisted_size(bool portable, bool optimize, bool shrink);
  std::size_t write(std::uint8_t* out, std::size_t capacity, bool portable) const;
  // Whether the bytes given to read may change while it runs (a caller's buffer that another thread
  // writes): each payload is then copied once and decoded from the copy, so that what is checked is
  // what is decoded. IMMUTABLE bytes (a Python bytes object) are decoded where they lie.
  enum class Input { MAY_CHANGE, IMMUTABLE };
  static Bitmap read(const std::uint8_t* data, std::size_t size, bool portable,
                     Input input = Input::MAY_CHANGE);

  // --- bulk interchange ---
  void add_many(const std::uint64_t* values, std::size_t count);  // any order, duplicates allowed
  // Writes all members ascending; `count` is cardinality(), which the caller sized `out` by.
  void copy_members(std::uint64_t* out, std::uint64_t count) const noexcept;
  // Writes the whole mask of `length` elements, which cover every member: mask[m - offset] = value
  // for every member m, !value elsewhere. Most elements are written once, so the mask needs no
  // filling beforehand.
  void mark_members(bool* mask, std::uint64_t length, std::uint64_t offset, bool value) const noexcept;

  BitmapForwardIterator begin() const noexcept;
  BitmapForwardIterator end() const noexcept;

  // Changes with every operation that may change members or bucket contents; iterators made
  // under one stamp must not be used under another, and the caches below hold under one stamp.
  std::uint64_t modification_stamp() const noexcept { return modifications_; }

  const Buckets& buckets() const noexcept { return buckets_; }

 private:
  // Takes over `buckets` as they are (the new-object set operations build them directly).
  explicit Bitmap(Buckets&& buckets) noexcept;
  friend Bitmap operator|(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator&(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator-(const Bitmap& a, const Bitmap& b);
  friend Bitmap operator^(const Bitmap& a, const Bitmap& b);

  const Roaring32* find_bucket(std::uint32_t key) const noexcept;
  Roaring32* find_bucket(std::uint32_t key) noexcept;
  // Puts the buckets of `changed` in place: the contents of a present key are swapped in (the old
  // ones end in `changed`), the nodes of new keys move over. Cannot fail.
  void install(Buckets& changed) noexcept;
  // The in-place form of a set operation (bitmap_algebra.cpp, the only user).
  template <class Operation>
  void change_by(const Bitmap& other, const Operation& op, Bitmap* copy);
  // a - a and a ^ a: every bucket emptied, every key kept.
  void empty_buckets(Bitmap* copy);
  // Changes bucket hi(position), creating it with the change when absent.
  template <void (Roaring32::*Change)(std::uint32_t)>
  void change_or_create(std::uint64_t position);
  enum class RangeChange { ADD, REMOVE, FLIP };
  // The range forms: every touched bucket's new containers are built first, then all are put in
  // place together. ADD and FLIP create every bucket from hi(start) to hi(end_ex).
  void change_range(std::uint64_t start, std::uint64_t end_ex, RangeChange change);
  void note_change() noexcept { ++modifications_; }
  // For a change of bucket contents only (no bucket added or removed): the directory stays valid.
  void note_change_within_buckets() noexcept {
    directory_.carry(modifications_, modifications_ + 1);
    ++modifications_;
  }
  // The size of the persisted form with the buckets as they are now, cached until the next change.
  std::uint64_t form_size(bool portable) const noexcept;

  // A value computed under the modification stamp `stamp`; valid while the stamp is unchanged.
  struct Stamped {
    static constexpr std::uint64_t NEVER = ~std::uint64_t{0};
    std::uint64_t stamp = NEVER;
    std::uint64_t value = 0;
  };

  Buckets buckets_;
  std::uint64_t modifications_ = 0;
  // Caches tied to the stamp: the cardinality, the bucket directory, the rank index, the persisted sizes
  // (native, portable), and the stamps at which persisted_size last run-optimised and shrank every bucket.
  mutable Stamped cardinality_;
  mutable BucketDirectory directory_;  // for find_bucket
  mutable RankIndex ranks_;            // for rank and select
  mutable Stamped form_sizes_[2];
  std::uint64_t optimized_at_ = Stamped::NEVER;
  std::uint64_t shrunk_at_ = Stamped::NEVER;
};

// Inline, as the per-call entries' first step: with a built directory, contains() makes one call,
// Roaring32's test.
inline const Roaring32* Bitmap::find_bucket(std::uint32_t key) const noexcept {
  return directory_.find(buckets_, key, modifications_);
}

inline bool Bitmap::contains(std::uint64_t position) const noexcept {
  const Roaring32* values = find_bucket(high_bits(position));
  return values != nullptr && values->contains(low_bits(position));
}

// New-object set operations: `a op b` holds the members and buckets that a deep copy of `a`
// changed in place by `b` would hold.
Bitmap operator|(const Bitmap& a, const Bitmap& b);
Bitmap operator&(const Bitmap& a, const Bitmap& b);
Bitmap operator-(const Bitmap& a, const Bitmap& b);
Bitmap operator^(const Bitmap& a, const Bitmap& b);

}  // namespace quorvel::storage
