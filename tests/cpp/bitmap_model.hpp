// BitmapModel: what a Bitmap should hold, kept as plain std::sets of members and bucket keys and
// changed by each operation's definition, for the C++ tests and the fuzz harnesses. Range forms
// visit every position of their range: callers keep ranges short.
#pragma once

#include <cstdint>
#include <iterator>
#include <optional>
#include <set>

#include "storage/bitmap.hpp"

namespace quorvel::testing {

using storage::Bitmap;
using storage::high_bits;
using storage::join_bits;
using storage::low_bits;
using Members = std::set<std::uint64_t>;
using Keys = std::set<std::uint32_t>;

inline constexpr std::uint64_t MAX_POSITION = ~std::uint64_t{0};

// The members of `bitmap`, read through its forward iterator.
inline Members members_of(const Bitmap& bitmap) {
  Members members;
  for (auto it = bitmap.begin(); it != bitmap.end(); ++it) members.insert(members.end(), *it);
  return members;
}

// Every present bucket key of `bitmap`, empty buckets included.
inline Keys keys_of(const Bitmap& bitmap) {
  Keys keys;
  for (const auto& bucket : bitmap.buckets()) keys.insert(keys.end(), bucket.first);
  return keys;
}

// The keys of the buckets that hold at least one of `members`.
inline Keys keys_holding(const Members& members) {
  Keys keys;
  for (const std::uint64_t member : members) keys.insert(high_bits(member));
  return keys;
}

struct BitmapModel {
  Members members;
  Keys keys{0};  // a new Bitmap holds the empty bucket 0

  // Members in [start, end_ex); none when end_ex <= start.
  std::uint64_t count_in(std::uint64_t start, std::uint64_t end_ex) const {
    if (end_ex <= start) return 0;
    return static_cast<std::uint64_t>(std::distance(members.lower_bound(start), members.lower_bound(end_ex)));
  }
  bool holds_key(std::uint32_t key) const {
    const auto found = members.lower_bound(join_bits(key, 0));
    return found != members.end() && high_bits(*found) == key;
  }

  void add_keys(std::uint64_t start, std::uint64_t end_ex) {
    for (std::uint64_t key = high_bits(start); key <= high_bits(end_ex); ++key)
      keys.insert(static_cast<std::uint32_t>(key));
  }
  void toggle(std::uint64_t position) {
    if (members.erase(position) == 0) members.insert(position);
  }

  void set(std::uint64_t position) {
    members.insert(position);
    keys.insert(high_bits(position));
  }
  void unset(std::uint64_t position) { members.erase(position); }
  void flip(std::uint64_t position) {
    toggle(position);
    keys.insert(high_bits(position));
  }

  // set and flip create every bucket from hi(start) to hi(end_ex); unset creates none.
  void set(std::uint64_t start, std::uint64_t end_ex) {
    if (high_bits(start) > high_bits(end_ex)) return;
    add_keys(start, end_ex);
    for (std::uint64_t p = start; p < end_ex; ++p) members.insert(p);
  }
  void unset(std::uint64_t start, std::uint64_t end_ex) {
    if (end_ex > start) members.erase(members.lower_bound(start), members.lower_bound(end_ex));
  }
  bool flip(std::uint64_t start, std::uint64_t end_ex) {  // false: refused
    if (start >= end_ex) return false;
    add_keys(start, end_ex);
    for (std::uint64_t p = start; p < end_ex; ++p) toggle(p);
    return true;
  }
  bool all(std::uint64_t start, std::uint64_t end_ex) const {
    return end_ex <= start || count_in(start, end_ex) == end_ex - start;
  }
  bool any(std::uint64_t start, std::uint64_t end_ex) const { return count_in(start, end_ex) != 0; }

  std::uint64_t lower_cardinality(std::uint64_t position) const {
    return static_cast<std::uint64_t>(std::distance(members.begin(), members.lower_bound(position)));
  }
  std::uint64_t upper_cardinality(std::uint64_t position) const {
    return static_cast<std::uint64_t>(std::distance(members.upper_bound(position), members.end()));
  }
  std::optional<std::uint64_t> nth(std::uint64_t ordinal) const {
    if (ordinal >= members.size()) return std::nullopt;
    return *std::next(members.begin(), static_cast<std::ptrdiff_t>(ordinal));
  }
  // Searches read only: they create no bucket.
  std::optional<std::uint64_t> self_or_next(std::uint64_t position) const {
    const auto found = members.lower_bound(position);
    return found == members.end() ? std::nullopt : std::optional<std::uint64_t>(*found);
  }
  std::optional<std::uint64_t> self_or_previous(std::uint64_t position) const {
    const auto above = members.upper_bound(position);
    return above == members.begin() ? std::nullopt : std::optional<std::uint64_t>(*std::prev(above));
  }

  // Set algebra: union and symmetric difference take over the other's keys; no key is removed.
  void union_with(const BitmapModel& other) {
    members.insert(other.members.begin(), other.members.end());
    keys.insert(other.keys.begin(), other.keys.end());
  }
  void intersect_with(const BitmapModel& other) {
    Members kept;
    for (const std::uint64_t m : members) {
      if (other.members.count(m) != 0) kept.insert(kept.end(), m);
    }
    members.swap(kept);
  }
  void difference_with(const BitmapModel& other) {
    Members kept;
    for (const std::uint64_t m : members) {
      if (other.members.count(m) == 0) kept.insert(kept.end(), m);
    }
    members.swap(kept);
  }
  void symmetric_difference_with(const BitmapModel& other) {
    const Members theirs = other.members;  // `other` may be *this
    for (const std::uint64_t m : theirs) toggle(m);
    keys.insert(other.keys.begin(), other.keys.end());
  }
  bool subset_of(const BitmapModel& other) const {
    for (const std::uint64_t m : members) {
      if (other.members.count(m) == 0) return false;
    }
    return true;
  }

  // The members of [start, end_ex) at their own positions; nullopt: refused.
  std::optional<BitmapModel> slice(std::uint64_t start, std::uint64_t end_ex) const {
    if (high_bits(end_ex) < high_bits(start)) return std::nullopt;
    BitmapModel result;
    if (high_bits(start) == high_bits(end_ex)) {
      result.keys.insert(high_bits(start));
    } else {
      result.keys.insert(keys.lower_bound(high_bits(start)), keys.upper_bound(high_bits(end_ex)));
    }
    if (end_ex > start) result.members.insert(members.lower_bound(start), members.lower_bound(end_ex));
    return result;
  }

  // Deletes (position - by, position] and moves the members above position down by `by`; false:
  // refused (a start bucket with members while lo(position) <= by, or a member that would land
  // below 0). Keys follow the bucket rule of bitmap_window.cpp.
  bool contract(std::uint64_t position, std::uint64_t by) {
    if (members.empty()) return true;
    const std::uint32_t start = high_bits(position);
    if ((holds_key(start) && low_bits(position) <= by) || (position < by && count_in(position + 1, by) != 0))
      return false;
    const std::uint32_t top = high_bits(*members.rbegin());
    const std::uint32_t first = by == 0 ? start : high_bits(position >= by ? position - by + 1 : 0);
    Members result;
    for (const std::uint64_t m : members) {
      if (position >= by && m <= position - by) result.insert(m);
      if (m > position) result.insert(m - by);
    }
    const Keys held_before = keys_holding(members);
    const Keys held_after = keys_holding(result);
    Keys candidates = keys;
    candidates.insert(held_after.begin(), held_after.end());
    candidates.insert(start);
    Keys new_keys;
    for (const std::uint32_t k : candidates) {
      const bool in_run = first <= k && k <= top;
      bool present;
      if (!in_run) {
        present = keys.count(k) != 0;
      } else if (held_after.count(k) != 0 || k == start) {
        present = true;
      } else if (k > start) {
        present = keys.count(k) != 0 && held_before.count(k) == 0;
      } else {
        present = keys.count(k) != 0;
      }
      if (present) new_keys.insert(k);
    }
    members.swap(result);
    keys.swap(new_keys);
    return true;
  }

  // Moves the members at or above position up by `by`; false: refused (a member would pass
  // 2^64 - 1). The bucket of position stays present, and every key that receives members.
  bool expand(std::uint64_t position, std::uint64_t by) {
    if (members.empty() || position > *members.rbegin()) return true;
    if (by > MAX_POSITION - *members.rbegin()) return false;
    Members result(members.begin(), members.lower_bound(position));
    for (auto it = members.lower_bound(position); it != members.end(); ++it) result.insert(*it + by);
    members.swap(result);
    keys.insert(high_bits(position));
    const Keys held = keys_holding(members);
    keys.insert(held.begin(), held.end());
    return true;
  }
};

}  // namespace quorvel::testing
