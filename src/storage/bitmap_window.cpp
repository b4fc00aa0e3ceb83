// Slice, contract and expand (placeholder until implemented).
#include <stdexcept>

#include "storage/bitmap.hpp"

namespace quorvel::storage {

Bitmap Bitmap::slice(std::uint64_t, std::uint64_t) const { throw std::logic_error("not implemented"); }
void Bitmap::contract(std::uint64_t, std::uint64_t) { throw std::logic_error("not implemented"); }
void Bitmap::expand(std::uint64_t, std::uint64_t) { throw std::logic_error("not implemented"); }

}  // namespace quorvel::storage
