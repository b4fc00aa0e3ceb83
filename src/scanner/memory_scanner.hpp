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

  // Batch of the document stream: inputs up to this size are indexed in one pass; longer
  // ones are cut into batches of this size, each indexed by the stream's worker thread
  // while the previous one is walked. A single document longer than this cannot be parsed.
  static constexpr std::size_t BATCH_SIZE = std::size_t{1} << 30;

  // Bytes indexed at a time when an input is longer: small enough that a window and its index
  // stay in cache. Windows are read where they lie while at least SIMDJSON_PADDING bytes of the
  // input follow them; the last ones are copied into padded memory.
  static constexpr std::size_t WINDOW = std::size_t{1} << 20;

  // `window` (at least 1; 0 counts as 1) only changes the cost of a scan, never its result.
  // `batch` replaces BATCH_SIZE, and so changes the results of longer inputs as it does the
  // stream's (below 32 bytes it counts as 32, the stream's smallest batch). Tests pass tiny
  // ones of both to exercise the cuts.
  explicit MemoryScanner(std::size_t window = WINDOW, std::size_t batch = BATCH_SIZE) noexcept;

  // Reads exactly `size` bytes at `data` (never past them). Leading UTF-8 byte order marks
  // are skipped and counted in `consumed`. A stream that ends in an error counts that error
  // as one more document; an input of at most one batch holding invalid UTF-8 anywhere counts 1
  // with nothing consumed (in a longer one, the stream's indexing of each batch decides). A
  // multi-byte character cut off at the end is left uncovered, as an unfinished document is.
  // Throws std::bad_alloc when memory for the scan cannot be had. 0 <= consumed <= size always.
  //
  // The result is that of one stream over the whole input. An input longer than the window is
  // first scanned window by window, batch by batch (memory: a window and its index); whenever
  // that cannot be shown to agree with the single stream (an error, invalid UTF-8 in an input
  // longer than a batch, a document longer than a window, no newline to cut at, ...), it is
  // scanned again in one stream over a padded copy: for an input of at most one batch the copy
  // and an index for the input's length, for a longer one the copy and two parsers for a batch.
  Result scan(const std::uint8_t* data, std::size_t size);

 private:
  // Smallest parser capacity ever requested, so tiny inputs do not reallocate each time.
  static constexpr std::size_t MIN_CAPACITY = std::size_t{1} << 16;

  // Bytes copied and validated at a time: small enough to stay in cache between the two.
  static constexpr std::size_t COPY_BLOCK = std::size_t{1} << 16;

  // How one stream over padded bytes ended: its steps (an error is the last, and counted), the
  // error if any, and the bytes at its end that no complete document covers.
  struct Pass {
    std::uint64_t steps;
    simdjson::error_code error;
    std::size_t uncovered;
  };

  // What the windowed scan of a body (the input without its leading marks and cut-off last
  // character) found. EXACT: `result` (consumed counted from the body's start) is the single
  // stream's. INVALID_UTF8: the body is not valid UTF-8. UNSURE: only the single stream knows.
  enum class Verdict { EXACT, INVALID_UTF8, UNSURE };
  struct WindowedResult {
    Verdict verdict;
    Result result;
  };

  // The single stream over [body, body + length); consumed counted from the body's start.
  Result scan_whole(const std::uint8_t* body, std::size_t length);

  // The batches of the single stream over a body longer than batch_, each scanned window by
  // window: EXACT or UNSURE.
  WindowedResult scan_batches(const std::uint8_t* body, std::size_t length);

  // Window after window, each cut right after its last newline and carrying its unfinished
  // document into the next. Requires 0 < length <= batch_.
  WindowedResult scan_windows(const std::uint8_t* body, std::size_t length);

  // The simdjson implementation the parser indexes with: indexing_, or the active one that the
  // parser will be created with.
  const simdjson::implementation& indexing() const noexcept;

  // Runs the stream over the padded [json, json + length). Throws std::bad_alloc when the
  // parser cannot be allocated.
  Pass run_stream(const std::uint8_t* json, std::size_t length);

  // The batch handed to the stream for `size` bytes: batch_ for longer inputs; otherwise
  // the parser's current capacity when it suffices, else the next power of two. The stream
  // (re)allocates the parser whenever the batch differs from its capacity, and any batch of
  // at least `size` bytes indexes the whole input in one pass, exactly as batch_ does.
  // Windowed scans ask for a window at a time, so the parser stays window-sized until an
  // input is scanned in a single stream.
  std::size_t batch_size_for(std::size_t size) const noexcept;

  // Grows padded_ (to a power of two, kept for later calls) so that it holds `size` bytes and
  // SIMDJSON_PADDING more. Throws std::bad_alloc.
  void reserve_padded(std::size_t size);

  // Copies [data, data + size) into padded_ (reserved for `size`), followed by SIMDJSON_PADDING
  // zero bytes that the library may read. With `validate`, the bytes are checked as UTF-8 on the
  // way and null is returned when they are not valid.
  const std::uint8_t* padded_copy(const std::uint8_t* data, std::size_t size, bool validate);

  std::size_t window_;
  std::size_t batch_;
  // The simdjson implementation the parser was created with, at the first scan; null before.
  const simdjson::implementation* indexing_ = nullptr;
  simdjson::ondemand::parser parser_;
  std::unique_ptr<std::uint8_t[]> padded_;
  std::size_t padded_capacity_ = 0;
};
