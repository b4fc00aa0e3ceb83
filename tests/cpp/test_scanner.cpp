// MemoryScanner without Python: documented results, reuse, alignment, buffers that end at an
// unreadable page, and scans window by window against the single stream.
#include <gtest/gtest.h>
#include <simdjson.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "scanner/memory_scanner.hpp"

namespace {

struct Expected {
  std::string input;
  std::uint64_t documents;
  std::uint64_t consumed;
};

MemoryScanner::Result scan(const std::string& input) {
  MemoryScanner scanner;
  return scanner.scan(reinterpret_cast<const std::uint8_t*>(input.data()), input.size());
}

bool same(const MemoryScanner::Result& a, const MemoryScanner::Result& b) {
  return a.documents == b.documents && a.consumed == b.consumed;
}

TEST(Scanner, DocumentedExamples) {
  const Expected cases[] = {
      {"{\"a\":1}\n{\"b\":2}\n", 2, 16},
      {"{\"a\":1}\n{\"b\":2}", 2, 15},
      {"{\"a\":1}\n{\"b\":", 1, 8},
      {"1 2 3", 3, 5},
      {"", 0, 0},
  };
  for (const Expected& c : cases) {
    const MemoryScanner::Result result = scan(c.input);
    EXPECT_EQ(result.documents, c.documents) << c.input;
    EXPECT_EQ(result.consumed, c.consumed) << c.input;
  }
}

// Random byte soup from JSON's structural pieces.
std::vector<std::string> soups(std::size_t count) {
  static const char* const PIECES[] = {
      "{",    "}",  "[",    "]",        "\"",           ",",        ":",    "1",   " ",     "\n",
      "true", "\\", "\x01", "\xc3\xa9", "\xef\xbb\xbf", "\xe2\x82", "\xff", "nul", "-0.5e3"};
  std::mt19937 rng(7);
  std::vector<std::string> result;
  for (std::size_t i = 0; i < count; ++i) {
    std::string soup;
    for (auto n = rng() % 48; n > 0; --n) soup += PIECES[rng() % (sizeof PIECES / sizeof PIECES[0])];
    result.push_back(soup);
  }
  return result;
}

TEST(Scanner, ReusedAndFreshInstancesAgreeAndStayInBounds) {
  MemoryScanner reused;
  for (const std::string& input : soups(3000)) {
    const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
    const MemoryScanner::Result fresh = scan(input);
    EXPECT_TRUE(same(reused.scan(data, input.size()), fresh)) << input;
    EXPECT_LE(fresh.consumed, input.size()) << input;
  }
}

TEST(Scanner, AlignmentDoesNotMatter) {
  MemoryScanner scanner;
  std::vector<std::uint8_t> room(4096 + 64);
  for (const std::string& input : soups(300)) {
    const MemoryScanner::Result expected = scan(input);
    for (std::size_t shift = 0; shift < 64; shift += 7) {
      std::memcpy(room.data() + shift, input.data(), input.size());
      EXPECT_TRUE(same(scanner.scan(room.data() + shift, input.size()), expected))
          << input << " at " << shift;
    }
  }
}

// The input's last byte is the last readable byte before a PROT_NONE page: any read past the
// end faults.
TEST(Scanner, InputEndingAtAnUnreadablePageIsReadInBounds) {
  const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  void* region = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  auto* bytes = static_cast<std::uint8_t*>(region);
  ASSERT_EQ(mprotect(bytes + page, page, PROT_NONE), 0);
  MemoryScanner scanner;
  std::vector<std::string> inputs = soups(200);
  inputs.push_back(std::string(page, ' ').replace(page - 9, 9, "{\"k\":\"v\""));
  for (const std::string& input : inputs) {
    if (input.size() > page) continue;
    std::uint8_t* start = bytes + page - input.size();
    std::memcpy(start, input.data(), input.size());
    EXPECT_TRUE(same(scanner.scan(start, input.size()), scan(input))) << input;
  }
  munmap(region, 2 * page);
}

// Lines of a stream: records, scalars, nested arrays, documents spread over several lines, blank
// and whitespace-only lines, CRLF endings.
const char* const LINES[] = {
    "{\"id\":1,\"kind\":\"click\",\"tags\":[\"x\",\"y\"]}\n",
    "{\"text\":\"\\u00e9\\n \\\"q\\\" {[,:]}\",\"nested\":{\"v\":[1,[2,[3,{\"w\":null}]]]}}\n",
    "{\"a\":1}\r\n",
    "17\n",
    "-0.5e3 true null \"s\"\n",
    "[[1,2],[],[[[]]]]\n",
    "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\"\n",
    "{\n  \"a\": [1,\n    2],\n  \"b\": {\"c\": \"d\"}\n}\n",
    "[\n\"x\",\n\"y\"\n]\n",
    "\n",
    "\r\n",
    "   \t \n",
    "[1][2]{\"k\":3}\"s\"4\n",
};

// Faults put somewhere in a stream: byte order marks, stray punctuation, unfinished or
// malformed values, raw newlines and control characters in strings, invalid UTF-8.
const char* const FAULTS[] = {
    "\xef\xbb\xbf", "]",        "}",    ":",     ",",        "{\"a\" 1}", "tru",      "[1,2",  "\"unclosed",
    "\"a\nb\"",     "\"\x01\"", "\xff", "\xc3(", "\xe2\x82", "\\",        "{\"a\":}", "1,2\n",
};

template <std::size_t N>
const char* pick(std::mt19937& rng, const char* const (&choices)[N]) {
  return choices[rng() % N];
}

// A stream of up to a few KiB: half of them well formed, the others with a fault or two at line
// starts or anywhere; long whitespace runs now and then; sometimes cut anywhere at the end.
std::string random_stream(std::mt19937& rng) {
  std::string stream;
  for (auto lines = rng() % 80; lines > 0; --lines) {
    stream += rng() % 40 == 0 ? std::string(rng() % 600, rng() % 2 == 0 ? ' ' : '\n') : pick(rng, LINES);
  }
  for (auto faults = rng() % 2 == 0 ? 0 : 1 + rng() % 2; faults > 0; --faults) {
    std::size_t at = stream.empty() ? 0 : rng() % stream.size();
    if (rng() % 2 == 0) {
      const std::size_t line_start = stream.rfind('\n', at);
      at = line_start == std::string::npos ? 0 : line_start + 1;
    }
    stream.insert(at, pick(rng, FAULTS));
  }
  if (rng() % 3 == 0 && !stream.empty())
    stream.resize(stream.size() - rng() % std::min<std::size_t>(stream.size(), 40));
  return stream;
}

// Scans each input in one stream and with windows of many sizes, from 1 byte to a few KiB, and
// expects the same results; under every simdjson implementation this machine runs (the portable
// fallback included: its indexing differs, in what it checks of a window's last bytes), each
// with its own scanners since a parser keeps the implementation it was allocated with.
void expect_windowed_scans_agree(const std::vector<std::string>& inputs,
                                 std::size_t batch = MemoryScanner::BATCH_SIZE) {
  const simdjson::implementation* active = simdjson::get_active_implementation();
  for (const simdjson::implementation* implementation : simdjson::get_available_implementations()) {
    if (!implementation->supported_by_runtime_system()) continue;
    simdjson::get_active_implementation() = implementation;
    MemoryScanner single(std::numeric_limits<std::size_t>::max(), batch);
    std::vector<MemoryScanner> windowed;
    for (const std::size_t window : {1, 16, 17, 31, 64, 100, 256, 1000, 4096})
      windowed.emplace_back(window, batch);
    for (const std::string& input : inputs) {
      const auto* data = reinterpret_cast<const std::uint8_t*>(input.data());
      const MemoryScanner::Result expected = single.scan(data, input.size());
      for (MemoryScanner& scanner : windowed) {
        EXPECT_TRUE(same(scanner.scan(data, input.size()), expected))
            << implementation->name() << ", batch " << batch << ": " << input;
      }
    }
  }
  simdjson::get_active_implementation() = active;
}

// Batches of a few dozen bytes up cut these inputs as the full batch cuts inputs longer than 2^30
// bytes; they see fewer inputs, as each batch of a windowed scan starts a thread.
const std::size_t SMALL_BATCHES[] = {32, 97, 1000};
constexpr std::size_t SMALL_BATCH_INPUTS = 300;

// Long NDJSON with one document spread over lines, at several places: the window cut inside it
// leaves it unfinished, so the next window starts earlier than where the windows scanned ahead on
// the second thread were cut, and those must be dropped.
std::vector<std::string> ndjson_with_a_spread_document() {
  std::vector<std::string> result;
  for (const int at : {0, 3, 40, 2500, 4999}) {
    std::string stream;
    for (int line = 0; line < 5000; ++line) stream += line == at ? LINES[7] : LINES[0];
    result.push_back(stream);
  }
  return result;
}

TEST(Scanner, WindowedScansAgreeWithTheSingleStream) {
  std::mt19937 rng(11);
  std::vector<std::string> inputs;
  for (int i = 0; i < 3000; ++i) inputs.push_back(random_stream(rng));
  for (const std::string& stream : ndjson_with_a_spread_document()) inputs.push_back(stream);
  expect_windowed_scans_agree(inputs);
  inputs.resize(SMALL_BATCH_INPUTS);
  for (const std::size_t batch : SMALL_BATCHES) expect_windowed_scans_agree(inputs, batch);
}

// Every window checks its own UTF-8, up to its last byte: invalid bytes at each position of a
// stream, right before the newlines the windows are cut at and in the unfinished document at its
// end included; with small batches, right before and after their ends too.
TEST(Scanner, WindowedScansFindInvalidUtf8Anywhere) {
  std::string stream;
  for (int i = 0; i < 4; ++i) stream += "{\"a\":\"\xc3\xa9\"}\n[1,2]\n\"\xe2\x82\xac\"\n3\n";
  stream += "{\"b\":[1,";
  std::vector<std::string> inputs;
  for (const char* bad :
       {"\xff", "\x80", "\xc3", "\xe2\x82", "\xed\xa0\x80", "\xf0\x9f\x98", "\xf4\x90\x80\x80"}) {
    for (std::size_t at = 0; at <= stream.size(); ++at) inputs.push_back(std::string(stream).insert(at, bad));
  }
  expect_windowed_scans_agree(inputs);
  expect_windowed_scans_agree(inputs, SMALL_BATCHES[0]);
}

}  // namespace
