// Newline counting, sixteen bytes at a time on x86-64 (SSE2 is part of it).
#include "newline_count.hpp"

#include <algorithm>

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace {

std::size_t count_bytewise(const std::uint8_t* data, std::size_t size) noexcept {
  return static_cast<std::size_t>(std::count(data, data + size, std::uint8_t{'\n'}));
}

}  // namespace

#if defined(__SSE2__) && defined(__x86_64__)

// Each lane of a byte counter takes at most 255 matches before the counters are summed.
std::size_t count_newlines(const std::uint8_t* data, std::size_t size) noexcept {
  constexpr std::size_t LANES = sizeof(__m128i);
  constexpr std::size_t ROUNDS = 255;
  const __m128i newline = _mm_set1_epi8('\n');
  std::size_t total = 0;
  while (size >= LANES) {
    const std::size_t rounds = std::min(size / LANES, ROUNDS);
    __m128i counters = _mm_setzero_si128();
    for (std::size_t round = 0; round < rounds; ++round, data += LANES) {
      const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data));
      counters = _mm_sub_epi8(counters, _mm_cmpeq_epi8(bytes, newline));  // a match is -1
    }
    const __m128i sums = _mm_sad_epu8(counters, _mm_setzero_si128());  // two 64-bit sums
    total += static_cast<std::size_t>(_mm_cvtsi128_si64(sums)) +
             static_cast<std::size_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    size -= rounds * LANES;
  }
  return total + count_bytewise(data, size);
}

#else

std::size_t count_newlines(const std::uint8_t* data, std::size_t size) noexcept {
  return count_bytewise(data, size);
}

#endif
