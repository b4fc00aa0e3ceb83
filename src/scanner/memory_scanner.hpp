// MemoryScanner: counts the JSON documents in a memory buffer and how many leading bytes
// the complete ones cover, so a caller streaming in chunks can carry the tail over.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class MemoryScanner {
 public:
  struct Result {
    std::uint64_t consumed;   // bytes covered by complete documents, from the buffer's start
    std::uint64_t documents;  // documents counted
  };

  // Window of the document stream: inputs up to this size are indexed in one pass; longer
  // ones are cut into windows of this size, each indexed by the stream's worker thread
  // while the previous one is walked. A single document longer than this cannot be parsed.
  static constexpr std::size_t BATCH_SIZE = std::size_t{1} << 30;

  // Reads exactly `size` bytes at `data` (never past them). Leading UTF-8 byte order marks
  // are skipped and counted in `consumed`. A stream that ends in an error counts that error
  // as one more document; an input of at most BATCH_SIZE bytes holding invalid UTF-8 anywhere
  // counts 1 with nothing consumed. A multi-byte character cut off at the end is left
  // uncovered, as an unfinished document is. Throws std::bad_alloc when memory for the scan cannot be
  // had. 0 <= consumed <= size always.
  Result scan(const std::uint8_t* data, std::size_t size);

 private:
  // Smallest parser capacity ever requested, so tiny inputs do not reallocate each time.
  static constexpr std::size_t MIN_CAPACITY = std::size_t{1} << 16;

  // Bytes copied and validated at a time: small enough to stay in cache between the two.
  static constexpr std::size_t COPY_BLOCK = std::size_t{1} << 16;

  // The batch handed to the stream for `size` bytes: BATCH_SIZE for longer inputs; otherwise
  // the parser's current capacity when it suffices, else the next power of two. The stream
  // (re)allocates the parser whenever the batch differs from its capacity, and any batch of
  // at least `size` bytes indexes the whole input in one pass, exactly as BATCH_SIZE does.
  std::size_t batch_size_for(std::size_t size) const noexcept;

  // Grows padded_ (to a power of two, kept for later calls) so that it holds `size` bytes and
  // SIMDJSON_PADDING more. Throws std::bad_alloc.
  void reserve_padded(std::size_t size);

  // Copies [data, data + size) into padded_ (reserved for `size`), followed by SIMDJSON_PADDING
  // zero bytes that the library may read. With `validate`, the bytes are checked as UTF-8 on the
  // way and null is returned when they are not valid.
  const std::uint8_t* padded_copy(const std::uint8_t* data, std::size_t size, bool validate);

  simdjson::ondemand::parser parser_;
  std::unique_ptr<std::uint8_t[]> padded_;
  std::size_t padded_capacity_ = 0;
};
