// MemoryScanner: drives simdjson's On-Demand document stream over padded copies of the input.
#include "memory_scanner.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace {

constexpr std::uint8_t UTF8_BOM[] = {0xEF, 0xBB, 0xBF};

// Length of the run of UTF-8 byte order marks that opens [data, data + size): all of them are
// skipped, and the stream is never shown one.
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
bool is_continuation(std::uint8_t byte) noexcept { return (byte & 0xC0) == 0x80; }

bool allowed_after_lead(std::uint8_t lead, std::uint8_t second) noexcept {
  switch (lead) {
    case 0xE0: return second >= 0xA0 && second <= 0xBF;
    case 0xED: return second >= 0x80 && second <= 0x9F;
    case 0xF0: return second >= 0x90 && second <= 0xBF;
    case 0xF4: return second >= 0x80 && second <= 0x8F;
    default: return is_continuation(second);
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
    if (is_continuation(byte)) continue;  // the lead lies further back
    const std::size_t announced = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC2 ? 2 : 1;
    if (byte > 0xF4 || announced <= back) return 0;
    return back == 1 || allowed_after_lead(byte, data[size - back + 1]) ? back : 0;
  }
  return 0;
}

bool is_whitespace(std::uint8_t byte) noexcept {
  return byte == ' ' || byte == '\n' || byte == '\r' || byte == '\t';
}

// Length of the longest prefix of [data, data + size) that ends with a newline; 0 when there
// is none.
std::size_t through_last_newline(const std::uint8_t* data, std::size_t size) noexcept {
  for (std::size_t end = size; end > 0; --end) {
    if (data[end - 1] == '\n') return end;
  }
  return 0;
}

// Whether a window that starts at `data`, inside the body, is read as the single stream reads
// the same bytes: it does not open with a byte order mark (simdjson skips one at the start of a
// stream) and its first token can begin a document. The search for the last
// complete document runs backwards from the end; before a window opening with ':' ',' ']' or
// '}' it would stop elsewhere in the window than in the whole input.
bool opens_like_the_stream(const std::uint8_t* data, std::size_t size) noexcept {
  if (leading_bom_length(data, size) != 0) return false;
  const std::uint8_t* first = std::find_if_not(data, data + size, is_whitespace);
  return first != data + size && *first != ':' && *first != ',' && *first != ']' && *first != '}';
}

bool valid_utf8(const std::uint8_t* data, std::size_t size) noexcept {
  return simdjson::validate_utf8(reinterpret_cast<const char*>(data), size);
}

// Whether the stream's indexing under `implementation` fails on invalid UTF-8 anywhere in what
// it indexes: simdjson's SIMD kernels check every byte, its portable fallback only strings.
bool indexing_checks_utf8(const simdjson::implementation& implementation) noexcept {
  return implementation.name() != "fallback";
}

// Where the bytes at the end of [data, data + size) begin that the stream's indexing may leave
// unchecked: a stream sets aside up to 3 final bytes that look like the start of a character,
// and checks the UTF-8 of the rest. Steps back from size - 3 to the start of its character, so
// that, when the bytes are valid, the checked part and [result, size) meet at a character
// boundary; a start still on a continuation byte is in invalid UTF-8 (four in a row, or the
// window's first byte).
std::size_t unchecked_tail_start(const std::uint8_t* data, std::size_t size) noexcept {
  std::size_t from = size > 3 ? size - 3 : 0;
  for (int back = 0; back < 3 && from > 0 && is_continuation(data[from]); ++back) --from;
  return from;
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

// The scanner's state and steps. Reads exactly the bytes it is given; owns the parser (its buffers
// are kept for the next scan) and the padded copy of the last windows.
class MemoryScanner::Engine {
 public:
  Engine(std::size_t window, std::size_t batch) noexcept;
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

MemoryScanner::Engine::Engine(std::size_t window, std::size_t batch) noexcept
    : window_(std::max(window, std::size_t{1})),
      batch_(std::max(batch, simdjson::ondemand::MINIMAL_BATCH_SIZE)) {}

MemoryScanner::Result MemoryScanner::Engine::scan(const std::uint8_t* data, std::size_t size) {
  const std::size_t skipped = leading_bom_length(data, size);
  const std::uint8_t* body = data + skipped;
  const std::size_t length = size - skipped - unfinished_sequence_length(body, size - skipped);
  if (length > window_) {
    const WindowedResult windowed =
        length <= batch_ ? scan_windows(body, length) : scan_batches(body, length);
    if (windowed.verdict == Verdict::EXACT)
      return {skipped + windowed.result.consumed, windowed.result.documents};
    if (windowed.verdict == Verdict::INVALID_UTF8) return {skipped, 1};
  }
  const Result whole = scan_whole(body, length);
  return {skipped + whole.consumed, whole.documents};
}

MemoryScanner::Result MemoryScanner::Engine::scan_whole(const std::uint8_t* body, std::size_t length) {
  // The stream reports invalid UTF-8 only in the part it indexes, and sometimes after the
  // documents before it; a single batch is rejected as a whole instead: one failing step.
  const bool single_batch = length <= batch_;
  try {
    reserve_padded(length);
  } catch (const std::bad_alloc&) {
    if (single_batch && !valid_utf8(body, length)) return {0, 1};
    throw;
  }
  const std::uint8_t* json = padded_copy(body, length, single_batch);
  if (json == nullptr) return {0, 1};
  const Pass pass = run_stream(json, length);
  return {length - pass.uncovered, pass.steps};
}

// Design notes: why the windows add up to the single stream, bit for bit.
// A window ends right after a newline, or at the body's end. In JSON a raw newline cannot sit
// inside a string (the stream reports it as an unescaped character), so a window without an
// error ends outside any string, and the next one starts in the state the single stream is in
// there: outside strings, after whitespace or at a token. Both streams then find the same tokens
// and, walking them, the same documents. Where they may differ is at a window's end, where the
// stream drops an unfinished last document: the next window starts at that document again, and
// at the body's end both drop the same one, because the backward search for it stops at the
// window's first token at the latest (opens_like_the_stream), where the window's own stream
// finishes its count. A window is accepted only when its stream ended without an error and,
// unless it is the last, completed a document; anything else, including a document longer than a
// window, is UNSURE. The last window may complete none: its stream then drops the unfinished
// document that the single stream drops, or covers whitespace as it does. The body is valid UTF-8
// exactly when every window is, since windows cover it and start and end on character boundaries.
// Where the stream's indexing checks UTF-8, a window's bytes are left to it (its error is final),
// but for the few it may set aside at the end (unchecked_tail_start): a second pass over them
// would cost about as much as the copy saves.
// A window followed by at least SIMDJSON_PADDING more bytes of the body is read where it lies:
// the bytes the stream may read past the window's end are then the caller's own, and their
// content does not change what the stream finds in the window. Only the last windows are copied.
MemoryScanner::Engine::WindowedResult MemoryScanner::Engine::scan_windows(const std::uint8_t* body,
                                                                          std::size_t length) {
  try {
    reserve_padded(std::min(window_, length));
  } catch (const std::bad_alloc&) {
    return {Verdict::UNSURE, {}};
  }
  Result total{0, 0};
  for (std::size_t start = 0;;) {
    const bool last = length - start <= window_;
    const std::size_t size = last ? length - start : through_last_newline(body + start, window_);
    if (size == 0 || (start > 0 && !opens_like_the_stream(body + start, size))) return {Verdict::UNSURE, {}};
    const bool indexing_checks = indexing_ != nullptr && indexing_checks_utf8(*indexing_);
    const bool in_place = length - start - size >= simdjson::SIMDJSON_PADDING;
    const std::uint8_t* json = in_place ? body + start : padded_copy(body + start, size, !indexing_checks);
    if (json == nullptr) return {Verdict::INVALID_UTF8, {}};
    // The bytes no check has covered yet: those the indexing may set aside, or all of them.
    const std::size_t unchecked = indexing_checks ? unchecked_tail_start(json, size) : in_place ? 0 : size;
    if (!valid_utf8(json + unchecked, size - unchecked)) return {Verdict::INVALID_UTF8, {}};
    const Pass pass = run_stream(json, size);
    // An indexing that finds no complete document stops before it reports invalid UTF-8.
    const bool unreported = indexing_checks && pass.steps == 0;
    if (pass.error == simdjson::UTF8_ERROR || (unreported && !valid_utf8(json, unchecked))) {
      return {Verdict::INVALID_UTF8, {}};
    }
    if (pass.error != simdjson::SUCCESS || (!last && (pass.steps == 0 || pass.uncovered >= size))) {
      return {Verdict::UNSURE, {}};
    }
    total.documents += pass.steps;
    start += size - pass.uncovered;
    if (last) {
      total.consumed = start;
      return {Verdict::EXACT, total};
    }
  }
}

// Design notes: batches. The single stream cuts a body longer than batch_ into batches. It indexes
// each on its own, over [start, start + batch_) less a character cut at the end (which the
// indexing sets aside), walks its documents up to the last one that the backward search finds
// complete, and starts the next batch at the first one dropped, or right after the batch when none
// was. One stream over those bytes alone counts the same documents and leaves the same part
// uncovered, as both cut with the same search; so each batch is scanned as a body of its own,
// window by window, and its uncovered part opens the next batch. The stream's ways at a batch's end
// are kept with it: a scalar cut by the end counts as complete there, and its rest as one more
// document in the next batch. A batch that opens unlike the stream (opens_like_the_stream), holds
// no complete document (the stream fails there for capacity), holds invalid UTF-8 (the stream's
// indexing reports it or not, depending on what it finds complete) or is UNSURE leaves the whole
// body to the single stream. So does simdjson's portable fallback kernel, which fails on a batch
// that ends inside a character of a string instead of setting the character aside.
MemoryScanner::Engine::WindowedResult MemoryScanner::Engine::scan_batches(const std::uint8_t* body,
                                                                          std::size_t length) {
  if (!indexing_checks_utf8(indexing())) return {Verdict::UNSURE, {}};
  std::uint64_t documents = 0;
  for (std::size_t start = 0;;) {
    const bool last = length - start <= batch_;
    const std::uint8_t* batch = body + start;
    const std::size_t size = last ? length - start : batch_ - unfinished_sequence_length(batch, batch_);
    if (start > 0 && !opens_like_the_stream(batch, size)) return {Verdict::UNSURE, {}};
    const WindowedResult part = scan_windows(batch, size);
    if (part.verdict != Verdict::EXACT) return {Verdict::UNSURE, {}};
    documents += part.result.documents;
    if (last) return {Verdict::EXACT, {start + part.result.consumed, documents}};
    if (part.result.documents == 0 || part.result.consumed == 0) return {Verdict::UNSURE, {}};
    start += part.result.consumed;
  }
}

const simdjson::implementation& MemoryScanner::Engine::indexing() const noexcept {
  return indexing_ != nullptr ? *indexing_ : *simdjson::get_active_implementation();
}

MemoryScanner::Engine::Pass MemoryScanner::Engine::run_stream(const std::uint8_t* json, std::size_t length) {
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

std::size_t MemoryScanner::Engine::batch_size_for(std::size_t size) const noexcept {
  if (size > batch_) return batch_;
  return std::min(round_up_to_power_of_two(size, std::max(parser_.capacity(), MIN_CAPACITY)), batch_);
}

void MemoryScanner::Engine::reserve_padded(std::size_t size) {
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
const std::uint8_t* MemoryScanner::Engine::padded_copy(const std::uint8_t* data, std::size_t size,
                                                       bool validate) {
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

MemoryScanner::MemoryScanner(std::size_t window, std::size_t batch)
    : engine_(std::make_unique<Engine>(window, batch)) {}
MemoryScanner::MemoryScanner(MemoryScanner&&) noexcept = default;
MemoryScanner& MemoryScanner::operator=(MemoryScanner&&) noexcept = default;
MemoryScanner::~MemoryScanner() = default;

MemoryScanner::Result MemoryScanner::scan(const std::uint8_t* data, std::size_t size) {
  return engine_->scan(data, size);
}
