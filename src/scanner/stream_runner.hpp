// StreamRunner: one simdjson parser, and padded memory for the bytes it cannot read in place. Runs
// one document stream at a time; the scanner keeps one per thread that scans.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>
#include <memory>

class StreamRunner {
 public:
  // How one stream ended: its steps (an error is the last, and counted), the error if any, and
  // the bytes at its end that no complete document covers.
  struct Pass {
    std::uint64_t steps;
    simdjson::error_code error;
    std::size_t uncovered;
  };

  // `batch`: the largest batch handed to a stream (MemoryScanner::BATCH_SIZE or a test's).
  explicit StreamRunner(std::size_t batch) noexcept;

  // Runs the stream over [json, json + length), which must be readable SIMDJSON_PADDING bytes
  // past its end. Throws std::bad_alloc when the parser cannot be allocated.
  Pass run(const std::uint8_t* json, std::size_t length);

  // The simdjson implementation the parser indexes with; null before its first stream, when the
  // parser does not exist yet.
  const simdjson::implementation* indexing() const noexcept { return indexing_; }

  // indexing(), or before the first stream the active one that the parser will be created with.
  const simdjson::implementation& indexing_or_active() const noexcept;

  // Grows the padded memory (to a power of two, kept for later calls) so that it holds `size`
  // bytes and SIMDJSON_PADDING more. Throws std::bad_alloc.
  void reserve_padded(std::size_t size);

  // Copies [data, data + size) into the padded memory (reserved for `size` first), followed by
  // SIMDJSON_PADDING zero bytes that the library may read. With `validate`, the bytes are checked
  // as UTF-8 on the way and null is returned when they are not valid. Throws std::bad_alloc.
  const std::uint8_t* padded_copy(const std::uint8_t* data, std::size_t size, bool validate);

 private:
  // The batch handed to the stream for `size` bytes: batch_ for longer inputs; otherwise the
  // parser's current capacity when it suffices, else the next power of two. The stream
  // (re)allocates the parser whenever the batch differs from its capacity, and any batch of at
  // least `size` bytes indexes the whole input in one pass, exactly as batch_ does. Windowed
  // scans ask for a window at a time, so the parser stays window-sized until an input is scanned
  // in a single stream.
  std::size_t batch_size_for(std::size_t size) const noexcept;

  std::size_t batch_;
  const simdjson::implementation* indexing_ = nullptr;
  simdjson::ondemand::parser parser_;
  std::unique_ptr<std::uint8_t[]> padded_;
  std::size_t padded_capacity_ = 0;
};
