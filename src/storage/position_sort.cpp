// Byte-wise LSD radix sort of 64-bit positions.
#include "position_sort.hpp"

#include <array>

namespace quorvel::storage {

namespace {

constexpr std::size_t BYTES = 8;
constexpr std::size_t DIGITS = 256;
using Histograms = std::array<std::array<std::size_t, DIGITS>, BYTES>;

unsigned digit(std::uint64_t value, std::size_t byte) noexcept {
  return static_cast<unsigned>(value >> (8 * byte)) & 0xFF;
}

// Counts every byte position's digits in one pass.
Histograms count_digits(const std::uint64_t* values, std::size_t count) noexcept {
  Histograms histograms{};
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t byte = 0; byte < BYTES; ++byte) ++histograms[byte][digit(values[i], byte)];
  }
  return histograms;
}

}  // namespace

bool is_sorted(const std::uint64_t* values, std::size_t count) noexcept {
  for (std::size_t i = 1; i < count; ++i) {
    if (values[i] < values[i - 1]) return false;
  }
  return true;
}

void sort_positions(std::vector<std::uint64_t>& values) {
  const std::size_t count = values.size();
  if (count < 2) return;
  std::vector<std::uint64_t> scratch(count);
  Histograms histograms = count_digits(values.data(), count);
  for (std::size_t byte = 0; byte < BYTES; ++byte) {
    auto& histogram = histograms[byte];
    if (histogram[digit(values[0], byte)] == count) continue;  // every value shares this byte
    std::size_t offset = 0;
    for (auto& slot : histogram) {
      const std::size_t size = slot;
      slot = offset;
      offset += size;
    }
    for (const std::uint64_t value : values) scratch[histogram[digit(value, byte)]++] = value;
    values.swap(scratch);
  }
}

}  // namespace quorvel::storage
