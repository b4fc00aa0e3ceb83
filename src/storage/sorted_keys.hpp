// Search of a sorted array of distinct keys that are spread about evenly: the container keys of a
// bucket, the bucket keys of a Bitmap.
#pragma once

#include <algorithm>
#include <cstdint>
#include <type_traits>

namespace quorvel::storage {

inline constexpr std::int64_t SHORT_KEYS = 32;  // searched by one pass of comparisons
// Longer arrays, up to WINDOWED_UP_TO keys, first count the WINDOW keys around an interpolated guess;
// beyond, a guess is rarely that close.
inline constexpr std::int64_t WINDOW = SHORT_KEYS;
inline constexpr std::int64_t WINDOWED_UP_TO = 4096;

// Search of more than SHORT_KEYS keys (below).
template <class Key>
std::int64_t find_key_spread(const Key* keys, std::int64_t count, Key key) noexcept;

// How many of keys[0, count) are smaller than `key`: one pass without a branch per key, which the
// compiler vectorises.
template <class Key>
inline std::int64_t count_below(const Key* keys, std::int64_t count, Key key) noexcept {
  std::int64_t below = 0;
  for (std::int64_t i = 0; i < count; ++i) below += keys[i] < key;
  return below;
}

// Where `key` is in keys[0, count), or -(where it would go) - 1, as CRoaring's ra_get_index
// answers. A few keys are counted in one pass, inline: most buckets hold a handful of containers,
// and most Bitmaps a handful of buckets.
template <class Key>
inline std::int64_t find_key(const Key* keys, std::int64_t count, Key key) noexcept {
  if (count > SHORT_KEYS) return find_key_spread(keys, count, key);
  // A cache line or two of keys: counting the smaller ones costs less than the division below.
  const std::int64_t below = count_below(keys, count, key);
  return below < count && keys[below] == key ? below : -(below + 1);
}

// The search starts where an even spread between the first and the last key puts `key` (exact for
// consecutive keys). Up to a few thousand keys spread about evenly, the answer nearly always lies
// among the WINDOW keys around that guess, which are counted in one pass: no branch to mispredict
// per step. Else every step bounds the rest, since keys i places apart differ by at least i; it
// gallops out from the guess. Far fewer cache misses than a binary search of a large array.
template <class Key>
[[gnu::noinline]] std::int64_t find_key_spread(const Key* keys, std::int64_t count, Key key) noexcept {
  if (key < keys[0]) return -1;
  if (key >= keys[count - 1]) return key == keys[count - 1] ? count - 1 : -(count + 1);
  // offset < spread <= Key's range, and count - 1 <= spread: the product fits Wide, and for 16-bit
  // keys the division is a 32-bit one, which is several times faster.
  using Wide = std::conditional_t<sizeof(Key) <= 2, std::uint32_t, std::uint64_t>;
  const Wide spread = Wide{keys[count - 1]} - keys[0];
  const Wide offset = Wide{key} - keys[0];
  // Consecutive keys (containers of a dense stretch) put `key` at its offset, without a division.
  const auto guess = static_cast<std::int64_t>(
      spread == static_cast<Wide>(count - 1) ? offset : offset * static_cast<Wide>(count - 1) / spread);
  if (keys[guess] == key) return guess;
  if (count <= WINDOWED_UP_TO) {
    const std::int64_t first = std::clamp<std::int64_t>(guess - WINDOW / 2, 0, count - WINDOW);
    if (keys[first] < key && key <= keys[first + WINDOW - 1]) {
      const std::int64_t at = first + count_below(keys + first, WINDOW, key);
      return keys[at] == key ? at : -(at + 1);
    }
  }
  std::int64_t low = 0;  // the answer lies in [low, high)
  std::int64_t high = 0;
  if (keys[guess] < key) {
    low = guess + 1;
    high = std::min<std::int64_t>(count, guess + 1 + static_cast<std::int64_t>(key - keys[guess]));
    std::int64_t step = 1;
    for (; low + step < high && keys[low + step - 1] < key; step *= 2) low += step;
    high = std::min(high, low + step);
  } else {
    high = guess;
    low = std::max<std::int64_t>(0, guess - static_cast<std::int64_t>(keys[guess] - key));
    std::int64_t step = 1;
    for (; high - step > low && keys[high - step] > key; step *= 2) high -= step;
    low = std::max(low, high - step);
  }
  while (low < high) {
    const std::int64_t middle = (low + high) / 2;
    if (keys[middle] == key) return middle;
    if (keys[middle] < key) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  return -(low + 1);
}

}  // namespace quorvel::storage
