// Set algebra and comparison (placeholder until implemented).
#include <stdexcept>

#include "storage/bitmap.hpp"

namespace quorvel::storage {

Bitmap& Bitmap::inplace_union(const Bitmap&) { throw std::logic_error("not implemented"); }
Bitmap& Bitmap::inplace_intersect(const Bitmap&) { throw std::logic_error("not implemented"); }
Bitmap& Bitmap::inplace_difference(const Bitmap&) { throw std::logic_error("not implemented"); }
Bitmap& Bitmap::inplace_symmetric_difference(const Bitmap&) { throw std::logic_error("not implemented"); }
bool Bitmap::operator==(const Bitmap&) const noexcept { return false; }
bool Bitmap::subset_of(const Bitmap&) const noexcept { return false; }
bool Bitmap::strict_subset_of(const Bitmap&) const { throw std::logic_error("not implemented"); }

Bitmap operator|(const Bitmap& a, const Bitmap& b) { return Bitmap(a).inplace_union(b); }
Bitmap operator&(const Bitmap& a, const Bitmap& b) { return Bitmap(a).inplace_intersect(b); }
Bitmap operator-(const Bitmap& a, const Bitmap& b) { return Bitmap(a).inplace_difference(b); }
Bitmap operator^(const Bitmap& a, const Bitmap& b) { return Bitmap(a).inplace_symmetric_difference(b); }

}  // namespace quorvel::storage
