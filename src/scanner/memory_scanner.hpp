// MemoryScanner: counts the JSON documents in a memory buffer and how many leading bytes
// the complete ones cover, so a caller streaming in chunks can carry the tail over.
#pragma once

#include <simdjson.h>

#include <cstddef>
#include <cstdint>

class MemoryScanner {
 public:
  struct Result {
    std::uint64_t consumed;   // bytes covered by complete documents, from the buffer's start
    std::uint64_t documents;  // documents counted
  };

  // Reads exactly `size` bytes at `data` (never past them).
  Result scan(const std::uint8_t* data, std::size_t size);

 private:
  simdjson::ondemand::parser parser_;
};
