// Roaring32: owns one CRoaring 32-bit bitmap (a bucket of Bitmap) with value semantics.
#pragma once

#include <roaring/roaring.h>

#include <cstdint>
#include <new>
#include <stdexcept>

namespace quorvel::storage {

class Roaring32 {
 public:
  Roaring32() noexcept { roaring_bitmap_init_cleared(&bitmap_); }

  // Takes over a heap bitmap returned by CRoaring (offsets, deserializers); `owned` may be null
  // when CRoaring ran out of memory, which is reported as std::bad_alloc.
  static Roaring32 adopt(roaring_bitmap_t* owned) {
    if (owned == nullptr) throw std::bad_alloc();
    Roaring32 result;
    result.bitmap_ = *owned;
    roaring_free(owned);  // the shell only; the containers now belong to `result`
    return result;
  }

  // Deep copy; CRoaring's copy-on-write flag travels with the contents (it is never switched on).
  Roaring32(const Roaring32& other) {
    roaring_bitmap_init_cleared(&bitmap_);
    if (!roaring_bitmap_overwrite(&bitmap_, &other.bitmap_)) {
      roaring_bitmap_clear(&bitmap_);
      throw std::runtime_error("failed roaring_bitmap_overwrite in constructor");
    }
    roaring_bitmap_set_copy_on_write(&bitmap_, roaring_bitmap_get_copy_on_write(&other.bitmap_));
  }

  Roaring32(Roaring32&& other) noexcept : bitmap_(other.bitmap_) {
    roaring_bitmap_init_cleared(&other.bitmap_);
  }

  Roaring32& operator=(const Roaring32& other) {
    if (this != &other) {
      if (!roaring_bitmap_overwrite(&bitmap_, &other.bitmap_)) {
        throw std::runtime_error("failed memory alloc in assignment");
      }
      roaring_bitmap_set_copy_on_write(&bitmap_, roaring_bitmap_get_copy_on_write(&other.bitmap_));
    }
    return *this;
  }

  Roaring32& operator=(Roaring32&& other) noexcept {
    if (this != &other) {
      roaring_bitmap_clear(&bitmap_);
      bitmap_ = other.bitmap_;
      roaring_bitmap_init_cleared(&other.bitmap_);
    }
    return *this;
  }

  ~Roaring32() { roaring_bitmap_clear(&bitmap_); }

  roaring_bitmap_t* get() noexcept { return &bitmap_; }
  const roaring_bitmap_t* get() const noexcept { return &bitmap_; }

  bool empty() const noexcept { return roaring_bitmap_is_empty(&bitmap_); }
  std::uint64_t cardinality() const noexcept { return roaring_bitmap_get_cardinality(&bitmap_); }
  bool contains(std::uint32_t value) const noexcept { return roaring_bitmap_contains(&bitmap_, value); }
  std::uint32_t minimum() const noexcept { return roaring_bitmap_minimum(&bitmap_); }
  std::uint32_t maximum() const noexcept { return roaring_bitmap_maximum(&bitmap_); }
  // Number of CRoaring containers (one per distinct upper 16 bits of the members).
  std::uint64_t container_count() const noexcept {
    return static_cast<std::uint64_t>(bitmap_.high_low_container.size);
  }

 private:
  roaring_bitmap_t bitmap_;
};

}  // namespace quorvel::storage
