// MemoryScanner: counts the JSON documents in a memory buffer and how many leading bytes
// the complete ones cover, so a caller streaming in chunks can carry the tail over.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

class MemoryScanner {
 public:
  struct Result {
    std::uint64_t consumed;   // bytes covered by complete documents, from the buffer's start
    std::uint64_t documents;  // documents counted
  };

  // Batch of the document stream: inputs up to this size are indexed in one pass; longer
  // ones are cut into batches of this size. A single document longer than this cannot be parsed.
  static constexpr std::size_t BATCH_SIZE = std::size_t{1} << 30;

  // Bytes indexed at a time when an input is longer: small enough that a window and its index
  // stay in cache. Windows are read where they lie while at least simdjson's padding (64 bytes)
  // of the input follows them; the last ones are copied into padded memory.
  static constexpr std::size_t WINDOW = std::size_t{1} << 20;

  // `window` (at least 1; 0 counts as 1) only changes the cost of a scan, never its result.
  // `batch` replaces BATCH_SIZE, and so changes the results of longer inputs as it does the
  // stream's (below 32 bytes it counts as 32, the stream's smallest batch). Tests pass tiny
  // ones of both to exercise the cuts.
  explicit MemoryScanner(std::size_t window = WINDOW, std::size_t batch = BATCH_SIZE);
  MemoryScanner(MemoryScanner&&) noexcept;
  MemoryScanner& operator=(MemoryScanner&&) noexcept;
  ~MemoryScanner();

  // Reads exactly `size` bytes at `data` (never past them). Leading UTF-8 byte order marks
  // are skipped and counted in `consumed`. A stream that ends in an error counts that error
  // as one more document; an input of at most one batch holding invalid UTF-8 anywhere counts 1
  // with nothing consumed (in a longer one, the stream's indexing of each batch decides). A
  // multi-byte character cut off at the end is left uncovered, as an unfinished document is.
  // Throws std::bad_alloc when memory for the scan cannot be had. 0 <= consumed <= size always.
  //
  // The result is that of one stream over the whole input. An input longer than the window is
  // first scanned window by window, batch by batch, the windows shared with a second thread that
  // the scan starts and joins (memory: two windows and their indexes; without a thread, or where
  // a window does not start where the one before it was cut, on this thread alone); whenever
  // that cannot be shown to agree with the single stream (an error, invalid UTF-8 in an input
  // longer than a batch, a document longer than a window, no newline to cut at, ...), it is
  // scanned again in one stream over a padded copy: for an input of at most one batch the copy
  // and an index for the input's length, for a longer one the copy and two parsers for a batch.
  Result scan(const std::uint8_t* data, std::size_t size);

 private:
  class Engine;  // the simdjson parser and the scan's working memory (memory_scanner.cpp)
  std::unique_ptr<Engine> engine_;
};
