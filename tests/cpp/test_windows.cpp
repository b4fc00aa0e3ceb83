// slice, contract and expand across bucket boundaries, against the model, over a grid of member
// sets, positions and shifts either side of 2^32 multiples and the ends of the 64-bit range.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap_model.hpp"

namespace quorvel::testing {
namespace {

constexpr std::uint64_t SPAN = std::uint64_t{1} << 32;

struct Start {
  std::vector<std::uint64_t> members;
  std::vector<std::uint32_t> empty_keys;
};

const std::vector<Start> STARTS = {
    {{SPAN - 2, SPAN - 1, SPAN, SPAN + 1}, {}},
    {{1, SPAN + 3}, {}},
    {{5, 2 * SPAN + 5}, {}},                // a gap bucket between members
    {{3, 3 * SPAN, 3 * SPAN + 1}, {1, 2}},  // empty buckets inside the shifted run
    {{0, MAX_POSITION}, {}},
    {{SPAN - 1, 2 * SPAN + 3, 5 * SPAN + 2}, {4, 6}},  // an empty bucket above the last member
    {{}, {2}},
};

std::vector<std::uint64_t> positions() {
  std::vector<std::uint64_t> result = {MAX_POSITION - 1, MAX_POSITION, MAX_POSITION - SPAN};
  for (std::uint64_t key = 0; key <= 3; ++key) {
    for (int offset = -2; offset <= 2; ++offset) {
      if (key == 0 && offset < 0) continue;
      result.push_back(key * SPAN + static_cast<std::uint64_t>(static_cast<std::int64_t>(offset)));
    }
  }
  return result;
}

const std::vector<std::uint64_t> SHIFTS = {
    0, 1, 2, 3, 5, SPAN - 1, SPAN, SPAN + 1, 2 * SPAN, 3 * SPAN + 7, MAX_POSITION};

void build(const Start& start, Bitmap& bitmap, BitmapModel& model) {
  for (const std::uint64_t member : start.members) {
    bitmap.set(member);
    model.set(member);
  }
  for (const std::uint32_t key : start.empty_keys) {
    bitmap.set(join_bits(key, 0), join_bits(key, 0));
    model.set(join_bits(key, 0), join_bits(key, 0));
  }
}

std::string describe(const char* name, std::uint64_t a, std::uint64_t b, std::size_t start) {
  return std::string(name) + "(" + std::to_string(a) + ", " + std::to_string(b) + ") on start " +
         std::to_string(start);
}

void expect_same(const Bitmap& bitmap, const BitmapModel& model, const std::string& what) {
  EXPECT_EQ(members_of(bitmap), model.members) << what;
  EXPECT_EQ(keys_of(bitmap), model.keys) << what;
}

// Runs one shift (contract or expand) from every start over every position and shift, against
// the model; where the model refuses, the bitmap must throw `Error`.
template <class Error>
void expect_shift_agrees(const char* name, void (Bitmap::*shift)(std::uint64_t, std::uint64_t),
                         bool (BitmapModel::*model_shift)(std::uint64_t, std::uint64_t)) {
  for (std::size_t s = 0; s < STARTS.size(); ++s) {
    for (const std::uint64_t position : positions()) {
      for (const std::uint64_t by : SHIFTS) {
        Bitmap bitmap;
        BitmapModel model;
        build(STARTS[s], bitmap, model);
        const std::string what = describe(name, position, by, s);
        if ((model.*model_shift)(position, by)) {
          EXPECT_NO_THROW((bitmap.*shift)(position, by)) << what;
        } else {
          EXPECT_THROW((bitmap.*shift)(position, by), Error) << what;
        }
        expect_same(bitmap, model, what);
      }
    }
  }
}

TEST(Windows, ContractAgreesWithTheModel) {
  expect_shift_agrees<std::invalid_argument>("contract", &Bitmap::contract, &BitmapModel::contract);
}

TEST(Windows, ExpandAgreesWithTheModel) {
  expect_shift_agrees<std::overflow_error>("expand", &Bitmap::expand, &BitmapModel::expand);
}

TEST(Windows, SliceAgreesWithTheModel) {
  const std::vector<std::uint64_t> bounds = positions();
  for (std::size_t s = 0; s < STARTS.size(); ++s) {
    Bitmap bitmap;
    BitmapModel model;
    build(STARTS[s], bitmap, model);
    for (const std::uint64_t start : bounds) {
      for (const std::uint64_t end : bounds) {
        const std::string what = describe("slice", start, end, s);
        const std::optional<BitmapModel> expected = model.slice(start, end);
        if (expected) {
          expect_same(bitmap.slice(start, end), *expected, what);
        } else {
          EXPECT_THROW(bitmap.slice(start, end), std::runtime_error) << what;
        }
      }
    }
    expect_same(bitmap, model, "slice leaves its source unchanged");
  }
}

// A contract followed by the expand that reopens the same gap restores every member that was
// above the deleted window.
TEST(Windows, ExpandUndoesTheShiftOfContract) {
  for (const std::uint64_t by : {std::uint64_t{1}, SPAN - 1, SPAN, SPAN + 1, 2 * SPAN + 3}) {
    Bitmap bitmap;
    for (const std::uint64_t p : {SPAN + 2, 3 * SPAN - 1, 3 * SPAN, 7 * SPAN + 5}) bitmap.set(p + by);
    const Members before = members_of(bitmap);
    const std::uint64_t position = by;  // nothing at or below it, so nothing is deleted
    bitmap.contract(position, by);
    bitmap.expand(0, by);
    EXPECT_EQ(members_of(bitmap), before) << by;
  }
}

TEST(Windows, FailureMessages) {
  Bitmap bitmap;
  bitmap.set(1);
  bitmap.set(2);
  bitmap.set(MAX_POSITION);
  try {
    bitmap.contract(2, 5);
    ADD_FAILURE() << "contract(2, 5) was accepted";
  } catch (const std::invalid_argument& error) {
    EXPECT_STREQ(error.what(), "Range Out of Bounds");
  }
  try {
    bitmap.expand(0, 1);
    ADD_FAILURE() << "expand(0, 1) was accepted";
  } catch (const std::overflow_error& error) {
    EXPECT_STREQ(error.what(), "expand by 1 would move member 18446744073709551615 past 2^64 - 1");
  }
  try {
    (void)bitmap.slice(2 * SPAN, 5);
    ADD_FAILURE() << "slice(2^33, 5) was accepted";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Invalid range8589934592..5");
  }
  EXPECT_EQ(members_of(bitmap), (Members{1, 2, MAX_POSITION}));
}

}  // namespace
}  // namespace quorvel::testing
