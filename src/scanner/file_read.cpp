// File reading: a chunk read as two halves at once, each half's newlines counted by its thread.
#include "file_read.hpp"

#include <unistd.h>

#include <cerrno>
#include <exception>
#include <thread>

#include "newline_count.hpp"

namespace {

// Below this, a second thread costs more than it saves.
constexpr std::size_t SPLIT_SIZE = std::size_t{1} << 20;

// Fills [into, into + size) from the file at `offset` until it is full or the file ends.
ChunkRead read_counted(int fd, std::uint8_t* into, std::size_t size, std::uint64_t offset) noexcept {
  std::size_t got = 0;
  while (got < size) {
    const ssize_t part = pread(fd, into + got, size - got, static_cast<off_t>(offset + got));
    if (part == 0) break;
    if (part < 0) {
      if (errno == EINTR) continue;
      return {0, 0, errno};
    }
    got += static_cast<std::size_t>(part);
  }
  return {got, count_newlines(into, got), 0};
}

// The two halves as one read: the second counts only when the first is full, since otherwise
// the file ended (or shrank) inside the first.
ChunkRead joined(const ChunkRead& first, const ChunkRead& second, std::size_t first_size) noexcept {
  if (first.error != 0 || first.got < first_size) return first;
  if (second.error != 0) return second;
  return {first.got + second.got, first.newlines + second.newlines, 0};
}

}  // namespace

ChunkRead read_chunk(int fd, std::uint8_t* into, std::size_t size, std::uint64_t offset) noexcept {
  if (size < SPLIT_SIZE) return read_counted(fd, into, size, offset);
  const std::size_t half = size / 2;
  ChunkRead second{};
  std::thread helper;
  try {
    helper = std::thread([&] { second = read_counted(fd, into + half, size - half, offset + half); });
  } catch (const std::exception&) {  // no thread to be had: one read on this thread
    return read_counted(fd, into, size, offset);
  }
  const ChunkRead first = read_counted(fd, into, half, offset);
  helper.join();
  return joined(first, second, half);
}
