// Fuzzes sequences of Bitmap operations against the std::set model: any disagreement aborts.
#include <cstdio>
#include <cstdlib>

#include "operation_sequence.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::optional<std::string> mismatch = quorvel::testing::OperationSequence::run(data, size);
  if (mismatch) {
    std::fprintf(stderr, "model disagreement: %s\n", mismatch->c_str());
    std::abort();
  }
  return 0;
}
