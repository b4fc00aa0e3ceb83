// MemoryScanner: drives simdjson's On-Demand document stream over a padded copy of the input.
#include "scanner/memory_scanner.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint8_t UTF8_BOM[] = {0xEF, 0xBB, 0xBF};

// Length of the run of UTF-8 byte order marks that opens [data, data + size). Newer simdjson
// releases skip one leading mark inside iterate_many and older ones parse it as a value; the
// stream is never shown one, so every release counts the same documents.
std::size_t leading_bom_length(const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t skipped = 0;
  while (size - skipped >= sizeof UTF8_BOM && std::memcmp(data + skipped, UTF8_BOM, sizeof UTF8_BOM) == 0) {
    skipped += sizeof UTF8_BOM;
  }
  return skipped;
}

// Whether `second` may follow the lead byte `lead` in a valid character: after E0, ED, F0 and F4
// the range is narrower, since the rest would start an overlong form, a surrogate or a value
// above U+10FFFF.
bool allowed_after_lead(std::uint8_t lead, std::uint8_t second) noexcept {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return (second & 0xC0) == 0x80;
  }
}

// Length of an unfinished multi-byte UTF-8 sequence that ends [data, data + size): the start of
// a valid character, a lead byte followed by fewer continuation bytes than it announces. A
// chunked stream cut inside a character leaves one; it is kept uncovered, like an unfinished
// document, instead of being reported as invalid UTF-8. 0 when the buffer ends otherwise
// (bytes that no completion can make valid stay in, and are reported as invalid).
std::size_t unfinished_sequence_length(const std::uint8_t* data, std::size_t size) noexcept {
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const std::uint8_t byte = data[size - back];
    if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: the lead lies further back
    const std::size_t announced = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 1;
    if (byte > 0xF4 || announced <= back) return 0;
    return back == 1 || allowed_after_lead(byte, data[size - back + 1]) ? back : 0;
  }
  return 0;
}

// True when [data, data + size) holds JSON whitespace only: the stream then indexes nothing
// and leaves its truncation figure stale.
bool only_whitespace(const std::uint8_t* data, std::size_t size) noexcept {
  return std::all_of(data, data + size, [](std::uint8_t byte) {
    return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
  });
}

bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
  return simdjson::validate_utf8(reinterpret_cast<const char*>(data), size);
}

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
                            const Walk& outcome, const std::uint8_t* json, std::size_t length) noexcept {
  // After a capacity error truncated_bytes() reaches back to the start of the failing window;
  // after any other error, or when there was nothing to index, it is stale: the offset where
  // the stream failed is reported, and whitespace is covered. The result never exceeds length.
  if (opened != simdjson::SUCCESS) return length;
  if (outcome.error != simdjson::SUCCESS && outcome.error != simdjson::CAPACITY) {
    return length - std::min(outcome.error_offset, length);
  }
  if (outcome.steps == 0 && only_whitespace(json, length)) return 0;
  return std::min(stream.truncated_bytes(), length);
}

}  // namespace

MemoryScanner::Result MemoryScanner::scan(const std::uint8_t* data, std::size_t size) {
  const std::size_t skipped = leading_bom_length(data, size);
  const std::size_t length = size - skipped - unfinished_sequence_length(data + skipped, size - skipped);
  // The stream reports invalid UTF-8 only in the part it indexes, and sometimes after the
  // documents before it; a single window is rejected as a whole instead: one failing step.
  const bool single_window = length <= BATCH_SIZE;
  try {
    reserve_padded(length);
  } catch (const std::bad_alloc&) {
    if (single_window && !valid_utf8(data + skipped, length)) return {skipped, 1};
    throw;
  }
  const std::uint8_t* json = padded_copy(data + skipped, length, single_window);
  if (json == nullptr) return {skipped, 1};

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

  return {skipped + length - uncovered_bytes(stream, opened, outcome, json, length), outcome.steps};
}

std::size_t MemoryScanner::batch_size_for(std::size_t size) const noexcept {
  if (size > BATCH_SIZE) return BATCH_SIZE;
  return std::min(round_up_to_power_of_two(size, std::max(parser_.capacity(), MIN_CAPACITY)), BATCH_SIZE);
}

void MemoryScanner::reserve_padded(std::size_t size) {
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
const std::uint8_t* MemoryScanner::padded_copy(const std::uint8_t* data, std::size_t size, bool validate) {
  std::uint8_t* out = padded_.get();
  for (std::size_t begin = 0; begin < size;) {
    std::size_t end = begin + std::min(COPY_BLOCK, size - begin);
    for (int back = 0; back < 3 && end < size && end > begin + 1 && (data[end] & 0xC0) == 0x80; ++back) --end;
    std::memcpy(out + begin, data + begin, end - begin);
    if (validate && !valid_utf8(out + begin, end - begin)) return nullptr;
    begin = end;
  }
  std::memset(out + size, 0, simdjson::SIMDJSON_PADDING);
  return out;
}
