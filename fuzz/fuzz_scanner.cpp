// Fuzzes MemoryScanner::scan with arbitrary bytes. Every input must give 0 <= consumed <= size and
// the same result through a reused instance and a fresh one, through scanners with tiny windows,
// at other alignments and with its last byte right before an unreadable page; with a batch of a
// third of the input, the same result window by window as in one stream; and the result the
// documented semantics predict from a direct reading of simdjson's document stream with a fixed
// batch:
//  - leading UTF-8 byte order marks are skipped and counted as consumed;
//  - a proper prefix of a multi-byte character at the end is left uncovered;
//  - any other invalid UTF-8 gives one document and consumes nothing past the marks;
//  - otherwise every step of the stream is a document, and the complete documents cover all but
//    the stream's truncated bytes (all of a whitespace-only input; after an error the figure is
//    only bounded).
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "scanner/memory_scanner.hpp"

namespace {

constexpr std::size_t LARGEST_CHECKED = std::size_t{1} << 20;  // inputs above this are only bounds-checked
constexpr std::size_t REFERENCE_BATCH = LARGEST_CHECKED;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "scanner: %s\n", what);
    std::abort();
  }
}

bool same(const MemoryScanner::Result& a, const MemoryScanner::Result& b) {
  return a.documents == b.documents && a.consumed == b.consumed;
}

bool valid_utf8(const std::uint8_t* data, std::size_t size) {
  return simdjson::validate_utf8(reinterpret_cast<const char*>(data), size);
}

// Whether `tail` (1 to 3 bytes) is the start of some valid UTF-8 character, but not all of it:
// some completion by continuation bytes validates (second bytes tried at every range edge).
bool proper_prefix_of_a_character(const std::uint8_t* tail, std::size_t length) {
  if (valid_utf8(tail, length)) return false;
  static constexpr std::uint8_t SECOND[] = {0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF};
  for (std::size_t total = length + 1; total <= 4; ++total) {
    for (const std::uint8_t second : SECOND) {
      std::uint8_t candidate[4];
      std::memcpy(candidate, tail, length);
      for (std::size_t i = length; i < total; ++i) candidate[i] = i == 1 ? second : 0x80;
      if (valid_utf8(candidate, total)) return true;
    }
  }
  return false;
}

std::size_t cut_character_length(const std::uint8_t* data, std::size_t size) {
  for (std::size_t length = 1; length <= 3 && length <= size; ++length) {
    if (proper_prefix_of_a_character(data + size - length, length)) return length;
  }
  return 0;
}

bool only_whitespace(const std::uint8_t* data, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] != ' ' && data[i] != '\n' && data[i] != '\r' && data[i] != '\t') return false;
  }
  return true;
}

// Checks `result` against the documented semantics (see the top of this file).
void check_against_reference(const std::uint8_t* data, std::size_t size,
                             const MemoryScanner::Result& result) {
  std::size_t marks = 0;
  while (size - marks >= 3 && std::memcmp(data + marks, "\xEF\xBB\xBF", 3) == 0) marks += 3;
  const std::uint8_t* body = data + marks;
  const std::size_t length = size - marks - cut_character_length(body, size - marks);
  if (!valid_utf8(body, length)) {
    require(result.documents == 1 && result.consumed == marks, "invalid UTF-8 is not one failing document");
    return;
  }
  static simdjson::ondemand::parser parser;
  const simdjson::padded_string padded(reinterpret_cast<const char*>(body), length);
  simdjson::ondemand::document_stream stream;
  std::uint64_t steps = 0;
  bool failed = parser.iterate_many(padded, REFERENCE_BATCH).get(stream) != simdjson::SUCCESS;
  if (failed) {
    steps = 1;
  } else {
    for (auto it = stream.begin(); it != stream.end(); ++it) {
      ++steps;
      failed = failed || it.error() != simdjson::SUCCESS;
    }
  }
  require(result.documents == steps, "document count differs from the stream's steps");
  require(marks <= result.consumed && result.consumed <= marks + length, "consumed outside the scanned body");
  if (failed) return;
  const std::size_t uncovered = steps == 0 && only_whitespace(body, length) ? 0 : stream.truncated_bytes();
  require(result.consumed == marks + length - uncovered,
          "consumed differs from the stream's truncated bytes");
}

// A readable run of LARGEST_CHECKED bytes followed by an unreadable page.
std::uint8_t* guarded_end() {
  static std::uint8_t* end = [] {
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* region =
        mmap(nullptr, LARGEST_CHECKED + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    require(region != MAP_FAILED, "mmap");
    auto* bytes = static_cast<std::uint8_t*>(region);
    require(mprotect(bytes + LARGEST_CHECKED, page, PROT_NONE) == 0, "mprotect");
    return bytes + LARGEST_CHECKED;
  }();
  return end;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static MemoryScanner reused;
  const MemoryScanner::Result result = reused.scan(data, size);
  require(result.consumed <= size, "consumed past the end of the input");
  MemoryScanner fresh;
  require(same(fresh.scan(data, size), result), "a fresh instance disagrees with a reused one");
  static MemoryScanner tiny_window(16);
  require(same(tiny_window.scan(data, size), result), "a 16-byte window scans differently");
  MemoryScanner quarter_window(1 + size / 4);
  require(same(quarter_window.scan(data, size), result),
          "a window of a quarter of the input scans differently");
  const std::size_t batch =
      32 + size / 3;  // cuts the input as the full batch cuts inputs longer than 2^30 bytes
  MemoryScanner batched_stream(std::numeric_limits<std::size_t>::max(), batch);
  MemoryScanner batched_windows(16, batch);
  require(same(batched_windows.scan(data, size), batched_stream.scan(data, size)),
          "small batches scan differently window by window than in one stream");
  if (size > LARGEST_CHECKED) return 0;

  if (size == 0) return 0;  // the empty input is checked above; nothing to copy
  std::uint8_t* at_page = guarded_end() - size;
  std::memcpy(at_page, data, size);
  require(same(reused.scan(at_page, size), result), "input ending at an unreadable page scans differently");
  static std::uint8_t shifted[LARGEST_CHECKED + 64];
  for (const std::size_t shift : {std::size_t{1}, std::size_t{3}, std::size_t{32}, std::size_t{63}}) {
    std::memcpy(shifted + shift, data, size);
    require(same(reused.scan(shifted + shift, size), result), "another alignment scans differently");
  }
  check_against_reference(data, size, result);
  return 0;
}
