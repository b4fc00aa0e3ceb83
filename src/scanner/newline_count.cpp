// Newline counting: 32 bytes at a time into byte counters where the processor has AVX2; elsewhere
// std::count, which compilers vectorize less well.
#include "newline_count.hpp"

#include <algorithm>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace {

std::size_t count_bytewise(const std::uint8_t* data, std::size_t size) noexcept {
  return static_cast<std::size_t>(std::count(data, data + size, std::uint8_t{'\n'}));
}

#if defined(__x86_64__)

// Each byte counter takes at most 255 matches before the counters are summed.
constexpr std::size_t ROUNDS = 255;

__attribute__((target("avx2"))) std::size_t count_avx2(const std::uint8_t* data, std::size_t size) noexcept {
  constexpr std::size_t LANES = sizeof(__m256i);
  const __m256i newline = _mm256_set1_epi8('\n');
  std::size_t total = 0;
  while (size >= LANES) {
    const std::size_t rounds = std::min(size / LANES, ROUNDS);
    __m256i counters = _mm256_setzero_si256();
    for (std::size_t round = 0; round < rounds; ++round, data += LANES) {
      const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data));
      counters = _mm256_sub_epi8(counters, _mm256_cmpeq_epi8(bytes, newline));  // a match is -1
    }
    const __m256i sums = _mm256_sad_epu8(counters, _mm256_setzero_si256());  // four 64-bit sums
    total += static_cast<std::size_t>(_mm256_extract_epi64(sums, 0) + _mm256_extract_epi64(sums, 1) +
                                      _mm256_extract_epi64(sums, 2) + _mm256_extract_epi64(sums, 3));
    size -= rounds * LANES;
  }
  return total + count_bytewise(data, size);
}

#endif

}  // namespace

std::size_t count_newlines(const std::uint8_t* data, std::size_t size) noexcept {
#if defined(__x86_64__)
  static const bool has_avx2 = __builtin_cpu_supports("avx2");
  if (has_avx2) return count_avx2(data, size);
#endif
  return count_bytewise(data, size);
}
