// Persisted form (placeholder until implemented).
#include <stdexcept>

#include "storage/bitmap.hpp"

namespace quorvel::storage {

std::uint64_t Bitmap::persisted_size(bool, bool, bool) { throw std::logic_error("not implemented"); }
std::size_t Bitmap::write(std::uint8_t*, std::size_t, bool) const { throw std::logic_error("not implemented"); }
Bitmap Bitmap::read(const std::uint8_t*, std::size_t, bool) { throw std::logic_error("not implemented"); }

}  // namespace quorvel::storage
