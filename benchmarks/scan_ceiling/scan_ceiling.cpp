// Counts the documents of an NDJSON file with simdjson's iterate_many over buffers that are
// padded before the clock starts: the fastest the library itself can do the scanner's work.
//
//   scan_ceiling FILE whole|chunked|batched|batched-unthreaded BYTES REPEATS
//
// Prints one JSON object: documents, consumed bytes, the median seconds of REPEATS runs, the SIMD
// kernel simdjson chose, its release and whether its stage-1 worker thread could run.
// `whole` hands the whole file to one stream; its batch follows the scanner's rule for an input
// of at most 2^30 bytes: the input size rounded up to a power of two (BYTES is not used).
// `chunked` cuts the file into BYTES reads and carries each unfinished line into the next
// buffer, as a streaming caller does; the buffers are prepared (and padded) in an untimed pass,
// each scanned as `whole` scans the file.
// `batched` hands the whole file to one stream with a batch of BYTES: the stream indexes the next
// batch on its worker thread while the caller walks the current one. `batched-unthreaded` does the
// same with the thread off, on the caller's thread alone.
#include <simdjson.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr std::size_t MIN_BATCH = std::size_t{1} << 16;
constexpr std::size_t MAX_BATCH = std::size_t{1} << 30;

std::size_t batch_for(std::size_t size) {
  std::size_t batch = MIN_BATCH;
  while (batch < size && batch < MAX_BATCH) batch *= 2;
  return batch;
}

struct Count {
  std::size_t documents = 0;
  std::size_t consumed = 0;
};

// Documents in one padded buffer, handed over with batches of `batch` bytes, and the bytes the
// complete ones cover.
Count count(simdjson::ondemand::parser& parser, const simdjson::padded_string& buffer, std::size_t batch) {
  simdjson::ondemand::document_stream stream;
  if (parser.iterate_many(buffer, batch).get(stream) != simdjson::SUCCESS) {
    std::fprintf(stderr, "iterate_many failed\n");
    std::exit(1);
  }
  Count result;
  for (auto it = stream.begin(); it != stream.end(); ++it) {
    if (it.error() != simdjson::SUCCESS) {
      std::fprintf(stderr, "stream failed: %s\n", simdjson::error_message(it.error()));
      std::exit(1);
    }
    ++result.documents;
  }
  result.consumed = buffer.size() - std::min(stream.truncated_bytes(), buffer.size());
  return result;
}

std::string read_file(const char* path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The buffers of a chunked reader: the carried tail plus the next chunk, cut after its last
// newline (the library alone may count a cut-off last line as a document; NDJSON lines are the
// documents, so the complete ones are handed over and the rest is carried).
std::vector<simdjson::padded_string> chunk_buffers(const std::string& text, std::size_t chunk) {
  std::vector<simdjson::padded_string> buffers;
  std::string tail;
  for (std::size_t offset = 0; offset < text.size(); offset += chunk) {
    std::string current = tail + text.substr(offset, chunk);
    const std::size_t complete = current.rfind('\n') == std::string::npos ? 0 : current.rfind('\n') + 1;
    buffers.emplace_back(current.data(), complete);
    tail = current.substr(complete);
  }
  if (!tail.empty()) buffers.emplace_back(tail);
  return buffers;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc == 5 ? argv[2] : "";
  if (mode != "whole" && mode != "chunked" && mode != "batched" && mode != "batched-unthreaded") {
    std::fprintf(stderr, "usage: %s FILE whole|chunked|batched|batched-unthreaded BYTES REPEATS\n", argv[0]);
    return 2;
  }
  const auto bytes = static_cast<std::size_t>(std::strtoull(argv[3], nullptr, 10));
  const int repeats = std::atoi(argv[4]);
  simdjson::ondemand::parser parser;
  parser.threaded = mode == "batched";
  std::vector<simdjson::padded_string> buffers;
  {
    const std::string text = read_file(argv[1]);
    if (mode == "chunked") {
      buffers = chunk_buffers(text, bytes);
    } else {
      buffers.emplace_back(text);
    }
  }
  const bool batched = mode == "batched" || mode == "batched-unthreaded";
  std::vector<double> seconds;
  Count total;
  for (int run = 0; run < repeats; ++run) {
    total = Count{};
    const auto start = std::chrono::steady_clock::now();
    for (const auto& buffer : buffers) {
      const Count part = count(parser, buffer, batched ? bytes : batch_for(buffer.size()));
      total.documents += part.documents;
      total.consumed += part.consumed;
    }
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  std::printf(
      "{\"documents\": %zu, \"consumed\": %zu, \"median_s\": %.9f, \"implementation\": \"%s\", "
      "\"simdjson\": \"%d.%d.%d\", \"threaded\": %s}\n",
      total.documents, total.consumed, seconds[seconds.size() / 2],
      simdjson::get_active_implementation()->name().c_str(), simdjson::SIMDJSON_VERSION_MAJOR,
      simdjson::SIMDJSON_VERSION_MINOR, simdjson::SIMDJSON_VERSION_REVISION,
      parser.threaded ? "true" : "false");
  return 0;
}
