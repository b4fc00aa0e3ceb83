// MemoryScanner: drives simdjson's On-Demand document stream over the input, window by window on
// two threads, or in one stream over a padded copy.
#include "memory_scanner.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <thread>

#include "stream_runner.hpp"
#include "utf8.hpp"
#include "window_queue.hpp"

static_assert(IN_PLACE_MARGIN == simdjson::SIMDJSON_PADDING,
              "windows are read in place where the padding follows");

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

// What the windowed scan of a body (the input without its leading marks and cut-off last
// character) found; `result` (consumed counted from the body's start) only when EXACT.
struct WindowedResult {
  Verdict verdict;
  MemoryScanner::Result result;
};

// The windows added up in order: where the next one must start and the documents so far.
struct Tally {
  std::size_t position = 0;
  std::uint64_t documents = 0;
};

// Adds the next window in order to `tally`; the windowed scan's result once it is decided.
std::optional<WindowedResult> add(Tally& tally, const WindowOutcome& window) {
  if (window.verdict != Verdict::EXACT) return WindowedResult{window.verdict, {}};
  tally.documents += window.documents;
  tally.position = window.next;
  if (window.last) return WindowedResult{Verdict::EXACT, {tally.position, tally.documents}};
  return std::nullopt;
}

// Stops the queue and joins the helping thread when a shared scan ends, however it ends.
class HelperJoin {
 public:
  HelperJoin(WindowQueue& queue, std::thread& thread) noexcept : queue_(queue), thread_(thread) {}
  HelperJoin(const HelperJoin&) = delete;
  HelperJoin& operator=(const HelperJoin&) = delete;
  ~HelperJoin() {
    queue_.stop();
    thread_.join();
  }

 private:
  WindowQueue& queue_;
  std::thread& thread_;
};

}  // namespace

// The scanner's state and steps. Reads exactly the bytes it is given; owns a stream runner for the
// calling thread and one for the helping thread (their parsers' buffers and padded copies are kept
// for the next scan).
class MemoryScanner::Engine {
 public:
  Engine(std::size_t window, std::size_t batch) noexcept;
  Result scan(const std::uint8_t* data, std::size_t size);

 private:
  // The single stream over [body, body + length); consumed counted from the body's start.
  Result scan_whole(const std::uint8_t* body, std::size_t length);

  // The batches of the single stream over a body longer than batch_, each scanned window by
  // window: EXACT or UNSURE.
  WindowedResult scan_batches(const std::uint8_t* body, std::size_t length);

  // Window after window, each cut right after its last newline and carrying its unfinished
  // document into the next; on two threads when there is more than one window. Requires
  // 0 < length <= batch_.
  WindowedResult scan_windows(const std::uint8_t* body, std::size_t length);

  // The windows from `tally.position` on, one after another on this thread.
  WindowedResult scan_windows_in_turn(const std::uint8_t* body, std::size_t length, Tally tally);

  // The windows scanned by this thread and a helping one, added up here in order; nothing when
  // no thread can be started.
  std::optional<WindowedResult> scan_windows_shared(const std::uint8_t* body, std::size_t length);

  // The helping thread: scans the windows it claims with helper_ until none is left.
  void help(WindowQueue& queue, const std::uint8_t* body, std::size_t length) noexcept;

  // Scans a claimed window with `runner` and publishes what it found; a failure (memory) is
  // published as such, and the adding thread scans the window again itself.
  void scan_claimed(WindowQueue& queue, StreamRunner& runner, const std::uint8_t* body, std::size_t length,
                    const WindowQueue::Claim& claim) const noexcept;

  // The window of [body, body + length) that starts at `start`, scanned with `runner`. Throws
  // std::bad_alloc when the runner's memory cannot be had.
  WindowOutcome scan_window(StreamRunner& runner, const std::uint8_t* body, std::size_t length,
                            std::size_t start) const;

  std::size_t window_;
  std::size_t batch_;
  StreamRunner runner_;  // the calling thread's
  StreamRunner helper_;  // the helping thread's, used by it alone while it runs
};

MemoryScanner::Engine::Engine(std::size_t window, std::size_t batch) noexcept
    : window_(std::max(window, std::size_t{1})),
      batch_(std::max(batch, simdjson::ondemand::MINIMAL_BATCH_SIZE)),
      runner_(batch_),
      helper_(batch_) {}

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
    runner_.reserve_padded(length);
  } catch (const std::bad_alloc&) {
    if (single_batch && !valid_utf8(body, length)) return {0, 1};
    throw;
  }
  const std::uint8_t* json = runner_.padded_copy(body, length, single_batch);
  if (json == nullptr) return {0, 1};
  const StreamRunner::Pass pass = runner_.run(json, length);
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
WindowedResult MemoryScanner::Engine::scan_windows(const std::uint8_t* body, std::size_t length) {
  try {
    runner_.reserve_padded(std::min(window_, length));
  } catch (const std::bad_alloc&) {
    return {Verdict::UNSURE, {}};
  }
  if (length > window_) {
    if (const std::optional<WindowedResult> shared = scan_windows_shared(body, length)) return *shared;
  }
  return scan_windows_in_turn(body, length, Tally{});
}

WindowedResult MemoryScanner::Engine::scan_windows_in_turn(const std::uint8_t* body, std::size_t length,
                                                           Tally tally) {
  for (;;) {
    const WindowOutcome window = scan_window(runner_, body, length, tally.position);
    if (const std::optional<WindowedResult> decided = add(tally, window)) return *decided;
  }
}

// Design notes: two threads. What a window's scan finds depends only on the body and the window's
// start, so windows can be scanned ahead, on a second thread and a parser of its own, before the
// windows in front of them are added up, as long as each one's start is known. It is guessed: a
// window starts where the one before it is cut (WindowQueue), which is where that one's documents
// end unless its last document is unfinished (NDJSON has none). The windows are added up in order,
// and each start is checked against where the documents before it ended; at the first that
// differs, or that the helper could not scan, everything scanned ahead is dropped and the rest is
// scanned in turn on this thread. The result is therefore that of the windows scanned one after
// another, whatever either thread did. The helper claims at most WindowQueue::AHEAD windows ahead
// of the adding thread, which scans windows too while it waits; so memory stays that of two
// windows and their indexes. The helper lives for one scan: a thread kept between scans would not
// survive a fork of the process.
std::optional<WindowedResult> MemoryScanner::Engine::scan_windows_shared(const std::uint8_t* body,
                                                                         std::size_t length) {
  WindowQueue queue(body, length, window_);
  std::thread helper;
  try {
    helper = std::thread([this, &queue, body, length] { help(queue, body, length); });
  } catch (const std::exception&) {  // std::system_error when no thread can be started; std::bad_alloc
    return std::nullopt;
  }
  const HelperJoin joined(queue, helper);
  Tally tally;
  for (;;) {
    const WindowQueue::Work work = queue.next_work();
    if (!work.take) {
      scan_claimed(queue, runner_, body, length, work.claim);
    } else if (!work.outcome || work.claim.start != tally.position) {
      queue.stop();
      return scan_windows_in_turn(body, length, tally);
    } else if (const std::optional<WindowedResult> decided = add(tally, *work.outcome)) {
      return *decided;
    }
  }
}

void MemoryScanner::Engine::help(WindowQueue& queue, const std::uint8_t* body, std::size_t length) noexcept {
  while (const std::optional<WindowQueue::Claim> claim = queue.claim()) {
    scan_claimed(queue, helper_, body, length, *claim);
  }
}

void MemoryScanner::Engine::scan_claimed(WindowQueue& queue, StreamRunner& runner, const std::uint8_t* body,
                                         std::size_t length, const WindowQueue::Claim& claim) const noexcept {
  std::optional<WindowOutcome> outcome;
  try {
    outcome = scan_window(runner, body, length, claim.start);
  } catch (...) {  // std::bad_alloc: published as a failed scan, which the adding thread redoes
  }
  queue.publish(claim.index, outcome);
}

WindowOutcome MemoryScanner::Engine::scan_window(StreamRunner& runner, const std::uint8_t* body,
                                                 std::size_t length, std::size_t start) const {
  const std::size_t size = window_length(body, length, window_, start);
  const bool last = start + size == length;
  if (size == 0 || (start > 0 && !opens_like_the_stream(body + start, size))) return {Verdict::UNSURE};
  const bool indexing_checks = runner.indexing() != nullptr && indexing_checks_utf8(*runner.indexing());
  const bool in_place = length - start - size >= simdjson::SIMDJSON_PADDING;
  const std::uint8_t* json =
      in_place ? body + start : runner.padded_copy(body + start, size, !indexing_checks);
  if (json == nullptr) return {Verdict::INVALID_UTF8};
  // The bytes no check has covered yet: those the indexing may set aside, or all of them.
  const std::size_t unchecked = indexing_checks ? unchecked_tail_start(json, size) : in_place ? 0 : size;
  if (!valid_utf8(json + unchecked, size - unchecked)) return {Verdict::INVALID_UTF8};
  const StreamRunner::Pass pass = runner.run(json, size);
  // An indexing that finds no complete document stops before it reports invalid UTF-8.
  const bool unreported = indexing_checks && pass.steps == 0;
  if (pass.error == simdjson::UTF8_ERROR || (unreported && !valid_utf8(json, unchecked))) {
    return {Verdict::INVALID_UTF8};
  }
  if (pass.error != simdjson::SUCCESS || (!last && (pass.steps == 0 || pass.uncovered >= size))) {
    return {Verdict::UNSURE};
  }
  return {Verdict::EXACT, pass.steps, start + size - pass.uncovered, last};
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
WindowedResult MemoryScanner::Engine::scan_batches(const std::uint8_t* body, std::size_t length) {
  if (!indexing_checks_utf8(runner_.indexing_or_active())) return {Verdict::UNSURE, {}};
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

MemoryScanner::MemoryScanner(std::size_t window, std::size_t batch)
    : engine_(std::make_unique<Engine>(window, batch)) {}
MemoryScanner::MemoryScanner(MemoryScanner&&) noexcept = default;
MemoryScanner& MemoryScanner::operator=(MemoryScanner&&) noexcept = default;
MemoryScanner::~MemoryScanner() = default;

MemoryScanner::Result MemoryScanner::scan(const std::uint8_t* data, std::size_t size) {
  return engine_->scan(data, size);
}
