// Bitmap construction, copying, one-position operations and whole-set queries.
#include "bitmap.hpp"
#include "bucket_walks.hpp"

#include <stdexcept>
#include <utility>

namespace quorvel::storage {

Bitmap::Bitmap() { buckets_.emplace(0, Roaring32()); }

Bitmap::Bitmap(Bitmap&& other) noexcept
    : buckets_(std::move(other.buckets_)),
      modifications_(other.modifications_),
      cardinality_(other.cardinality_),
      form_sizes_{other.form_sizes_[0], other.form_sizes_[1]},
      optimized_at_(other.optimized_at_),
      shrunk_at_(other.shrunk_at_) {
  other.buckets_.clear();
  other.note_change();
}

Bitmap& Bitmap::operator=(const Bitmap& other) {
  if (this != &other) {
    Buckets copy = other.buckets_;  // copy first: a failed copy leaves *this unchanged
    buckets_.swap(copy);
    note_change();
  }
  return *this;
}

Bitmap& Bitmap::operator=(Bitmap&& other) noexcept {
  if (this != &other) {
    buckets_ = std::move(other.buckets_);
    other.buckets_.clear();
    note_change();
    other.note_change();
  }
  return *this;
}

void Bitmap::install(Buckets& changed) noexcept {
  for (auto& [key, values] : changed) {
    const auto found = buckets_.find(key);
    if (found != buckets_.end()) found->second.swap(values);
  }
  buckets_.merge(changed);
}

Roaring32* Bitmap::find_bucket(std::uint32_t key) noexcept {
  return const_cast<Roaring32*>(std::as_const(*this).find_bucket(key));  // our own, non-const bucket
}

// A new bucket is built whole before its node joins the map, so a failure adds no empty bucket.
template <void (Roaring32::*Change)(std::uint32_t)>
void Bitmap::change_or_create(std::uint64_t position) {
  if (Roaring32* values = find_bucket(high_bits(position))) {
    (values->*Change)(low_bits(position));
    return note_change_within_buckets();
  }
  Roaring32 fresh;
  (fresh.*Change)(low_bits(position));
  buckets_.emplace(high_bits(position), std::move(fresh));
  note_change();
}

void Bitmap::set(std::uint64_t position) { change_or_create<&Roaring32::add>(position); }

void Bitmap::flip(std::uint64_t position) { change_or_create<&Roaring32::flip>(position); }

void Bitmap::unset(std::uint64_t position) {
  Roaring32* values = find_bucket(high_bits(position));
  if (values == nullptr) return;
  values->remove(low_bits(position));
  note_change_within_buckets();
}

// The sum is cached under the modification stamp; the full set, whose count does not fit, is not.
std::uint64_t Bitmap::cardinality() const {
  if (cardinality_.stamp == modifications_) return cardinality_.value;
  if (buckets_.size() == BUCKET_SPAN) {
    bool full = true;
    for (const auto& [key, values] : buckets_) {
      if (values.cardinality() != BUCKET_SPAN) {
        full = false;
        break;
      }
    }
    if (full) {
      throw std::length_error("bitmap is full, cardinality is 2^64, unable to represent in a 64-bit integer");
    }
  }
  std::uint64_t total = 0;
  for (const auto& [key, values] : buckets_) total += values.cardinality();
  cardinality_ = {modifications_, total};
  return total;
}

bool Bitmap::empty() const noexcept {
  for (const auto& [key, values] : buckets_) {
    if (!values.empty()) return false;
  }
  return true;
}

std::optional<std::uint64_t> Bitmap::first() const noexcept {
  return edge_member(buckets_.begin(), buckets_.end(), &Roaring32::minimum);
}

std::optional<std::uint64_t> Bitmap::last() const noexcept {
  return edge_member(buckets_.rbegin(), buckets_.rend(), &Roaring32::maximum);
}

std::uint64_t Bitmap::in_memory_size() const noexcept {
  std::uint64_t containers = 0;
  for (const auto& [key, values] : buckets_) containers += values.container_count();
  return containers;
}

}  // namespace quorvel::storage
