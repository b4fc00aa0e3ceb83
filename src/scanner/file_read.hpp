// File reading for the NDJSON reader: a chunk of a regular file read by two threads at once, its
// newlines counted while they are still in cache. One thread's copy from the page cache leaves
// half of a two-core machine idle between scans.
#pragma once

#include <cstddef>
#include <cstdint>

struct ChunkRead {
  std::size_t got;       // bytes read: fewer than asked only at the file's end
  std::size_t newlines;  // the '\n' bytes among them
  int error;             // errno of a failed read (then got and newlines are 0), else 0
};

// Reads up to `size` bytes of the file `fd` at `offset` into `into` with pread, which does not
// move the file's position; a large chunk is read as two halves on two threads.
ChunkRead read_chunk(int fd, std::uint8_t* into, std::size_t size, std::uint64_t offset) noexcept;
