// StreamRunner: runs simdjson's On-Demand document stream over padded bytes and counts its steps.
#include "stream_runner.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "utf8.hpp"

namespace {

// Smallest parser capacity and padded memory ever requested, so tiny inputs do not reallocate.
constexpr std::size_t MIN_CAPACITY = std::size_t{1} << 16;

// Bytes copied and validated at a time: small enough to stay in cache between the two.
constexpr std::size_t COPY_BLOCK = std::size_t{1} << 16;

std::size_t round_up_to_power_of_two(std::size_t value, std::size_t floor) noexcept {
  std::size_t result = floor;
  while (result < value) result *= 2;
  return result;
}

// How a walk over a document stream ended.
struct Walk {
  std::uint64_t steps = 0;
  simdjson::error_code error = simdjson::SUCCESS;  // carried by the last step, if any
  std::size_t error_offset = 0;                    // the stream's document offset at that step
};

// Counts the stream's steps without reading the documents; the step that carries an error is
// counted and is the last one the stream yields.
Walk walk(simdjson::ondemand::document_stream& stream) noexcept {
  Walk result;
  for (auto it = stream.begin(); it != stream.end(); ++it) {
    ++result.steps;
    if (it.error() != simdjson::SUCCESS) {
      result.error = it.error();
      result.error_offset = it.current_index();
    }
  }
  return result;
}

// Bytes at the end of [json, json + length) that no complete document covers.
std::size_t uncovered_bytes(simdjson::ondemand::document_stream& stream, simdjson::error_code opened,
                            const Walk& outcome, std::size_t length) noexcept {
  // After a capacity error truncated_bytes() reaches back to the start of the failing window;
  // after any other error it carries no meaning: the offset where the stream failed is reported.
  // The result never exceeds length.
  if (opened != simdjson::SUCCESS) return length;
  if (outcome.error != simdjson::SUCCESS && outcome.error != simdjson::CAPACITY) {
    return length - std::min(outcome.error_offset, length);
  }
  return std::min(stream.truncated_bytes(), length);
}

}  // namespace

// The library's own stage-1 thread stays off: it would start inside a noexcept function of the
// stream, where a failure to create it ends the process. The scanner runs its own second thread.
StreamRunner::StreamRunner(std::size_t batch) noexcept : batch_(batch) {
#ifdef SIMDJSON_THREADS_ENABLED
  parser_.threaded = false;
#endif
}

StreamRunner::Pass StreamRunner::run(const std::uint8_t* json, std::size_t length) {
  if (indexing_ == nullptr) indexing_ = simdjson::get_active_implementation();  // the parser's, from now on
  simdjson::ondemand::document_stream stream;
  const simdjson::error_code opened = parser_.iterate_many(json, length, batch_size_for(length)).get(stream);
  Walk outcome;
  if (opened == simdjson::SUCCESS) {
    outcome = walk(stream);
  } else {
    outcome.steps = 1;  // a stream that cannot be opened is one failing step
    outcome.error = opened;
  }
  if (outcome.error == simdjson::MEMALLOC) throw std::bad_alloc();
  return {outcome.steps, outcome.error, uncovered_bytes(stream, opened, outcome, length)};
}

const simdjson::implementation& StreamRunner::indexing_or_active() const noexcept {
  return indexing_ != nullptr ? *indexing_ : *simdjson::get_active_implementation();
}

std::size_t StreamRunner::batch_size_for(std::size_t size) const noexcept {
  if (size > batch_) return batch_;
  return std::min(round_up_to_power_of_two(size, std::max(parser_.capacity(), MIN_CAPACITY)), batch_);
}

void StreamRunner::reserve_padded(std::size_t size) {
  const std::size_t needed = size + simdjson::SIMDJSON_PADDING;
  if (padded_capacity_ < needed) {
    const std::size_t capacity = round_up_to_power_of_two(needed, MIN_CAPACITY);
    padded_.reset();  // release the old copy before asking for the larger one
    padded_capacity_ = 0;
    padded_.reset(new std::uint8_t[capacity]);
    padded_capacity_ = capacity;
  }
}

// Block by block, so that each block is validated right after it is copied, while it is still in
// cache: the input is read from memory once. Blocks end before a byte that is not a UTF-8
// continuation byte, so the input is valid exactly when every block is (a block that starts
// with a continuation byte is invalid, and then so is the input: it holds four in a row).
const std::uint8_t* StreamRunner::padded_copy(const std::uint8_t* data, std::size_t size, bool validate) {
  reserve_padded(size);
  std::uint8_t* out = padded_.get();
  for (std::size_t begin = 0; begin < size;) {
    std::size_t end = begin + std::min(COPY_BLOCK, size - begin);
    for (int back = 0; back < 3 && end < size && end > begin + 1 && is_continuation(data[end]); ++back) --end;
    std::memcpy(out + begin, data + begin, end - begin);
    if (validate && !valid_utf8(out + begin, end - begin)) return nullptr;
    begin = end;
  }
  std::memset(out + size, 0, simdjson::SIMDJSON_PADDING);
  return out;
}
