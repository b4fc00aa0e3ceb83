// Rank and select (placeholder until implemented).
#include <stdexcept>

#include "storage/bitmap.hpp"

namespace quorvel::storage {

std::uint64_t Bitmap::lower_cardinality(std::uint64_t) const noexcept { return 0; }
std::uint64_t Bitmap::upper_cardinality(std::uint64_t) const noexcept { return 0; }
std::uint64_t Bitmap::nth(std::uint64_t) const { throw std::logic_error("not implemented"); }
std::optional<std::uint64_t> Bitmap::self_or_next(std::uint64_t) { throw std::logic_error("not implemented"); }
std::optional<std::uint64_t> Bitmap::self_or_previous(std::uint64_t) { throw std::logic_error("not implemented"); }

}  // namespace quorvel::storage
