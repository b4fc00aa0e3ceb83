// Roaring32's changes: element changes in place where CRoaring cannot allocate, and everything else
// built aside (in an AllocationScope) and then spliced into the container index by steps that
// cannot fail.
//
// This file, member_export.cpp and roaring32_algebra.cpp are the only ones that read CRoaring's
// internals: its container index (roaring_array_t: sorted 16-bit keys, container pointers, kind codes)
// and the three container structs, to tell whether a change can allocate, to splice containers, to
// make containers full where they lie and to set a bitset's bits directly (add_each). They are those of the
// release checked below; see allocation.hpp for why CRoaring must not allocate on live data.
#include "roaring32.hpp"

#include <malloc.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#include "allocation.hpp"
#include "container_sweep.hpp"
#include "sorted_keys.hpp"

static_assert(ROARING_VERSION_MAJOR == 5 && ROARING_VERSION_MINOR == 2 && ROARING_VERSION_REVISION == 2,
              "Roaring32 reads CRoaring 5.2.2's container index and container structs: check them before "
              "building with another release");

namespace quorvel::storage {

namespace {

namespace internal = roaring::internal;
using internal::container_t;

constexpr std::uint64_t CONTAINER_SPAN = 1u << 16;
constexpr std::uint64_t VALUE_SPAN = std::uint64_t{1} << 32;  // the values a bucket can hold

std::uint16_t key_of(std::uint64_t low) noexcept { return static_cast<std::uint16_t>(low >> 16); }

// Where container `key` is in `index`, or -(where it would go) - 1.
std::int32_t find_container(const roaring_array_t& index, std::uint16_t key) noexcept {
  return static_cast<std::int32_t>(find_key(index.keys, index.size, key));
}

// Index of the first container whose key is `key` or larger.
std::int32_t first_index(const roaring_array_t& index, std::uint32_t key) noexcept {
  if (key > 0xFFFF) return index.size;
  const std::int32_t found = find_container(index, static_cast<std::uint16_t>(key));
  return found >= 0 ? found : -found - 1;
}

// Whether adding `low` to container `c` changes nothing or changes it without allocating: no
// growth of an array or run container, no conversion of a full array container to a bitset.
bool adds_in_place(const container_t* c, std::uint8_t kind, std::uint16_t low) noexcept {
  switch (kind) {
    case BITSET_CONTAINER_TYPE: return true;
    case ARRAY_CONTAINER_TYPE: {
      const auto* array = static_cast<const internal::array_container_t*>(c);
      return (array->cardinality < array->capacity && array->cardinality < internal::DEFAULT_MAX_SIZE) ||
             internal::array_container_contains(array, low);
    }
    case RUN_CONTAINER_TYPE: {
      const auto* runs = static_cast<const internal::run_container_t*>(c);
      return runs->n_runs < runs->capacity || internal::run_container_contains(runs, low);
    }
    default: return false;
  }
}

// Whether removing `low` from container `c` changes nothing or changes it without allocating: no
// split of a run into a full run container, no conversion of a bitset to an array container.
bool removes_in_place(const container_t* c, std::uint8_t kind, std::uint16_t low) noexcept {
  switch (kind) {
    case BITSET_CONTAINER_TYPE: {
      const auto* bits = static_cast<const internal::bitset_container_t*>(c);
      return bits->cardinality > internal::DEFAULT_MAX_SIZE + 1 ||
             !internal::bitset_container_contains(bits, low);
    }
    case ARRAY_CONTAINER_TYPE: return true;
    case RUN_CONTAINER_TYPE: {
      const auto* runs = static_cast<const internal::run_container_t*>(c);
      return runs->n_runs < runs->capacity || !internal::run_container_contains(runs, low);
    }
    default: return false;
  }
}

// Moves `entries` (`used` of them) to a new block with room for more, as CRoaring grows an array or
// run container, at most `most`. The new block comes first: a failure changes nothing.
template <class Entry>
void regrow(Entry*& entries, std::int32_t used, std::int32_t& capacity, std::int32_t most) {
  const std::int32_t grown = std::min(most, capacity < 64     ? std::max(2 * capacity, 4)
                                            : capacity < 1024 ? capacity * 3 / 2
                                                              : capacity * 5 / 4);
  AllocationScope scope(1);  // the old block is released in it
  auto* fresh = static_cast<Entry*>(roaring_malloc(static_cast<std::size_t>(grown) * sizeof(Entry)));
  std::memcpy(fresh, entries, static_cast<std::size_t>(used) * sizeof(Entry));
  roaring_free(entries);
  scope.commit();
  entries = fresh;
  capacity = grown;
}

// Gives an array container below the bitset threshold, or a run container, room for one more value
// or run, so that one add or remove then changes it in place instead of aside. False for a container
// that such a change would turn into another kind.
bool make_room(container_t* c, std::uint8_t kind) {
  switch (kind) {
    case ARRAY_CONTAINER_TYPE: {
      auto* array = static_cast<internal::array_container_t*>(c);
      if (array->cardinality >= internal::DEFAULT_MAX_SIZE) return false;
      regrow(array->array, array->cardinality, array->capacity, internal::DEFAULT_MAX_SIZE);
      return true;
    }
    case RUN_CONTAINER_TYPE: {
      auto* runs = static_cast<internal::run_container_t*>(c);
      regrow(runs->runs, runs->n_runs, runs->capacity, std::int32_t{1} << 15);  // the most runs there can be
      return true;
    }
    default: return false;
  }
}

// Largest block that a container made full where it lies may keep: a full run container needs
// four bytes, so a larger block would be kilobytes held for nothing (an array of 4,096 values).
constexpr std::size_t KEPT_BLOCK_BYTES = 64;

// The value or run block of an array or run container; null for other kinds.
void* values_block(const container_t* c, std::uint8_t kind) noexcept {
  switch (kind) {
    case ARRAY_CONTAINER_TYPE: return static_cast<const internal::array_container_t*>(c)->array;
    case RUN_CONTAINER_TYPE: return static_cast<const internal::run_container_t*>(c)->runs;
    default: return nullptr;
  }
}

// Whether container `c` can become a full run container where it lies, allocating nothing: a run
// container, or an array container (whose struct has the run container's layout), whose block
// holds one run and is small.
bool fills_in_place(const container_t* c, std::uint8_t kind) noexcept {
  void* block = values_block(c, kind);
  if (block == nullptr) return false;
  const std::size_t bytes = malloc_usable_size(block);
  return bytes >= sizeof(internal::rle16_t) && bytes <= KEPT_BLOCK_BYTES;
}

constexpr internal::rle16_t WHOLE_SPAN{0, 0xFFFF};

// A new run container holding [0, 2^16).
internal::run_container_t* full_run_container() {
  internal::run_container_t* full = internal::run_container_create_given_capacity(1);
  if (full == nullptr) throw std::bad_alloc();
  full->runs[0] = WHOLE_SPAN;
  full->n_runs = 1;
  return full;
}

// Appends container `c` of `key` to `index`, which has room for it and lacks the key.
void append_entry(roaring_array_t& index, std::uint32_t key, container_t* c, std::uint8_t kind) noexcept {
  index.keys[index.size] = static_cast<std::uint16_t>(key);
  index.containers[index.size] = c;
  index.typecodes[index.size] = kind;
  ++index.size;
}

// Appends the container `part` holds, if any, to `index`, which has room for it; `part` is left
// empty.
void append_moved(roaring_array_t& index, roaring_array_t& part) noexcept {
  if (part.size == 0) return;
  append_entry(index, part.keys[0], part.containers[0], part.typecodes[0]);
  part.size = 0;  // the container belongs to `index` now
}

// Appends the complement of container `c` within its span, as CRoaring's flip builds it, to `index`,
// which has room for it; nothing when it is empty.
void append_complement(roaring_array_t& index, std::uint16_t key, const container_t* c, std::uint8_t kind) {
  container_t* complement = nullptr;
  std::uint8_t complement_kind = BITSET_CONTAINER_TYPE;
  switch (kind) {
    case BITSET_CONTAINER_TYPE:
      if (!internal::bitset_container_negation(static_cast<const internal::bitset_container_t*>(c),
                                               &complement)) {
        complement_kind = ARRAY_CONTAINER_TYPE;
      }
      break;
    case ARRAY_CONTAINER_TYPE: {
      internal::bitset_container_t* bits = internal::bitset_container_create();
      if (bits == nullptr) throw std::bad_alloc();
      internal::array_container_negation(static_cast<const internal::array_container_t*>(c), bits);
      complement = bits;
      break;
    }
    default:
      complement_kind = static_cast<std::uint8_t>(
          internal::run_container_negation(static_cast<const internal::run_container_t*>(c), &complement));
  }
  if (complement == nullptr) throw std::bad_alloc();
  if (!internal::container_nonzero_cardinality(complement, complement_kind)) {
    return internal::container_free(complement, complement_kind);
  }
  append_entry(index, key, complement, complement_kind);
}

// Calls visit(key, first, last, at) for each container key of the values [begin, end) of a bucket,
// begin < end <= 2^32, in order: the range's values [first, last] in that container, and where
// `index` holds its container (-1 where it holds none).
template <class Visit>
void for_each_key(const roaring_array_t& index, std::uint64_t begin, std::uint64_t end, Visit&& visit) {
  std::int32_t at = first_index(index, key_of(begin));
  for (std::uint32_t key = key_of(begin); key <= key_of(end - 1); ++key) {
    const bool present = reach_key(index, at, key);
    const std::uint64_t first = std::max<std::uint64_t>(begin, key * CONTAINER_SPAN);
    const std::uint64_t last = std::min<std::uint64_t>(end, (key + 1) * CONTAINER_SPAN) - 1;
    visit(static_cast<std::uint16_t>(key), static_cast<std::uint32_t>(first),
          static_cast<std::uint32_t>(last), present ? at : -1);
  }
}

// Makes container `c`, for which fills_in_place holds, the full run container [0, 2^16).
void fill_in_place(container_t* c, std::uint8_t& kind) noexcept {
  static_assert(sizeof(internal::array_container_t) == sizeof(internal::run_container_t) &&
                alignof(internal::array_container_t) == alignof(internal::run_container_t));
  auto* run = static_cast<internal::run_container_t*>(c);
  if (kind == ARRAY_CONTAINER_TYPE) {
    internal::run_container_t full{};
    full.capacity = 1;
    full.runs = static_cast<internal::rle16_t*>(values_block(c, kind));
    std::memcpy(run, &full, sizeof full);  // the array's struct and block now make a run container
    kind = RUN_CONTAINER_TYPE;
  }
  std::memcpy(run->runs, &WHOLE_SPAN, sizeof WHOLE_SPAN);
  run->n_runs = 1;
}

// A bitmap that shows containers [first, end) of `index` without owning them: only ever read.
roaring_bitmap_t view_of(const roaring_array_t& index, std::int32_t first, std::int32_t end) noexcept {
  roaring_bitmap_t view;
  view.high_low_container = index;
  view.high_low_container.size = end - first;
  view.high_low_container.allocation_size = end - first;
  view.high_low_container.containers = index.containers + first;
  view.high_low_container.keys = index.keys + first;
  view.high_low_container.typecodes = index.typecodes + first;
  return view;
}

// Moves `count` entries (key, container, kind) from place `from` of `source` to place `to` of
// `target`, which may be the same index with overlapping places. Nothing is touched for none (an
// empty index may have no arrays at all).
void move_entries(const roaring_array_t& source, std::int32_t from, roaring_array_t& target, std::int32_t to,
                  std::size_t count) noexcept {
  if (count == 0) return;
  std::memmove(target.keys + to, source.keys + from, count * sizeof *target.keys);
  std::memmove(target.containers + to, source.containers + from, count * sizeof *target.containers);
  std::memmove(target.typecodes + to, source.typecodes + from, count * sizeof *target.typecodes);
}

// Grows the index of `bitmap` so that it holds `needed` containers: a change of capacity only.
void reserve_index(roaring_bitmap_t& bitmap, std::int32_t needed) {
  roaring_array_t& index = bitmap.high_low_container;
  if (needed <= index.allocation_size) return;
  AllocationScope scope(1);  // the old index is released in it
  // The index's one allocation comes before any change: a failure leaves it as it was.
  if (!internal::extend_array(&index, needed - index.size)) throw std::bad_alloc();
  scope.commit();
}

// The index of `bitmap`, which holds no container, with room for one of every key of
// [first_key, last_key]: one block, whose pages stay untouched where the room goes unused.
roaring_array_t& index_for_keys(roaring_bitmap_t& bitmap, std::uint16_t first_key, std::uint16_t last_key) {
  reserve_index(bitmap, last_key - first_key + 1);
  return bitmap.high_low_container;
}

// The containers of `bitmap` with keys in [first_key, last_key], shown without being owned.
roaring_bitmap_t view_between(const roaring_bitmap_t& bitmap, std::uint16_t first_key,
                              std::uint16_t last_key) noexcept {
  const roaring_array_t& index = bitmap.high_low_container;
  return view_of(index, first_index(index, first_key), first_index(index, last_key + 1u));
}

// Frees the containers of `bitmap` with keys in [first_key, last_key] and moves those of `fresh`
// (keys within the same span) into their place. The index has room for them: nothing is allocated.
void splice(roaring_bitmap_t& bitmap, std::uint16_t first_key, std::uint16_t last_key,
            roaring_bitmap_t& fresh) noexcept {
  roaring_array_t& index = bitmap.high_low_container;
  roaring_array_t& moved = fresh.high_low_container;
  const std::int32_t first = first_index(index, first_key);
  const std::int32_t end = first_index(index, last_key + 1u);
  for (std::int32_t i = first; i < end; ++i)
    internal::container_free(index.containers[i], index.typecodes[i]);
  const auto tail = static_cast<std::size_t>(index.size - end);
  if (end != first + moved.size) move_entries(index, end, index, first + moved.size, tail);
  move_entries(moved, 0, index, first, static_cast<std::size_t>(moved.size));
  index.size = first + moved.size + static_cast<std::int32_t>(tail);
  moved.size = 0;  // the containers belong to `bitmap` now
}

// Like splice, but `kept` containers of `bitmap` in the span, those whose key `fresh` lacks, stay,
// made full where they lie (fills_in_place holds for each). The index has room for `fresh`'s new
// keys.
void splice_filling(roaring_bitmap_t& bitmap, std::uint16_t first_key, std::uint16_t last_key,
                    roaring_bitmap_t& fresh, std::int32_t kept) noexcept {
  roaring_array_t& index = bitmap.high_low_container;
  roaring_array_t& moved = fresh.high_low_container;
  const std::int32_t first = first_index(index, first_key);
  const std::int32_t end = first_index(index, last_key + 1u);
  const std::int32_t added = moved.size - (end - first - kept);  // fresh keys the index lacks
  move_entries(index, end, index, end + added, static_cast<std::size_t>(index.size - end));
  // From the back: each place is written after the entry it held has been read.
  std::int32_t old = end - 1;
  std::int32_t to = end + added - 1;
  for (std::int32_t j = moved.size - 1; j >= 0; --j, --to) {
    for (; old >= first && index.keys[old] > moved.keys[j]; --old, --to) {
      fill_in_place(index.containers[old], index.typecodes[old]);
      move_entries(index, old, index, to, 1);
    }
    if (old >= first && index.keys[old] == moved.keys[j]) {
      internal::container_free(index.containers[old], index.typecodes[old]);
      --old;
    }
    move_entries(moved, j, index, to, 1);
  }
  for (; old >= first; --old) fill_in_place(index.containers[old], index.typecodes[old]);  // in place
  index.size += added;
  moved.size = 0;  // the containers belong to `bitmap` now
}

// Changes the container of `value` in `bitmap` (which has room for a new one) by `change` applied
// to a copy of it, then puts the copy in its place.
template <class Change>
void change_aside(roaring_bitmap_t& bitmap, std::uint32_t value, Change&& change) {
  AllocationScope scope;
  const roaring_bitmap_t view = view_between(bitmap, key_of(value), key_of(value));
  roaring_bitmap_t* part = roaring_bitmap_copy(&view);
  if (part == nullptr) throw std::bad_alloc();
  change(part, value);
  scope.commit();
  splice(bitmap, key_of(value), key_of(value), *part);
  roaring_bitmap_free(part);  // the shell and its empty index
}

// Puts a new array container holding `value` alone at `place` in `index`, which lacks its key and
// has room for one more container.
void open_container(roaring_array_t& index, std::int32_t place, std::uint32_t value) {
  constexpr std::int32_t OPENING_CAPACITY = 4;  // values; the block is no smaller for fewer
  // The container's two blocks, made as array_container_create_given_capacity makes them; the hook
  // throws for a failed one, and the struct goes back if its values' block fails.
  auto* values =
      static_cast<internal::array_container_t*>(roaring_malloc(sizeof(internal::array_container_t)));
  try {
    values->array = static_cast<std::uint16_t*>(roaring_malloc(OPENING_CAPACITY * sizeof(std::uint16_t)));
  } catch (...) {
    roaring_free(values);
    throw;
  }
  values->capacity = OPENING_CAPACITY;
  values->array[0] = static_cast<std::uint16_t>(value);
  values->cardinality = 1;
  internal::ra_insert_new_key_value_at(&index, place, key_of(value), values,
                                       ARRAY_CONTAINER_TYPE);  // within the room: allocates nothing
}

// Adds `value` to `bitmap`. `at` is what find_container answers for its key: where its container
// is, or, negative, where it would go; it is then opened, after making room in the index for `room`
// containers. An existing container changes in place where that cannot allocate or where room can
// be made first, else aside.
void add_value(roaring_bitmap_t& bitmap, std::int32_t at, std::uint32_t value, std::int32_t room) {
  roaring_array_t& index = bitmap.high_low_container;
  const auto low = static_cast<std::uint16_t>(value);
  if (at < 0) {
    reserve_index(bitmap, room);
    return open_container(index, -at - 1, value);
  }
  if (adds_in_place(index.containers[at], index.typecodes[at], low) ||
      make_room(index.containers[at], index.typecodes[at])) {
    std::uint8_t kind = 0;
    internal::container_add(index.containers[at], low, index.typecodes[at], &kind);  // same container
    return;
  }
  change_aside(bitmap, value, roaring_bitmap_add);
}

// Removes `low` from container `at` of `index`, where removes_in_place holds or make_room made room:
// allocates nothing. Whether the container is empty now.
bool remove_in_place(roaring_array_t& index, std::int32_t at, std::uint16_t low) noexcept {
  std::uint8_t kind = 0;
  const container_t* values =
      internal::container_remove(index.containers[at], low, index.typecodes[at], &kind);
  return !internal::container_nonzero_cardinality(values, kind);
}

// Removes `value` from `bitmap`, whose container for it is at `at` (what find_container answers):
// in place where that cannot allocate or where room can be made first, freeing the container if it
// empties; else aside.
void remove_value(roaring_bitmap_t& bitmap, std::int32_t at, std::uint32_t value) {
  roaring_array_t& index = bitmap.high_low_container;
  if (at < 0) return;
  const auto low = static_cast<std::uint16_t>(value);
  if (removes_in_place(index.containers[at], index.typecodes[at], low) ||
      make_room(index.containers[at], index.typecodes[at])) {
    if (remove_in_place(index, at, low)) internal::ra_remove_at_index_and_free(&index, at);
    return;
  }
  change_aside(bitmap, value, roaring_bitmap_remove);
}

// Staging (Roaring32's data members): buckets with at least STAGED_FROM containers stage the
// containers that single values open, up to STAGED_LIMIT of them.
constexpr std::int32_t STAGED_FROM = 64;
constexpr std::int32_t STAGED_LIMIT = 256;

}  // namespace

Roaring32 Roaring32::adopt(roaring_bitmap_t* owned) {
  if (owned == nullptr) throw std::bad_alloc();
  Roaring32 result;
  result.bitmap_ = *owned;
  roaring_free(owned);  // the shell only; the containers now belong to `result`
  return result;
}

// The staged and emptied containers are copied as such: copying leaves `other` as it is.
Roaring32 Roaring32::copy_of(const Roaring32& other, const char* failure) {
  AllocationScope scope;
  Roaring32 result;
  try {
    if (!roaring_bitmap_overwrite(&result.bitmap_, &other.bitmap_) ||
        !roaring_bitmap_overwrite(&result.staged_, &other.staged_)) {
      throw std::bad_alloc();
    }
    reserve_index(result.bitmap_,
                  other.bitmap_.high_low_container.size + other.staged_.high_low_container.size);
    result.emptied_ = other.emptied_;
  } catch (const std::bad_alloc&) {
    throw std::runtime_error(failure);
  }
  scope.commit();
  roaring_bitmap_set_copy_on_write(&result.bitmap_, roaring_bitmap_get_copy_on_write(&other.bitmap_));
  return result;
}

Roaring32::Roaring32(const Roaring32& other)
    : Roaring32(copy_of(other, "failed roaring_bitmap_overwrite in constructor")) {}

Roaring32& Roaring32::operator=(const Roaring32& other) {
  if (this != &other) {
    Roaring32 copy = copy_of(other, "failed memory alloc in assignment");
    swap(copy);
  }
  return *this;
}

Roaring32::Roaring32(Roaring32&& other) noexcept
    : bitmap_(other.bitmap_), staged_(other.staged_), emptied_(other.emptied_) {
  roaring_bitmap_init_cleared(&other.bitmap_);
  roaring_bitmap_init_cleared(&other.staged_);
  other.emptied_ = 0;
}

Roaring32& Roaring32::operator=(Roaring32&& other) noexcept {
  if (this != &other) {
    Roaring32 taken(std::move(other));
    swap(taken);
  }
  return *this;
}

// A bucket that a failing CRoaring call was building may hold garbage: its scope frees its blocks.
Roaring32::~Roaring32() {
  if (allocation_scope_unwinding()) return;
  roaring_bitmap_clear(&bitmap_);
  roaring_bitmap_clear(&staged_);
}

void Roaring32::swap(Roaring32& other) noexcept {
  std::swap(bitmap_, other.bitmap_);
  std::swap(staged_, other.staged_);
  std::swap(emptied_, other.emptied_);
}

void Roaring32::drop_empty_containers(roaring_array_t& index) noexcept {
  sweep_containers(index, [&](std::int32_t i) {
    return !internal::container_nonzero_cardinality(index.containers[i], index.typecodes[i]);
  });
}

// From the last container of `from` back: the index entries after its place move up by the number
// of containers left to merge, in one block, and it goes in below them.
void Roaring32::merge_containers(roaring_array_t& index, roaring_array_t& from) noexcept {
  std::int32_t unmoved = index.size;  // index entries [0, unmoved) are still where they were
  for (std::int32_t next = from.size - 1; next >= 0; --next) {
    const auto place = static_cast<std::int32_t>(-find_key(index.keys, unmoved, from.keys[next]) - 1);
    move_entries(index, place, index, place + next + 1, static_cast<std::size_t>(unmoved - place));
    move_entries(from, next, index, place + next, 1);
    unmoved = place;
  }
  index.size += from.size;
  from.size = 0;  // the containers belong to `index` now
}

// Drops the emptied containers in one pass, then merges the staged ones in.
void Roaring32::settle() const noexcept {
  if (emptied_ != 0) {
    drop_empty_containers(bitmap_.high_low_container);
    emptied_ = 0;
  }
  if (staged_.high_low_container.size != 0) {
    merge_containers(bitmap_.high_low_container, staged_.high_low_container);
  }
}

// --- element changes ---

void Roaring32::add(std::uint32_t value) {
  roaring_array_t& index = bitmap_.high_low_container;
  roaring_array_t& staged = staged_.high_low_container;
  const std::uint16_t key = key_of(value);
  // Most buckets stage nothing: then the value's key is not staged and would go first.
  const std::int32_t staged_at = staged.size == 0 ? -1 : find_container(staged, key);
  if (staged_at >= 0) return add_value(staged_, staged_at, value, 0);
  const std::int32_t at = find_container(index, key);
  if (at >= 0 || index.size < STAGED_FROM) return add_value(bitmap_, at, value, index.size + staged.size + 1);
  reserve_index(bitmap_, index.size + staged.size + 1);  // room to merge the container staged next
  add_value(staged_, staged_at, value, staged.size + 1);
  if (staged.size >= STAGED_LIMIT) settle();
}

void Roaring32::remove(std::uint32_t value) {
  const roaring_array_t& staged = staged_.high_low_container;
  if (staged.size != 0) {
    const std::int32_t staged_at = find_container(staged, key_of(value));
    if (staged_at >= 0) return remove_value(staged_, staged_at, value);
  }
  roaring_array_t& index = bitmap_.high_low_container;
  const std::int32_t at = find_container(index, key_of(value));
  const auto low = static_cast<std::uint16_t>(value);
  if (at < 0 || index.size < STAGED_FROM ||
      !removes_in_place(index.containers[at], index.typecodes[at], low)) {
    return remove_value(bitmap_, at, value);
  }
  if (remove_in_place(index, at, low) && ++emptied_ >= STAGED_LIMIT) settle();
}

bool Roaring32::contains(std::uint32_t value) const noexcept {
  const auto holds = [value](const roaring_bitmap_t& bitmap) {
    const roaring_array_t& index = bitmap.high_low_container;
    const std::int32_t at = find_container(index, key_of(value));
    return at >= 0 && internal::container_contains(index.containers[at], static_cast<std::uint16_t>(value),
                                                   index.typecodes[at]);
  };
  return holds(bitmap_) || (staged_.high_low_container.size != 0 && holds(staged_));
}

void Roaring32::flip(std::uint32_t value) {
  if (contains(value)) {
    remove(value);
  } else {
    add(value);
  }
}

void add_each(roaring_bitmap_t& bucket, roaring_bulk_context_t& context, const std::uint64_t* values,
              std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    const auto value = static_cast<std::uint32_t>(values[i]);
    if (context.container != nullptr && context.typecode == BITSET_CONTAINER_TYPE &&
        context.key == key_of(value)) {
      internal::bitset_container_set(static_cast<internal::bitset_container_t*>(context.container),
                                     static_cast<std::uint16_t>(value));
    } else {
      roaring_bitmap_add_bulk(&bucket, &context, value);
    }
  }
}

// --- range changes ---

void Roaring32::reserve_range(std::uint64_t begin, std::uint64_t end) {
  settle();
  const roaring_array_t& index = bitmap_.high_low_container;
  const std::uint32_t first = key_of(begin);
  const std::uint32_t last = key_of(end - 1);
  const std::int32_t present = first_index(index, last + 1) - first_index(index, first);
  reserve_index(bitmap_, index.size + static_cast<std::int32_t>(last - first + 1) - present);
}

void Roaring32::make_room_for(const Roaring32& changed) {
  const auto more = static_cast<std::int32_t>(changed.container_count());  // its staged ones included
  settle();
  reserve_index(bitmap_, bitmap_.high_low_container.size + more);
}

// The containers of the window's keys are copied, then the two end ones trimmed.
Roaring32 Roaring32::members_between(std::uint64_t begin, std::uint64_t end) const {
  const roaring_bitmap_t view = view_between(*get(), key_of(begin), key_of(end - 1));
  Roaring32 part = adopt(roaring_bitmap_copy(&view));
  roaring_bitmap_remove_range(&part.bitmap_, 0, begin);
  roaring_bitmap_remove_range(&part.bitmap_, end, VALUE_SPAN);
  return part;
}

// ORs a copy of this bucket's container `key`, if present, into `into`.
void Roaring32::merge_container(std::uint16_t key, Roaring32& into) const {
  const roaring_array_t& index = get()->high_low_container;
  const std::int32_t at = find_container(index, key);
  if (at < 0) return;
  const roaring_bitmap_t view = view_of(index, at, at + 1);
  roaring_bitmap_or_inplace(&into.bitmap_, &view);
}

// Containers wholly inside the range become full whatever they held: those that can be made full
// where they lie are left so, to apply(), which frees and allocates nothing for them; the others
// are built here, new. Only the two end containers are read from the bucket, and of the others
// only the size of their blocks.
Roaring32::Change Roaring32::prepare_add(std::uint64_t begin, std::uint64_t end) const {
  Change change{key_of(begin), key_of(end - 1), Roaring32(), 0};
  const roaring_array_t& index = get()->high_low_container;
  roaring_array_t& built = index_for_keys(change.containers.bitmap_, change.first_key, change.last_key);
  for_each_key(index, begin, end,
               [&](std::uint16_t key, std::uint32_t first, std::uint32_t last, std::int32_t at) {
                 if (last - first + 1 < CONTAINER_SPAN) {
                   Roaring32 part;
                   roaring_bitmap_add_range_closed(&part.bitmap_, first, last);
                   if (at >= 0) merge_container(key, part);
                   return append_moved(built, part.bitmap_.high_low_container);
                 }
                 if (at >= 0 && fills_in_place(index.containers[at], index.typecodes[at])) {
                   ++change.kept_full;
                 } else {
                   append_entry(built, key, full_run_container(), RUN_CONTAINER_TYPE);
                 }
               });
  return change;
}

Roaring32::Change Roaring32::prepare_remove(std::uint64_t begin, std::uint64_t end) const {
  Change change{key_of(begin), key_of(end - 1), Roaring32(), 0};
  merge_container(change.first_key, change.containers);
  if (change.last_key != change.first_key) merge_container(change.last_key, change.containers);
  roaring_bitmap_remove_range(change.containers.get(), begin, end);
  return change;
}

// The containers are appended in key order to an index sized once: CRoaring's in-place flip would
// insert every container it creates into the index, shifting the rest each time, and its new-bitmap
// flip grows its index step by step, each step a new block.
Roaring32::Change Roaring32::prepare_flip(std::uint64_t begin, std::uint64_t end) const {
  Change change{key_of(begin), key_of(end - 1), Roaring32(), 0};
  const roaring_bitmap_t& bucket = *get();
  roaring_array_t& built = index_for_keys(change.containers.bitmap_, change.first_key, change.last_key);
  for_each_key(bucket.high_low_container, begin, end,
               [&](std::uint16_t key, std::uint32_t first, std::uint32_t last, std::int32_t at) {
                 if (last - first + 1 < CONTAINER_SPAN) {
                   const roaring_bitmap_t view = view_between(bucket, key, key);
                   Roaring32 part = adopt(roaring_bitmap_flip(&view, first, last + std::uint64_t{1}));
                   return append_moved(built, part.bitmap_.high_low_container);
                 }
                 if (at < 0) return append_entry(built, key, full_run_container(), RUN_CONTAINER_TYPE);
                 append_complement(built, key, bucket.high_low_container.containers[at],
                                   bucket.high_low_container.typecodes[at]);
               });
  return change;
}

void Roaring32::apply(Change&& change) noexcept {
  if (change.kept_full == 0)
    return splice(*get(), change.first_key, change.last_key, change.containers.bitmap_);
  splice_filling(*get(), change.first_key, change.last_key, change.containers.bitmap_, change.kept_full);
}

// --- run optimisation and shrinking ---

Roaring32::Layout Roaring32::layout() const {
  const roaring_array_t& index = get()->high_low_container;
  const auto count = static_cast<std::size_t>(index.size);
  return Layout{std::vector<void*>(index.containers, index.containers + count),
                std::vector<std::uint8_t>(index.typecodes, index.typecodes + count)};
}

// CRoaring's run optimisation replaces containers by new ones and releases the old; it never
// changes a container's contents or the keys. Inside a scope the old ones are only released at
// commit, so writing the saved pointers back restores the bucket exactly.
void Roaring32::optimize_runs() { roaring_bitmap_run_optimize(get()); }

void Roaring32::restore(const Layout& before) noexcept {
  roaring_array_t& index = bitmap_.high_low_container;
  if (before.containers.empty()) return;
  std::memcpy(index.containers, before.containers.data(), before.containers.size() * sizeof(void*));
  std::memcpy(index.typecodes, before.kinds.data(), before.kinds.size());
}

// Containers shrink by reallocating to a smaller size, which the memory hook never lets fail; the
// index shrinks by a new allocation, which may fail and then leaves the index as it was.
void Roaring32::shrink() noexcept {
  try {
    roaring_bitmap_shrink_to_fit(get());
  } catch (const std::bad_alloc&) {
  }
}

}  // namespace quorvel::storage
