// Member export, container by container. Reads CRoaring's container structs, those of the release
// that roaring32.cpp checks.
#include "member_export.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quorvel::storage {

namespace {

namespace internal = roaring::internal;

constexpr std::size_t BITSET_WORDS = internal::BITSET_CONTAINER_SIZE_IN_WORDS;
constexpr std::uint64_t CONTAINER_SPAN = std::uint64_t{1} << 16;
// Runs at least this long are streamed: shorter ones cover too few whole cache lines to gain.
constexpr std::uint64_t STREAMED_RUN = 64;
// Set bits are decoded this many at a time, without a test per bit.
constexpr int DECODE_BLOCK = 8;

// Writes first, first + 1, ..., first + count - 1 to out. With `streaming`, the bulk goes out in
// non-temporal stores, which skip reading the destination's cache lines first: for an output far
// larger than the cache that is a third less memory traffic.
void fill_consecutive(std::uint64_t* out, std::uint64_t first, std::uint64_t count, bool streaming) noexcept {
  std::uint64_t i = 0;
#if defined(__SSE2__)
  if (streaming) {
    if (reinterpret_cast<std::uintptr_t>(out) % 16 != 0) out[i++] = first;
    __m128i pair = _mm_set_epi64x(static_cast<long long>(first + i + 1), static_cast<long long>(first + i));
    const __m128i two = _mm_set1_epi64x(2);
    for (; i + 2 <= count; i += 2) {
      _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), pair);
      pair = _mm_add_epi64(pair, two);
    }
  }
#else
  (void)streaming;
#endif
  for (; i < count; ++i) out[i] = first + i;
}

// Lowest set bit of `word`; 63 for 0, so that a block may decode past the last bit.
int lowest_bit(std::uint64_t word) noexcept { return __builtin_ctzll(word | (std::uint64_t{1} << 63)); }

// Writes base + the place of each set bit of `word`, ascending, and returns the end. In blocks of
// DECODE_BLOCK, one branch per block: may write up to DECODE_BLOCK - 1 scratch values past the end.
std::uint64_t* decode_word_in_blocks(std::uint64_t word, std::uint64_t base, std::uint64_t* out) noexcept {
  const int count = __builtin_popcountll(word);
  for (int done = 0; done < count; done += DECODE_BLOCK) {
    for (int i = 0; i < DECODE_BLOCK; ++i) {
      out[done + i] = base + static_cast<std::uint64_t>(lowest_bit(word));
      word &= word - 1;
    }
  }
  return out + count;
}

// As decode_word_in_blocks, writing nothing past the end.
std::uint64_t* decode_word(std::uint64_t word, std::uint64_t base, std::uint64_t* out) noexcept {
  for (; word != 0; word &= word - 1) *out++ = base + static_cast<std::uint64_t>(lowest_bit(word));
  return out;
}

std::uint64_t* export_bitset(const internal::bitset_container_t& bits, std::uint64_t base, std::uint64_t* out,
                             std::uint64_t* end) noexcept {
  constexpr std::ptrdiff_t MOST_PER_WORD = 64;  // the most a block decode may write
  std::size_t w = 0;
  for (; w < BITSET_WORDS && end - out >= MOST_PER_WORD; ++w) {
    out = decode_word_in_blocks(bits.words[w], base + 64 * w, out);
  }
  for (; w < BITSET_WORDS; ++w) out = decode_word(bits.words[w], base + 64 * w, out);
  return out;
}

std::uint64_t* export_array(const internal::array_container_t& array, std::uint64_t base,
                            std::uint64_t* out) noexcept {
  for (std::int32_t i = 0; i < array.cardinality; ++i) out[i] = base | array.array[i];
  return out + array.cardinality;
}

std::uint64_t* export_runs(const internal::run_container_t& runs, std::uint64_t base, std::uint64_t* out,
                           bool streaming) noexcept {
  for (std::int32_t i = 0; i < runs.n_runs; ++i) {
    const std::uint64_t length = std::uint64_t{runs.runs[i].length} + 1;
    fill_consecutive(out, base | runs.runs[i].value, length, streaming && length >= STREAMED_RUN);
    out += length;
  }
  return out;
}

// Eight mask bytes (0 or 1) for each byte of bitset bits, the lowest bit first.
struct ByteSpread {
  unsigned char bytes[256][8] = {};
  constexpr ByteSpread() {
    for (unsigned byte = 0; byte < 256; ++byte) {
      for (unsigned bit = 0; bit < 8; ++bit) bytes[byte][bit] = static_cast<unsigned char>(byte >> bit & 1);
    }
  }
};
constexpr ByteSpread BYTE_SPREAD;

// Writes the 2^16 mask elements of a bitset container: `value` for its members, else !value.
void mark_bitset_whole(const internal::bitset_container_t& bits, bool* mask, bool value) noexcept {
  const std::uint64_t flip = value ? 0 : 0x0101010101010101u;  // every byte's 0/1 inverted
  auto* out = reinterpret_cast<unsigned char*>(mask);
  for (std::size_t w = 0; w < BITSET_WORDS; ++w) {
    std::uint64_t word = bits.words[w];
    for (int byte = 0; byte < 8; ++byte, word >>= 8, out += 8) {
      std::uint64_t eight;
      std::memcpy(&eight, BYTE_SPREAD.bytes[word & 0xFF], sizeof eight);
      eight ^= flip;
      std::memcpy(out, &eight, sizeof eight);
    }
  }
}

void mark_bitset_members(const internal::bitset_container_t& bits, bool* mask, std::uint64_t first,
                         bool value) noexcept {
  for (std::size_t w = 0; w < BITSET_WORDS; ++w) {
    for (std::uint64_t word = bits.words[w]; word != 0; word &= word - 1) {
      mask[first + 64 * w + static_cast<std::uint64_t>(lowest_bit(word))] = value;
    }
  }
}

// Containers are apart in memory, each with its values apart again: with one member each, the walk
// waits on two cache misses per member unless it asks for later containers ahead of time.
constexpr std::int32_t PREFETCH_AHEAD = 16;

void prefetch_values(const internal::container_t* values, std::uint8_t kind) noexcept {
  switch (kind) {
    case BITSET_CONTAINER_TYPE:
      __builtin_prefetch(static_cast<const internal::bitset_container_t*>(values)->words);
      break;
    case ARRAY_CONTAINER_TYPE:
      __builtin_prefetch(static_cast<const internal::array_container_t*>(values)->array);
      break;
    case RUN_CONTAINER_TYPE:
      __builtin_prefetch(static_cast<const internal::run_container_t*>(values)->runs);
      break;
    default: break;  // shared: never made by this library
  }
}

// Asks for the container `at` places ahead of `i`, and for the values of the one half as far ahead.
void prefetch_ahead(const roaring_array_t& index, std::int32_t i) noexcept {
  if (i + PREFETCH_AHEAD < index.size) __builtin_prefetch(index.containers[i + PREFETCH_AHEAD]);
  if (i + PREFETCH_AHEAD / 2 < index.size) {
    prefetch_values(index.containers[i + PREFETCH_AHEAD / 2], index.typecodes[i + PREFETCH_AHEAD / 2]);
  }
}

// Calls visit(values, kind, low) for each container of `bucket` in key order, `low` being its
// first low value (key << 16), and asks for the later containers ahead.
template <class Visit>
void for_each_container(const roaring_bitmap_t& bucket, Visit&& visit) noexcept {
  const roaring_array_t& index = bucket.high_low_container;
  const std::int32_t count = index.size;  // read once: the visitor's stores may alias it for the compiler
  for (std::int32_t i = 0; i < count; ++i) {
    prefetch_ahead(index, i);
    std::uint8_t kind = index.typecodes[i];
    const internal::container_t* values = internal::container_unwrap_shared(index.containers[i], &kind);
    visit(values, kind, std::uint64_t{index.keys[i]} << 16);
  }
}

}  // namespace

std::uint64_t* export_members(const roaring_bitmap_t& bucket, std::uint64_t high, std::uint64_t* out,
                              std::uint64_t* end, bool streaming) noexcept {
  for_each_container(bucket, [&](const internal::container_t* values, std::uint8_t kind, std::uint64_t low) {
    const std::uint64_t base = high | low;
    switch (kind) {
      case BITSET_CONTAINER_TYPE:
        out = export_bitset(*static_cast<const internal::bitset_container_t*>(values), base, out, end);
        break;
      case ARRAY_CONTAINER_TYPE:
        out = export_array(*static_cast<const internal::array_container_t*>(values), base, out);
        break;
      default:
        out = export_runs(*static_cast<const internal::run_container_t*>(values), base, out, streaming);
    }
  });
  return out;
}

void finish_streaming() noexcept {
#if defined(__SSE2__)
  _mm_sfence();  // order the non-temporal stores before the output is handed out
#endif
}

std::uint64_t mark_members(const roaring_bitmap_t& bucket, bool* mask, std::uint64_t length,
                           std::uint64_t base, std::uint64_t filled, bool value) noexcept {
  const auto fill_to = [&](std::uint64_t to) {  // the non-members before the next write
    std::memset(mask + filled, !value, to - filled);
    filled = to;
  };
  for_each_container(bucket, [&](const internal::container_t* values, std::uint8_t kind, std::uint64_t low) {
    const std::uint64_t first = base + low;  // mask index of the container's low 0
    if (kind == RUN_CONTAINER_TYPE) {
      const auto& runs = *static_cast<const internal::run_container_t*>(values);
      for (std::int32_t k = 0; k < runs.n_runs; ++k) {
        fill_to(first + runs.runs[k].value);
        const std::size_t run_length = std::size_t{runs.runs[k].length} + 1;
        std::memset(mask + filled, value, run_length);
        filled += run_length;
      }
    } else if (kind == BITSET_CONTAINER_TYPE && first < length && length - first >= CONTAINER_SPAN) {
      fill_to(first);
      mark_bitset_whole(*static_cast<const internal::bitset_container_t*>(values), mask + first, value);
      filled = first + CONTAINER_SPAN;
    } else {
      // An array, or a bitset that an end of the mask cuts: the part of its span inside the mask
      // (modulo 2^64, its first index may lie before the mask) is filled, then its members marked.
      fill_to(std::min(length, first + CONTAINER_SPAN));
      if (kind == BITSET_CONTAINER_TYPE) {
        mark_bitset_members(*static_cast<const internal::bitset_container_t*>(values), mask, first, value);
      } else {
        const auto& array = *static_cast<const internal::array_container_t*>(values);
        for (std::int32_t k = 0; k < array.cardinality; ++k) mask[first + array.array[k]] = value;
      }
    }
  });
  return filled;
}

}  // namespace quorvel::storage
