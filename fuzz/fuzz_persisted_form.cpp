// Fuzzes Bitmap::read with arbitrary bytes in both payload variants: a read refuses or loads,
// never crashes or leaks, and whatever loads writes back and reads back equal, also after run
// optimisation and in the other variant.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <vector>

#include "bitmap_model.hpp"

namespace {

using quorvel::testing::Bitmap;
using quorvel::testing::keys_of;
using Bytes = std::vector<std::uint8_t>;

void require(bool condition, const char* what) {
  if (!condition) {
    std::fprintf(stderr, "persisted form: %s\n", what);
    std::abort();
  }
}

Bytes written(const Bitmap& bitmap, bool portable) {
  Bitmap sizer(bitmap);
  Bytes out(sizer.persisted_size(portable, false, false));
  require(bitmap.write(out.data(), out.size(), portable) == out.size(),
          "write size differs from persisted_size");
  return out;
}

// Reads `bytes` back and checks the result against `expected`, bucket keys included.
Bitmap read_back(const Bytes& bytes, bool portable, const Bitmap& expected) {
  Bitmap loaded = Bitmap::read(bytes.data(), bytes.size(), portable);
  require(loaded == expected, "members changed on the way back");
  require(keys_of(loaded) == keys_of(expected), "buckets changed on the way back");
  return loaded;
}

// The first members, walked: ascending, each a member, each at its rank.
void check_walk(const Bitmap& bitmap) {
  std::uint64_t rank = 0;
  std::optional<std::uint64_t> previous;
  for (auto it = bitmap.begin(); it != bitmap.end() && rank < 512; ++it, ++rank) {
    require(!previous || *previous < *it, "members out of order");
    require(bitmap.contains(*it) && bitmap.nth(rank) == *it && bitmap.lower_cardinality(*it) == rank,
            "walk disagrees with contains, nth or rank");
    previous = *it;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  for (const bool portable : {true, false}) {
    std::optional<Bitmap> loaded;
    try {
      loaded = Bitmap::read(data, size, portable);
    } catch (const std::invalid_argument&) {
      continue;
    } catch (const std::runtime_error&) {
      continue;
    }
    check_walk(*loaded);
    const Bytes form = written(*loaded, portable);
    const Bitmap again = read_back(form, portable, *loaded);
    require(written(again, portable) == form, "a second write differs from the first");
    read_back(written(*loaded, !portable), !portable, *loaded);
    Bitmap optimized(*loaded);
    optimized.persisted_size(portable, true, true);
    require(optimized == *loaded, "run optimisation changed members");
    read_back(written(optimized, portable), portable, *loaded);
  }
  return 0;
}
