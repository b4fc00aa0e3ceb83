// Roaring32: owns one CRoaring 32-bit bitmap (a bucket of Bitmap) with value semantics. Its changes
// either complete or leave the bucket exactly as it was (std::bad_alloc included).
#pragma once

#include <roaring/roaring.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorvel::storage {

class Roaring32 {
 public:
  // New containers for the 16-bit keys [first_key, last_key] of a bucket, built aside by one of the
  // prepare_* functions and put in place by apply().
  struct Change;
  // The container index of a bucket, kept so that run optimisation can be undone.
  struct Layout {
    std::vector<void*> containers;
    std::vector<std::uint8_t> kinds;
  };

  Roaring32() noexcept {
    roaring_bitmap_init_cleared(&bitmap_);
    roaring_bitmap_init_cleared(&staged_);
  }

  // Takes over a heap bitmap returned by CRoaring (offsets, decoders), inside an AllocationScope;
  // null (what a decoder returns for a failed allocation) is reported as std::bad_alloc.
  static Roaring32 adopt(roaring_bitmap_t* owned);

  // Deep copies; CRoaring's copy-on-write flag travels with the contents (it is never switched on).
  Roaring32(const Roaring32& other);  // std::runtime_error "failed roaring_bitmap_overwrite in constructor"
  Roaring32& operator=(const Roaring32& other);  // std::runtime_error "failed memory alloc in assignment"
  Roaring32(Roaring32&& other) noexcept;
  Roaring32& operator=(Roaring32&& other) noexcept;
  ~Roaring32();
  void swap(Roaring32& other) noexcept;

  // Raw access to the bucket settled (see the data members): read-only use, or changes to a bucket
  // that an AllocationScope is building.
  roaring_bitmap_t* get() noexcept {
    settle();
    return &bitmap_;
  }
  const roaring_bitmap_t* get() const noexcept {
    settle();
    return &bitmap_;
  }

  bool empty() const noexcept {
    return roaring_bitmap_is_empty(emptied_ != 0 ? get() : &bitmap_) && roaring_bitmap_is_empty(&staged_);
  }
  std::uint64_t cardinality() const noexcept {
    return roaring_bitmap_get_cardinality(&bitmap_) + roaring_bitmap_get_cardinality(&staged_);
  }
  // Containers left empty or staged do not change the answers of contains and cardinality.
  bool contains(std::uint32_t value) const noexcept;
  std::uint32_t minimum() const noexcept { return roaring_bitmap_minimum(get()); }
  std::uint32_t maximum() const noexcept { return roaring_bitmap_maximum(get()); }
  // A copy of the members whose low values lie in [begin, end), begin < end <= 2^32: only the
  // containers of those keys are read, so a narrow window of a large bucket costs little.
  Roaring32 members_between(std::uint64_t begin, std::uint64_t end) const;
  // Number of CRoaring containers (one per distinct upper 16 bits of the members).
  std::uint64_t container_count() const noexcept {
    return static_cast<std::uint64_t>(get()->high_low_container.size);
  }

  // --- element changes: complete, or no change ---
  void add(std::uint32_t value);
  void remove(std::uint32_t value);
  void flip(std::uint32_t value);

  // --- changes of the low values [begin, end), begin < end <= 2^32, in three steps so that several
  // buckets change together or not at all:
  //  1. reserve_range(begin, end): room in the container index for what the change may add (a change
  //     of capacity only, kept when a later step fails; needed before prepare_add and prepare_flip);
  //  2. prepare_*(begin, end), inside an AllocationScope: the new containers, built aside;
  //  3. apply(change), after the scope commits: cannot fail.
  void reserve_range(std::uint64_t begin, std::uint64_t end);
  Change prepare_add(std::uint64_t begin, std::uint64_t end) const;
  Change prepare_remove(std::uint64_t begin, std::uint64_t end) const;
  Change prepare_flip(std::uint64_t begin, std::uint64_t end) const;
  void apply(Change&& change) noexcept;

  // --- run optimisation: optimize_runs() inside an AllocationScope that expects container_count()
  // outside releases; restore(layout()) taken before undoes it exactly until the scope commits ---
  Layout layout() const;
  void optimize_runs();
  void restore(const Layout& before) noexcept;
  // Releases spare capacity where that succeeds; never fails, never changes members.
  void shrink() noexcept;

  // --- set algebra where the bucket lies: when combines_in_place(other, op) holds (it allocates
  // nothing), combine_in_place(other, op) cannot fail and leaves the bucket as CRoaring's new-bitmap
  // op (roaring_bitmap_or, _and, _andnot, _xor) would build it, container kinds included: every
  // container `other` changes is a bitset of ours that stays one, or an array of ours that shrinks
  // or whose block holds what it becomes, and no key comes (keys go where the op drops their
  // containers) ---
  enum class Algebra { UNION, INTERSECTION, DIFFERENCE, SYMMETRIC_DIFFERENCE };
  bool combines_in_place(const Roaring32& other, Algebra op) const noexcept;
  void combine_in_place(const Roaring32& other, Algebra op) noexcept;

  // --- set algebra by the containers that change, for the ops that keep our containers whose key
  // `other` lacks (union, difference, symmetric difference), in three steps:
  //  1. changed_containers(other, op), inside an AllocationScope: op's containers, as CRoaring's
  //     new-bitmap op builds them, for the keys of `other` whose container the op adds or changes
  //     (empty for a key it empties), built aside; but those that a union or symmetric difference
  //     changes where they lie (see combine_in_place) are left to step 3;
  //  2. make_room_for(changed): room in the container index for as many more containers as
  //     `changed` holds (a change of capacity only);
  //  3. take_changed(changed, other, op): changes those left to it where they lie, frees our
  //     containers of the keys `changed` holds and puts its non-empty ones in; cannot fail. Our
  //     other containers are neither copied nor touched.
  // changes_few_containers(other, op): whether the op builds aside at most a quarter as many
  // containers as we hold; only then do these steps pay. Freeing many containers among others that
  // stay leaves the heap in pieces, which slows later allocations (a copy of the result, say) more
  // than building the whole bucket anew costs ---
  bool changes_few_containers(const Roaring32& other, Algebra op) const noexcept;
  Roaring32 changed_containers(const Roaring32& other, Algebra op) const;
  void make_room_for(const Roaring32& changed);
  void take_changed(Roaring32&& changed, const Roaring32& other, Algebra op) noexcept;

 private:
  static Roaring32 copy_of(const Roaring32& other, const char* failure);
  // Frees the empty containers of `index` and closes the gaps: one pass that cannot fail.
  static void drop_empty_containers(roaring_array_t& index) noexcept;
  // Moves every container of `from` into `index`, which lacks their keys and has room for them:
  // one merge from the back, in place, that cannot fail; `from` is left empty.
  static void merge_containers(roaring_array_t& index, roaring_array_t& from) noexcept;
  // Drops the emptied containers and moves the staged ones into the index (room for them is kept):
  // never fails, never changes members.
  void settle() const noexcept;
  void merge_container(std::uint16_t key, Roaring32& into) const;

  // The bucket: a CRoaring bitmap, whose index is one sorted array, so that opening or closing a
  // container shifts every later one. In a bucket of at least STAGED_FROM containers, element
  // changes put such shifts off and do them many at once:
  //  - a value that opens a container is staged: added to `staged_`, a small bitmap of containers
  //    whose keys `bitmap_` lacks, whose containers join `bitmap_` in one merge;
  //  - a removal that empties a container leaves it in `bitmap_`, empty, counted in `emptied_`;
  //    one pass drops them all.
  // Both wait for STAGED_LIMIT containers, or until anything but an element change or test reads
  // the bucket (get()). `bitmap_` always has room in its index for the staged containers, so
  // settling cannot fail; it changes the layout only, hence `mutable`.
  mutable roaring_bitmap_t bitmap_;
  mutable roaring_bitmap_t staged_;
  mutable std::int32_t emptied_ = 0;
};

struct Roaring32::Change {
  std::uint16_t first_key;
  std::uint16_t last_key;
  Roaring32 containers;  // keys within [first_key, last_key]
  // How many of the bucket's containers in the span stay, made full where they lie: those whose key
  // `containers` lacks (prepare_add). The others go.
  std::int32_t kept_full;
};

// Adds the low 32 bits of values[0, count) to `bucket`, which is being built inside an
// AllocationScope, one by one as roaring_bitmap_add_bulk does with `context`. A value for the bitset
// container at hand has its bit set here, as CRoaring's bitset add does, without a call per value.
void add_each(roaring_bitmap_t& bucket, roaring_bulk_context_t& context, const std::uint64_t* values,
              std::size_t count);

}  // namespace quorvel::storage
