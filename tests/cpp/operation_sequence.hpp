// Runs a byte string as a sequence of operations on two Bitmaps and on their BitmapModels, and
// compares each Bitmap with its model after every step. Shared by the C++ tests (seeded random
// bytes) and the operations fuzzer (arbitrary bytes).
//
// Positions are drawn near bucket boundaries and the ends of the 64-bit range, ranges are at most
// 255 positions long (set and flip create every bucket of their span, so spans stay within two
// buckets), and wide spans are used only where they create nothing (unset, all, any, slice,
// contract, expand): the models stay small and each step is cheap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "bitmap_model.hpp"

namespace quorvel::testing {

// Reads bytes front to back; once they run out every read yields 0.
class ByteSource {
 public:
  ByteSource(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

  bool exhausted() const { return at_ >= size_; }
  std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }

  // An anchor (a bucket or container boundary, or 0, whose negative offsets wrap to the top of
  // the range) plus an offset in [-128, 128); or one of 256 containers of bucket 5, so that a
  // bucket holds enough containers to stage those that single positions open.
  std::uint64_t position() {
    static constexpr std::uint64_t ANCHORS[] = {0,
                                                std::uint64_t{1} << 32,
                                                std::uint64_t{2} << 32,
                                                std::uint64_t{3} << 32,
                                                std::uint64_t{1} << 16,
                                                (std::uint64_t{1} << 32) + (std::uint64_t{1} << 16),
                                                MAX_POSITION - (std::uint64_t{1} << 32) + 1};
    constexpr std::size_t KINDS = sizeof ANCHORS / sizeof ANCHORS[0] + 1;
    const std::size_t kind = byte() % KINDS;
    if (kind == KINDS - 1) {
      const std::uint64_t container = byte();
      return (std::uint64_t{5} << 32) + (container << 16) + byte() % 8;
    }
    return ANCHORS[kind] + static_cast<std::uint64_t>(static_cast<std::int64_t>(byte()) - 128);
  }
  std::uint64_t length() { return byte(); }
  // A shift for contract and expand: mostly small, sometimes near a bucket multiple or huge.
  std::uint64_t shift() { return byte() < 192 ? length() : position(); }

 private:
  const std::uint8_t* data_;
  std::size_t size_;
  std::size_t at_ = 0;
};

class OperationSequence {
 public:
  static constexpr std::size_t MAX_STEPS = 256;

  // The first disagreement between a Bitmap and its model, described; nullopt when none.
  static std::optional<std::string> run(const std::uint8_t* data, std::size_t size) {
    OperationSequence sequence(data, size);
    try {
      for (std::size_t step = 0; step < MAX_STEPS && !sequence.source_.exhausted(); ++step) sequence.step();
    } catch (const Mismatch& mismatch) {
      return "step " + std::to_string(sequence.steps_) + " (" + sequence.last_ + "): " + mismatch.what;
    } catch (const std::exception& unexpected) {
      return "step " + std::to_string(sequence.steps_) + " (" + sequence.last_ +
             "): unexpected exception: " + unexpected.what();
    }
    return std::nullopt;
  }

 private:
  struct Mismatch {
    std::string what;
  };

  // An iterator over one of the bitmaps, with the members it should still yield.
  struct LiveIterator {
    int target;
    std::uint64_t stamp;
    Bitmap::BitmapForwardIterator position;
    std::vector<std::uint64_t> expected;
    std::size_t next = 0;
  };

  OperationSequence(const std::uint8_t* data, std::size_t size) : source_(data, size) {}

  static void expect(bool condition, const std::string& what) {
    if (!condition) throw Mismatch{what};
  }

  // Whether `call` throws `Exception`; any other exception escapes.
  template <class Exception, class Call>
  static bool refused(Call&& call) {
    try {
      call();
      return false;
    } catch (const Exception&) {
      return true;
    }
  }

  void step() {
    const std::uint8_t code = source_.byte();
    const int target = code & 1;
    const int other = source_.byte() % 3 == 2 ? target : 1 - target;  // an operand may be self
    ++steps_;
    const std::uint64_t stamps[2] = {bitmaps_[0].modification_stamp(), bitmaps_[1].modification_stamp()};
    const std::uint64_t before = fingerprint(models_[target]);
    const bool mutates = apply(code >> 1, bitmaps_[target], models_[target], bitmaps_[other], models_[other]);
    for (int i = 0; i < 2; ++i) {
      if (!mutates || i != target) {
        expect(bitmaps_[i].modification_stamp() == stamps[i], "a query changed the modification stamp");
      }
      compare(bitmaps_[i], models_[i]);
    }
    const bool changed = fingerprint(models_[target]) != before;
    if (mutates && changed) {
      expect(bitmaps_[target].modification_stamp() != stamps[target], "a change kept the modification stamp");
    }
  }

  // Members and keys mixed into one number (distinct models differ in it except by rare chance).
  static std::uint64_t fingerprint(const BitmapModel& model) {
    std::uint64_t hash = model.members.size() * 0x9E3779B97F4A7C15u + model.keys.size();
    for (const std::uint64_t m : model.members) hash = (hash ^ m) * 0x100000001B3u;
    for (const std::uint32_t k : model.keys) hash = (hash ^ k) * 0xC2B2AE3D27D4EB4Fu;
    return hash;
  }

  // Walks the bitmap's members and buckets alongside the model's sets, allocating nothing.
  static void compare(const Bitmap& bitmap, const BitmapModel& model) {
    auto member = bitmap.begin();
    for (const std::uint64_t expected : model.members) {
      expect(member != bitmap.end() && *member == expected, "members differ from the model");
      ++member;
    }
    expect(member == bitmap.end(), "members differ from the model");
    auto bucket = bitmap.buckets().begin();
    for (const std::uint32_t expected : model.keys) {
      expect(bucket != bitmap.buckets().end() && bucket->first == expected,
             "bucket keys differ from the model");
      ++bucket;
    }
    expect(bucket == bitmap.buckets().end(), "bucket keys differ from the model");
    expect(bitmap.cardinality() == model.members.size(), "cardinality");
    expect(bitmap.empty() == model.members.empty(), "empty");
    const std::optional<std::uint64_t> first =
        model.members.empty() ? std::nullopt : std::optional(*model.members.begin());
    const std::optional<std::uint64_t> last =
        model.members.empty() ? std::nullopt : std::optional(*model.members.rbegin());
    expect(bitmap.first() == first && bitmap.last() == last, "first or last");
  }

  // Runs operation `code` on `bitmap` and `model` (the target); returns whether the operation
  // may change the target (queries must keep every modification stamp).
  bool apply(int code, Bitmap& bitmap, BitmapModel& model, Bitmap& other, BitmapModel& other_model) {
    switch (code % 24) {
      case 0: {
        const std::uint64_t p = source_.position();
        last_ = "set " + std::to_string(p);
        bitmap.set(p);
        model.set(p);
        return true;
      }
      case 1: {
        const std::uint64_t p = source_.position();
        last_ = "unset " + std::to_string(p);
        bitmap.unset(p);
        model.unset(p);
        return true;
      }
      case 2: {
        const std::uint64_t p = source_.position();
        last_ = "flip " + std::to_string(p);
        bitmap.flip(p);
        model.flip(p);
        return true;
      }
      case 3: {
        const auto [start, end] = short_range();
        last_ = "set range " + range_text(start, end);
        bitmap.set(start, end);
        model.set(start, end);
        return true;
      }
      case 4: {
        const bool wide = (source_.byte() & 1) != 0;
        const auto [start, end] = wide ? wide_range() : short_range();
        last_ = "unset range " + range_text(start, end);
        bitmap.unset(start, end);
        model.unset(start, end);
        return true;
      }
      case 5: {
        const std::pair<std::uint64_t, std::uint64_t> range =
            short_range();  // lambdas cannot capture bindings
        last_ = "flip range " + range_text(range.first, range.second);
        const bool bitmap_refused =
            refused<std::runtime_error>([&] { bitmap.flip(range.first, range.second); });
        expect(bitmap_refused == !model.flip(range.first, range.second), "flip refusal");
        return true;
      }
      case 6: {
        const bool wide = (source_.byte() & 1) != 0;
        const auto [start, end] = wide ? wide_range() : short_range();
        last_ = "all/any/contains " + range_text(start, end);
        expect(bitmap.all(start, end) == model.all(start, end), "all");
        expect(bitmap.any(start, end) == model.any(start, end), "any");
        expect(bitmap.contains(start) == (model.members.count(start) != 0), "contains");
        return false;
      }
      case 7: {
        const std::uint64_t p = source_.position();
        last_ = "rank " + std::to_string(p);
        expect(bitmap.lower_cardinality(p) == model.lower_cardinality(p), "lower_cardinality");
        expect(bitmap.upper_cardinality(p) == model.upper_cardinality(p), "upper_cardinality");
        return false;
      }
      case 8: {
        const std::uint64_t ordinal =
            source_.byte() < 200 ? source_.byte() % (model.members.size() + 2) : source_.position();
        last_ = "nth " + std::to_string(ordinal);
        const std::optional<std::uint64_t> expected = model.nth(ordinal);
        std::uint64_t got = 0;
        const bool bitmap_refused = refused<std::runtime_error>([&] { got = bitmap.nth(ordinal); });
        expect(bitmap_refused == !expected && (!expected || got == *expected), "nth");
        return false;
      }
      case 9: {
        const std::uint64_t p = source_.position();
        last_ = "self_or_next " + std::to_string(p);
        expect(bitmap.self_or_next(p) == model.self_or_next(p), "self_or_next");
        return false;
      }
      case 10: {
        const std::uint64_t p = source_.position();
        last_ = "self_or_previous " + std::to_string(p);
        expect(bitmap.self_or_previous(p) == model.self_or_previous(p), "self_or_previous");
        return false;
      }
      case 11:
        last_ = "inplace_union";
        bitmap.inplace_union(other);
        model.union_with(other_model);
        return true;
      case 12:
        last_ = "inplace_intersect";
        bitmap.inplace_intersect(other);
        model.intersect_with(other_model);
        return true;
      case 13:
        last_ = "inplace_difference";
        bitmap.inplace_difference(other);
        model.difference_with(other_model);
        return true;
      case 14:
        last_ = "inplace_symmetric_difference";
        bitmap.inplace_symmetric_difference(other);
        model.symmetric_difference_with(other_model);
        return true;
      case 15: return new_object_operation(bitmap, model, other, other_model);
      case 16: {
        last_ = "compare";
        expect((bitmap == other) == (model.members == other_model.members), "==");
        expect(bitmap.subset_of(other) == model.subset_of(other_model), "subset_of");
        const bool strict = model.subset_of(other_model) && model.members != other_model.members;
        expect(bitmap.strict_subset_of(other) == strict, "strict_subset_of");
        return false;
      }
      case 17: {
        const std::uint64_t start = source_.position();
        const std::uint64_t end = (source_.byte() & 1) != 0 ? source_.position() : start + source_.length();
        last_ = "slice " + range_text(start, end);
        const std::optional<BitmapModel> expected = model.slice(start, end);
        Bitmap result;
        const bool bitmap_refused = refused<std::runtime_error>([&] { result = bitmap.slice(start, end); });
        expect(bitmap_refused == !expected, "slice refusal");
        if (expected) {
          bitmap = std::move(result);
          model = *expected;
        }
        return true;
      }
      case 18: {
        const std::uint64_t p = source_.position();
        const std::uint64_t by = source_.shift();
        last_ = "contract " + std::to_string(p) + " by " + std::to_string(by);
        const bool bitmap_refused = refused<std::invalid_argument>([&] { bitmap.contract(p, by); });
        expect(bitmap_refused == !model.contract(p, by), "contract refusal");
        return true;
      }
      case 19: {
        const std::uint64_t p = source_.position();
        const std::uint64_t by = source_.shift();
        last_ = "expand " + std::to_string(p) + " by " + std::to_string(by);
        const bool bitmap_refused = refused<std::overflow_error>([&] { bitmap.expand(p, by); });
        expect(bitmap_refused == !model.expand(p, by), "expand refusal");
        return true;
      }
      case 20: return persist(bitmap, model);
      case 21: {
        const bool move = (source_.byte() & 1) != 0;
        last_ = move ? "move-assign a copy of the other" : "copy-assign the other";
        if (move) {
          Bitmap copy(other);
          bitmap = std::move(copy);
          expect(copy.buckets().empty(), "a moved-from bitmap holds no bucket");
        } else {
          bitmap = other;
        }
        model = other_model;
        return true;
      }
      case 22: {
        std::vector<std::uint64_t> values(source_.byte() % 9);
        for (auto& value : values) value = source_.position();
        last_ = "add_many of " + std::to_string(values.size());
        bitmap.add_many(values.data(), values.size());
        for (const std::uint64_t value : values) model.set(value);
        return true;
      }
      default: return step_iterator(bitmap, model);
    }
  }

  bool new_object_operation(Bitmap& bitmap, BitmapModel& model, const Bitmap& other,
                            const BitmapModel& other_model) {
    const int kind = source_.byte() % 4;
    BitmapModel expected = model;
    Bitmap result;
    if (kind == 0) {
      last_ = "a | b";
      result = bitmap | other;
      expected.union_with(other_model);
    } else if (kind == 1) {
      last_ = "a & b";
      result = bitmap & other;
      expected.intersect_with(other_model);
    } else if (kind == 2) {
      last_ = "a - b";
      result = bitmap - other;
      expected.difference_with(other_model);
    } else {
      last_ = "a ^ b";
      result = bitmap ^ other;
      expected.symmetric_difference_with(other_model);
    }
    compare(bitmap, model);  // the operands are unchanged
    compare(result, expected);
    // The result replaces the target (an assignment, so the target's stamp changes).
    bitmap = std::move(result);
    model = std::move(expected);
    return true;
  }

  // Writes the persisted form into a guarded buffer, reads it back, and keeps the loaded copy.
  bool persist(Bitmap& bitmap, const BitmapModel& model) {
    const std::uint8_t flags = source_.byte();
    const bool portable = (flags & 1) != 0;
    last_ = std::string("persist ") + (portable ? "portable" : "native");
    constexpr std::size_t GUARD = 16;
    const std::uint64_t size = bitmap.persisted_size(portable, (flags & 2) != 0, (flags & 4) != 0);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size) + GUARD, 0xA5);
    expect(refused<std::invalid_argument>(
               [&] { bitmap.write(bytes.data(), static_cast<std::size_t>(size) - 1, portable); }),
           "write into a buffer one byte short");
    const std::size_t written = bitmap.write(bytes.data(), bytes.size(), portable);
    expect(written == size, "write size differs from persisted_size");
    for (std::size_t i = written; i < bytes.size(); ++i) expect(bytes[i] == 0xA5, "write ran past its size");
    Bitmap loaded = Bitmap::read(bytes.data(), written, portable);
    compare(loaded, model);
    expect(keys_of(loaded) == keys_of(bitmap), "read lost or added buckets");
    bitmap = std::move(loaded);
    return true;
  }

  // Starts an iterator on the target, or advances the live one while its bitmap is unchanged.
  bool step_iterator(const Bitmap& bitmap, const BitmapModel& model) {
    const int target = &bitmap == &bitmaps_[0] ? 0 : 1;
    const std::uint8_t count = source_.byte();
    if (!live_ || live_->target != target || bitmaps_[target].modification_stamp() != live_->stamp) {
      last_ = "start an iterator";
      live_ = LiveIterator{target, bitmap.modification_stamp(), bitmap.begin(),
                           std::vector<std::uint64_t>(model.members.begin(), model.members.end())};
      return false;
    }
    last_ = "advance the iterator by " + std::to_string(count % 16);
    if ((count & 0x80) != 0) {
      std::uint64_t out[16];
      const std::size_t got = live_->position.read(out, count % 16);
      for (std::size_t i = 0; i < got; ++i) {
        expect(live_->next < live_->expected.size() && out[i] == live_->expected[live_->next++],
               "iterator read");
      }
      expect(got == count % 16 || live_->next == live_->expected.size(), "iterator read stopped early");
    } else {
      for (int i = 0; i < count % 16 && live_->next < live_->expected.size(); ++i) {
        expect(live_->position != bitmap.end() && *live_->position == live_->expected[live_->next++],
               "iterator step");
        ++live_->position;
      }
    }
    if (live_->next == live_->expected.size())
      expect(live_->position == bitmap.end(), "iterator did not end");
    return false;
  }

  std::pair<std::uint64_t, std::uint64_t> short_range() {
    const std::uint64_t start = source_.position();
    return {start, start + source_.length()};  // may wrap: an end below the start
  }
  std::pair<std::uint64_t, std::uint64_t> wide_range() {
    const std::uint64_t start = source_.position();
    return {start, source_.position()};
  }
  static std::string range_text(std::uint64_t start, std::uint64_t end) {
    return "[" + std::to_string(start) + ", " + std::to_string(end) + ")";
  }

  ByteSource source_;
  Bitmap bitmaps_[2];
  BitmapModel models_[2];
  std::optional<LiveIterator> live_;
  std::size_t steps_ = 0;
  std::string last_;
};

}  // namespace quorvel::testing
