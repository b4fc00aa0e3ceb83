// Parsing the persisted form: committed blobs, every truncation, every single-bit flip, unaligned
// input, and the framing rules that leave room to grow.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "bitmap_model.hpp"
#include "storage/persisted_form.hpp"

namespace quorvel::testing {
namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr std::uint64_t SPAN = std::uint64_t{1} << 32;

Bytes golden(const std::string& name) {
  std::ifstream in(std::string(QUORVEL_TEST_DATA) + "/" + name, std::ios::binary);
  EXPECT_TRUE(in.good()) << name;
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes persisted(const Bitmap& bitmap, bool portable) {
  Bitmap sizer(bitmap);  // persisted_size may prepare the buckets; without preparation it only counts
  Bytes out(sizer.persisted_size(portable, false, false));
  EXPECT_EQ(bitmap.write(out.data(), out.size(), portable), out.size());
  return out;
}

struct Blob {
  const char* file;
  bool portable;
};
const Blob BLOBS[] = {{"mixed.portable.bin", true},
                      {"mixed.native.bin", false},
                      {"empty_buckets.portable.bin", true},
                      {"empty_buckets.native.bin", false}};

// What a successful read must satisfy whatever the bytes: ascending distinct members, a count
// that agrees with them, and a form that reads back to the same members and keys.
void expect_consistent(const Bitmap& loaded, bool portable, const std::string& what) {
  const Members members = members_of(loaded);
  EXPECT_EQ(loaded.cardinality(), members.size()) << what;
  const Bytes again = persisted(loaded, portable);
  const Bitmap reloaded = Bitmap::read(again.data(), again.size(), portable);
  EXPECT_EQ(members_of(reloaded), members) << what;
  EXPECT_EQ(keys_of(reloaded), keys_of(loaded)) << what;
  EXPECT_EQ(persisted(reloaded, portable), again) << what;
}

TEST(PersistedForm, CommittedBlobsLoadAndAreWrittenBackByteForByte) {
  for (const Blob& blob : BLOBS) {
    const Bytes bytes = golden(blob.file);
    const Bitmap loaded = Bitmap::read(bytes.data(), bytes.size(), blob.portable);
    EXPECT_EQ(persisted(loaded, blob.portable), bytes) << blob.file;
    EXPECT_EQ(keys_of(loaded).size(), storage::persisted_form::load_le(bytes.data(), 8)) << blob.file;
  }
}

TEST(PersistedForm, UnalignedInputReadsTheSame) {
  for (const Blob& blob : BLOBS) {
    const Bytes bytes = golden(blob.file);
    const Members expected = members_of(Bitmap::read(bytes.data(), bytes.size(), blob.portable));
    for (std::size_t shift = 1; shift < 8; ++shift) {
      Bytes shifted(shift, 0);
      shifted.insert(shifted.end(), bytes.begin(), bytes.end());
      for (const Bitmap::Input input : {Bitmap::Input::MAY_CHANGE, Bitmap::Input::IMMUTABLE}) {
        const Bitmap loaded = Bitmap::read(shifted.data() + shift, bytes.size(), blob.portable, input);
        EXPECT_EQ(members_of(loaded), expected) << blob.file << " at offset " << shift;
      }
    }
  }
}

TEST(PersistedForm, EveryTruncationIsRefusedAsInvalidArgument) {
  for (const Blob& blob : BLOBS) {
    const Bytes bytes = golden(blob.file);
    for (std::size_t size = 0; size < bytes.size(); ++size) {
      // An exact-size heap copy, so that a read past `size` is caught by the address sanitizer.
      const Bytes prefix(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
      EXPECT_THROW(Bitmap::read(prefix.data(), prefix.size(), blob.portable), std::invalid_argument)
          << blob.file << " cut at " << size;
    }
  }
}

// Every bit of the small blobs and of the first records of the large ones.
TEST(PersistedForm, EverySingleBitFlipIsRefusedOrConsistent) {
  for (const Blob& blob : BLOBS) {
    const Bytes bytes = golden(blob.file);
    const std::size_t limit = std::min<std::size_t>(bytes.size(), 1200);
    std::size_t accepted = 0;
    for (std::size_t bit = 0; bit < 8 * limit; ++bit) {
      Bytes corrupt = bytes;
      corrupt[bit / 8] = static_cast<std::uint8_t>(corrupt[bit / 8] ^ (1u << (bit % 8)));
      try {
        const Bitmap loaded = Bitmap::read(corrupt.data(), corrupt.size(), blob.portable);
        expect_consistent(loaded, blob.portable, std::string(blob.file) + " bit " + std::to_string(bit));
        ++accepted;
      } catch (const std::invalid_argument&) {
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), "failed alloc while reading");
      }
    }
    EXPECT_GT(accepted, 0u) << blob.file;  // flips inside member data load as other members
  }
}

TEST(PersistedForm, TheOtherVariantIsRefused) {
  for (const Blob& blob : BLOBS) {
    const Bytes bytes = golden(blob.file);
    EXPECT_THROW(Bitmap::read(bytes.data(), bytes.size(), !blob.portable), std::runtime_error) << blob.file;
  }
}

// A form assembled from (key, payload) records, with an optional count that disagrees.
Bytes form(const std::vector<std::pair<std::uint32_t, Bytes>>& records, std::uint64_t count) {
  Bytes out(8);
  storage::persisted_form::store_le(out.data(), count, 8);
  for (const auto& [key, payload] : records) {
    Bytes header(12);
    storage::persisted_form::store_le(header.data(), key, 4);
    storage::persisted_form::store_le(header.data() + 4, payload.size(), 8);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), payload.begin(), payload.end());
  }
  return out;
}

Bytes payload_of(std::initializer_list<std::uint32_t> lows, bool portable) {
  Bitmap bitmap;
  for (const std::uint32_t low : lows) bitmap.set(low);
  const Bytes whole = persisted(bitmap, portable);
  return Bytes(whole.begin() + 20, whole.end());  // the single record's payload
}

TEST(PersistedForm, TrailingPayloadBytesAreSkipped) {
  for (const bool portable : {true, false}) {
    Bytes padded = payload_of({1, 9, 70000}, portable);
    padded.insert(padded.end(), {0xDE, 0xAD, 0xBE, 0xEF});
    const Bytes bytes = form({{4, padded}, {6, payload_of({2}, portable)}}, 2);
    const Bitmap loaded = Bitmap::read(bytes.data(), bytes.size(), portable);
    EXPECT_EQ(members_of(loaded), (Members{4 * SPAN + 1, 4 * SPAN + 9, 4 * SPAN + 70000, 6 * SPAN + 2}));
    EXPECT_EQ(keys_of(loaded), (Keys{0, 4, 6}));
  }
}

TEST(PersistedForm, ARepeatedKeyReplacesTheEarlierRecord) {
  const Bytes bytes = form({{5, payload_of({1}, true)}, {5, payload_of({2, 3}, true)}}, 2);
  EXPECT_EQ(members_of(Bitmap::read(bytes.data(), bytes.size(), true)),
            (Members{5 * SPAN + 2, 5 * SPAN + 3}));
}

TEST(PersistedForm, RecordsAfterTheCountAreIgnored) {
  const Bytes bytes = form({{1, payload_of({1}, false)}, {2, payload_of({2}, false)}}, 1);
  EXPECT_EQ(members_of(Bitmap::read(bytes.data(), bytes.size(), false)), (Members{SPAN + 1}));
}

TEST(PersistedForm, CountsWithTheTopBitSetAreRefused) {
  const Bytes records = form({{0, payload_of({}, true)}}, 1);
  for (const std::uint64_t count : {std::uint64_t{1} << 63, MAX_POSITION, (std::uint64_t{1} << 63) | 1}) {
    Bytes bytes = records;
    storage::persisted_form::store_le(bytes.data(), count, 8);
    EXPECT_THROW(Bitmap::read(bytes.data(), bytes.size(), true), std::invalid_argument) << count;
  }
}

TEST(PersistedForm, UnknownNativeKindsAreRefused) {
  for (std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{3}, std::uint8_t{0xFF}}) {
    const Bytes bytes = form({{0, Bytes{kind, 0, 0, 0, 0}}}, 1);
    EXPECT_THROW(Bitmap::read(bytes.data(), bytes.size(), false), std::runtime_error) << int{kind};
  }
}

TEST(PersistedForm, WriteNeedsTheWholeSizeAndTouchesNothingBeyondIt) {
  Bitmap bitmap;
  bitmap.set(7);
  bitmap.set(SPAN, SPAN + 5000);
  bitmap.set(MAX_POSITION);
  for (const bool portable : {true, false}) {
    const std::uint64_t size = bitmap.persisted_size(portable, false, false);
    Bytes buffer(size + 8, 0xAA);
    EXPECT_THROW(bitmap.write(buffer.data(), size - 1, portable), std::invalid_argument);
    EXPECT_EQ(buffer, Bytes(size + 8, 0xAA));
    EXPECT_EQ(bitmap.write(buffer.data(), size, portable), size);
    EXPECT_EQ(Bytes(buffer.begin() + static_cast<std::ptrdiff_t>(size), buffer.end()), Bytes(8, 0xAA));
  }
}

}  // namespace
}  // namespace quorvel::testing
