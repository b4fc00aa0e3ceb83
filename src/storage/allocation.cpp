// CRoaring's memory hook: failures become std::bad_alloc; inside an AllocationScope blocks are
// recorded and frees deferred, so that the scope can be undone (design in allocation.hpp).
#include "allocation.hpp"

#include <malloc.h>
#include <roaring/roaring.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <vector>

namespace quorvel::storage {

namespace {

void* standard_aligned_malloc(std::size_t alignment, std::size_t size) {
  void* block = nullptr;
  return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

constexpr RawAllocator STANDARD = {std::malloc, std::realloc, std::calloc, std::free, standard_aligned_malloc,
                                   std::free};
RawAllocator raw = STANDARD;

struct Block {
  void* pointer;
  bool aligned;
};

void release(const Block& block) noexcept { (block.aligned ? raw.aligned_free : raw.free)(block.pointer); }

// Recorded blocks of the scopes open on this thread (only the outermost one keeps records).
struct ScopeRecords {
  std::size_t depth = 0;
  std::size_t immediate = 0;         // open ImmediateRelease guards
  int exceptions_at_entry = 0;       // std::uncaught_exceptions() when the outermost scope opened
  std::size_t outside_releases = 0;  // announced by the open scopes
  std::vector<Block> made;           // handed out inside the scope
  std::vector<Block> released;       // freed by CRoaring inside the scope: freed at commit

  // Each block can be released once: keeping room for all of them means a free never allocates.
  void keep_room_for_releases(std::size_t made_blocks) {
    const std::size_t needed = made_blocks + outside_releases;
    if (released.capacity() < needed) released.reserve(std::max(needed, 2 * released.capacity()));
  }

  void reset() noexcept {
    constexpr std::size_t KEPT_CAPACITY = std::size_t{1} << 16;  // records; a large scope's go back
    made.clear();
    released.clear();
    outside_releases = 0;
    if (made.capacity() > KEPT_CAPACITY) std::vector<Block>().swap(made);
    if (released.capacity() > KEPT_CAPACITY) std::vector<Block>().swap(released);
  }
};

thread_local ScopeRecords records;

void* fail_unless(void* block, bool requested) {
  if (block == nullptr && requested) throw std::bad_alloc();
  return block;
}

// Records `block` when a scope is open; a block that cannot be recorded is freed again.
void* track(void* block, bool aligned) {
  if (records.depth == 0 || block == nullptr) return block;
  try {
    records.keep_room_for_releases(records.made.size() + 1);
    records.made.push_back({block, aligned});
  } catch (...) {
    release({block, aligned});
    throw;
  }
  return block;
}

void defer_or_free(const Block& block) noexcept {
  if (block.pointer == nullptr) return;
  if (records.depth == 0 || records.immediate > 0) return release(block);
  if (records.released.size() < records.released.capacity()) {
    records.released.push_back(block);
    return;
  }
  // Unreachable while every scope announces its outside releases: free now, and forget the block
  // if the scope made it, so that undoing the scope cannot free it twice.
  const auto made = std::find_if(records.made.rbegin(), records.made.rend(),
                                 [&](const Block& kept) { return kept.pointer == block.pointer; });
  if (made != records.made.rend()) records.made.erase(std::next(made).base());
  release(block);
}

void* hook_malloc(std::size_t size) { return track(fail_unless(raw.malloc(size), size != 0), false); }

void* hook_calloc(std::size_t count, std::size_t size) {
  return track(fail_unless(raw.calloc(count, size), count != 0 && size != 0), false);
}

void* hook_aligned_malloc(std::size_t alignment, std::size_t size) {
  return track(fail_unless(raw.aligned_malloc(alignment, size), size != 0), true);
}

void hook_free(void* block) noexcept { defer_or_free({block, false}); }
void hook_aligned_free(void* block) noexcept { defer_or_free({block, true}); }

// Outside a scope: realloc, except that a shrink that fails keeps the block, which still serves.
// Inside: a block never moves to shrink, and grows by a new block and a copy, so that the old one
// stays intact until the scope commits.
void* hook_realloc(void* block, std::size_t size) {
  if (block == nullptr) return hook_malloc(size);
  const std::size_t usable = malloc_usable_size(block);
  if (records.depth == 0) {
    if (void* moved = raw.realloc(block, size)) return moved;
    if (size == 0 || size <= usable) return size == 0 ? nullptr : block;
    throw std::bad_alloc();
  }
  if (size <= usable) return block;
  void* moved = hook_malloc(size);
  std::memcpy(moved, block, usable);
  hook_free(block);
  return moved;
}

struct HookInstaller {
  HookInstaller() noexcept {
    roaring_init_memory_hook(
        {hook_malloc, hook_realloc, hook_calloc, hook_free, hook_aligned_malloc, hook_aligned_free});
  }
};
const HookInstaller installer;

}  // namespace

RawAllocator standard_allocator() noexcept { return STANDARD; }

void use_raw_allocator(const RawAllocator& allocator) noexcept { raw = allocator; }

AllocationScope::AllocationScope(std::size_t outside_releases) {
  records.outside_releases += outside_releases;
  try {
    records.keep_room_for_releases(records.made.size());
  } catch (...) {
    records.outside_releases -= outside_releases;
    throw;
  }
  if (records.depth++ == 0) records.exceptions_at_entry = std::uncaught_exceptions();
}

void AllocationScope::commit() noexcept {
  if (!open_) return;
  open_ = false;
  if (--records.depth > 0) return;
  for (const Block& block : records.released) release(block);
  records.reset();
}

AllocationScope::~AllocationScope() {
  if (!open_) return;
  if (--records.depth > 0) return;  // the outermost scope undoes everything
  for (const Block& block : records.made) release(block);
  records.reset();
}

ImmediateRelease::ImmediateRelease() noexcept { ++records.immediate; }
ImmediateRelease::~ImmediateRelease() { --records.immediate; }

bool allocation_scope_unwinding() noexcept {
  return records.depth > 0 && std::uncaught_exceptions() > records.exceptions_at_entry;
}

void require_memory(std::uint64_t bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  std::uint64_t limit = pages > 0 && page_size > 0
                            ? static_cast<std::uint64_t>(pages) * static_cast<std::uint64_t>(page_size)
                            : ~std::uint64_t{0};
  rlimit address_space{};
  if (getrlimit(RLIMIT_AS, &address_space) == 0 && address_space.rlim_cur != RLIM_INFINITY) {
    limit = std::min<std::uint64_t>(limit, address_space.rlim_cur);
  }
  if (bytes > limit) throw std::bad_alloc();
}

}  // namespace quorvel::storage
