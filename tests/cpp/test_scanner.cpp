// MemoryScanner without Python: documented results, reuse, alignment and buffers that end at an
// unreadable page.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
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
      {"{\"a\":1}\n{\"b\":2}\n", 2, 16}, {"{\"a\":1}\n{\"b\":2}", 2, 15}, {"{\"a\":1}\n{\"b\":", 1, 8},
      {"1 2 3", 3, 5},                   {"", 0, 0},
  };
  for (const Expected& c : cases) {
    const MemoryScanner::Result result = scan(c.input);
    EXPECT_EQ(result.documents, c.documents) << c.input;
    EXPECT_EQ(result.consumed, c.consumed) << c.input;
  }
}

// Random byte soup from JSON's structural pieces.
std::vector<std::string> soups(std::size_t count) {
  static const char* const PIECES[] = {"{", "}", "[", "]", "\"", ",", ":", "1", " ", "\n", "true", "\\", "\x01",
                                       "\xc3\xa9", "\xef\xbb\xbf", "\xe2\x82", "\xff", "nul", "-0.5e3"};
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
      EXPECT_TRUE(same(scanner.scan(room.data() + shift, input.size()), expected)) << input << " at " << shift;
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

}  // namespace
