// Seeded random operation sequences on two Bitmaps, compared with the model after every step
// (the same decoder the operations fuzzer runs on arbitrary bytes).
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "operation_sequence.hpp"

namespace quorvel::testing {
namespace {

TEST(OperationSequences, SeededRandomSequencesAgreeWithTheModel) {
  std::mt19937_64 rng(20240611);
  for (int sequence = 0; sequence < 400; ++sequence) {
    std::vector<std::uint8_t> bytes(64 + rng() % 700);
    for (auto& byte : bytes) byte = static_cast<std::uint8_t>(rng());
    const std::optional<std::string> mismatch = OperationSequence::run(bytes.data(), bytes.size());
    EXPECT_FALSE(mismatch.has_value()) << "sequence " << sequence << ": " << mismatch.value_or("");
  }
}

TEST(OperationSequences, EmptyAndTinyInputsRunNothingHarmful) {
  const std::uint8_t bytes[] = {0xFF, 0x00, 0x7F};
  for (std::size_t size = 0; size <= sizeof bytes; ++size) {
    EXPECT_EQ(OperationSequence::run(bytes, size), std::nullopt) << size;
  }
}

}  // namespace
}  // namespace quorvel::testing
