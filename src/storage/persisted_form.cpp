// Sizing, writing and reading the persisted form of a Bitmap (layout in persisted_form.hpp).
#include "persisted_form.hpp"

#include <stdexcept>
#include <string>
#include <vector>

#include "allocation.hpp"
#include "bitmap.hpp"

namespace quorvel::storage {

namespace {

using namespace persisted_form;

std::size_t payload_size(const Roaring32& values, bool portable) noexcept {
  return portable ? roaring_bitmap_portable_size_in_bytes(values.get())
                  : roaring_bitmap_size_in_bytes(values.get());
}

std::size_t serialize(const Roaring32& values, std::uint8_t* out, bool portable) noexcept {
  char* bytes = reinterpret_cast<char*>(out);
  return portable ? roaring_bitmap_portable_serialize(values.get(), bytes)
                  : roaring_bitmap_serialize(values.get(), bytes);
}

[[noreturn]] void truncated(std::uint64_t record, std::uint64_t count, const std::string& detail) {
  throw std::invalid_argument("persisted form truncated in record " + std::to_string(record + 1) + " of " +
                              std::to_string(count) + ": " + detail);
}

// Decodes one payload of exactly `size` bytes (the decoder may use fewer); null or an inconsistent
// bitmap fails the whole read. An inconsistent one is left to the scope to free: clearing it through
// CRoaring is not safe.
Roaring32 decode(const std::uint8_t* payload, std::size_t size, bool portable) {
  return built_in_scope([&] {
    roaring_bitmap_t* decoded =
        portable ? roaring_bitmap_portable_deserialize_safe(reinterpret_cast<const char*>(payload), size)
                 : roaring_bitmap_deserialize_safe(payload, size);
    if (decoded == nullptr) throw std::runtime_error("failed alloc while reading");
    Roaring32 values = Roaring32::adopt(decoded);
    if (!roaring_bitmap_internal_validate(values.get(), nullptr))
      throw std::runtime_error("failed alloc while reading");
    return values;
  });
}

void optimize_runs(Bitmap::Buckets& buckets) {
  std::size_t containers = 0;
  for (const auto& [key, values] : buckets) containers += values.container_count();
  std::vector<Roaring32::Layout> before;
  before.reserve(buckets.size());
  AllocationScope scope(containers);  // each replaced container is released in it
  try {
    for (auto& [key, values] : buckets) {
      before.push_back(values.layout());
      values.optimize_runs();
    }
  } catch (...) {
    auto bucket = buckets.begin();
    for (const Roaring32::Layout& layout : before) (bucket++)->second.restore(layout);
    throw;
  }
  scope.commit();
}

}  // namespace

// Run optimisation and shrinking change how buckets are held (never their members), and they
// stay in effect for the next write. Optimisation replaces containers; a failure puts every bucket's
// old ones back. Shrinking cannot fail (Roaring32::shrink). Neither is repeated while nothing has
// changed since it was done, so that sizing an unchanged Bitmap again costs nothing and keeps its
// stamp (live iterators go on).
std::uint64_t Bitmap::persisted_size(bool portable, bool optimize, bool shrink) {
  optimize = optimize && optimized_at_ != modifications_;
  shrink = shrink && shrunk_at_ != modifications_;
  if (optimize || shrink) {
    if (optimize) optimize_runs(buckets_);
    if (shrink) {
      for (auto& [key, values] : buckets_) values.shrink();
    }
    const bool optimized = optimize || optimized_at_ == modifications_;
    const bool shrunk = shrink || shrunk_at_ == modifications_;
    const bool counted = cardinality_.stamp == modifications_;
    note_change();
    if (optimized) optimized_at_ = modifications_;
    if (shrunk) shrunk_at_ = modifications_;
    if (counted) cardinality_.stamp = modifications_;  // members are unchanged
  }
  return form_size(portable);
}

std::uint64_t Bitmap::form_size(bool portable) const noexcept {
  Stamped& cached = form_sizes_[portable ? 1 : 0];
  if (cached.stamp != modifications_) {
    std::uint64_t total = COUNT_BYTES;
    for (const auto& [key, values] : buckets_) total += RECORD_HEADER_BYTES + payload_size(values, portable);
    cached = {modifications_, total};
  }
  return cached.value;
}

std::size_t Bitmap::write(std::uint8_t* out, std::size_t capacity, bool portable) const {
  const std::uint64_t needed = form_size(portable);
  if (capacity < needed) {
    throw std::invalid_argument("buffer too small for the persisted form: " + std::to_string(needed) +
                                " bytes needed, " + std::to_string(capacity) + " given");
  }
  store_le(out, buckets_.size(), COUNT_BYTES);
  std::size_t offset = COUNT_BYTES;
  for (const auto& [key, values] : buckets_) {
    std::uint8_t* record = out + offset;
    store_le(record, key, KEY_BYTES);
    const std::size_t length = serialize(values, record + RECORD_HEADER_BYTES, portable);
    store_le(record + KEY_BYTES, length, LENGTH_BYTES);
    offset += RECORD_HEADER_BYTES + length;
  }
  return offset;
}

Bitmap Bitmap::read(const std::uint8_t* data, std::size_t size, bool portable, Input input) {
  if (size < COUNT_BYTES) {
    throw std::invalid_argument("persisted form truncated: " + std::to_string(size) +
                                " bytes, the bucket count alone needs 8");
  }
  const std::uint64_t count = load_le(data, COUNT_BYTES);
  const std::uint64_t room = (size - COUNT_BYTES) / RECORD_HEADER_BYTES;
  if (count > room) {
    throw std::invalid_argument("persisted form claims " + std::to_string(count) + " buckets, but its " +
                                std::to_string(size) + " bytes hold at most " + std::to_string(room));
  }
  Bitmap result;
  std::vector<std::uint8_t> copy;  // of a payload that may change: read from the caller's buffer once, here
  std::size_t offset = COUNT_BYTES;
  for (std::uint64_t record = 0; record < count; ++record) {
    const std::size_t left = size - offset;
    if (left < RECORD_HEADER_BYTES) {
      truncated(record, count,
                "its 12-byte header starts at offset " + std::to_string(offset) + ", " +
                    std::to_string(left) + " bytes remain");
    }
    const auto key = static_cast<std::uint32_t>(load_le(data + offset, KEY_BYTES));
    const std::uint64_t length = load_le(data + offset + KEY_BYTES, LENGTH_BYTES);
    if (length > left - RECORD_HEADER_BYTES) {
      truncated(record, count,
                "bucket " + std::to_string(key) + " claims a payload of " + std::to_string(length) +
                    " bytes, " + std::to_string(left - RECORD_HEADER_BYTES) + " remain");
    }
    const auto payload_length = static_cast<std::size_t>(length);
    const std::uint8_t* payload = data + offset + RECORD_HEADER_BYTES;
    if (input == Input::MAY_CHANGE) {
      copy.assign(payload, payload + payload_length);
      payload = copy.data();
    }
    result.buckets_.insert_or_assign(key, decode(payload, payload_length, portable));
    offset += RECORD_HEADER_BYTES + payload_length;
  }
  return result;
}

}  // namespace quorvel::storage
