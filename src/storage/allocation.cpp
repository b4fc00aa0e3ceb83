// CRoaring's memory hook: failures become std::bad_alloc; inside an AllocationScope blocks are
// recorded and frees deferred, so that the scope can be undone (design in allocation.hpp).
#include "allocation.hpp"

#include <malloc.h>
#include <roaring/roaring.h>
#include <sys/resource.h>
#include <unistd.h>
#if __has_include(<sanitizer/asan_interface.h>)
#include <sanitizer/asan_interface.h>  // its poisoning macros do nothing without AddressSanitizer
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <iterator>
#include <new>
#include <type_traits>

namespace quorvel::storage {

namespace {

void* standard_aligned_malloc(std::size_t alignment, std::size_t size) {
  void* block = nullptr;
  return posix_memalign(&block, alignment, size) == 0 ? block : nullptr;
}

constexpr RawAllocator STANDARD = {std::malloc, std::realloc, std::calloc, std::free, standard_aligned_malloc,
                                   std::free};
RawAllocator raw = STANDARD;

// A block handed out by the hook; the low bit marks those of the aligned allocator (every block is
// at least 8-aligned). Eight bytes per record: a large scope records tens of millions.
using Block = std::uintptr_t;
// Marks a record of the released list whose block is already free (PromptRelease).
constexpr Block FREED = 2;

Block block_of(void* pointer, bool aligned) noexcept {
  return reinterpret_cast<Block>(pointer) | static_cast<Block>(aligned);
}

void release_thread_memory() noexcept;

// Frees the calling thread's record lists and kept blocks when it ends.
struct ThreadEnd {
  ThreadEnd() = default;
  ThreadEnd(const ThreadEnd&) = delete;
  ThreadEnd& operator=(const ThreadEnd&) = delete;
  ~ThreadEnd() { release_thread_memory(); }
};

// Registers the calling thread's ThreadEnd, once.
void register_thread_end() noexcept { thread_local const ThreadEnd thread_end; }

// CRoaring's only aligned blocks are the 8 KiB words of its bitset containers. glibc serves each by
// cutting a larger free chunk and trimming it, and the blocks of a dropped result merge again into
// large chunks (consolidating the fast bins) only to be cut anew for the next result: on bitmaps of
// bitsets, more time than the operation's own. So each thread keeps up to KEPT_BITSETS freed blocks
// of that size, linked through their first word, and hands them out again, the last freed (the one
// most likely in cache) first. They go back to the raw allocator when the thread ends, or when
// another raw allocator is installed. Under AddressSanitizer a kept block stays poisoned but for
// its link, so that a use after free is still reported.
constexpr std::size_t BITSET_BYTES = 8192;
constexpr std::size_t BITSET_ALIGNMENT = 64;  // the most CRoaring asks for (AVX-512)
constexpr std::size_t KEPT_BITSETS = 1024;    // 8 MiB a thread

struct KeptBitsets {
  void* latest;
  std::size_t count;
  bool closed;  // the thread has ended: blocks go back at once
};
static_assert(std::is_trivial_v<KeptBitsets>);
thread_local KeptBitsets kept_bitsets;

void*& link_of(void* block) noexcept { return *static_cast<void**>(block); }

void* take_kept(KeptBitsets& kept) noexcept {
  void* block = kept.latest;
  kept.latest = link_of(block);
  --kept.count;
  ASAN_UNPOISON_MEMORY_REGION(block, BITSET_BYTES);
  return block;
}

// Null when the raw allocator fails. A block made for a bitset is made with the largest alignment
// CRoaring asks for, so that any kept block serves any bitset request.
void* aligned_block(std::size_t alignment, std::size_t size) noexcept {
  if (size != BITSET_BYTES || alignment > BITSET_ALIGNMENT) return raw.aligned_malloc(alignment, size);
  KeptBitsets& kept = kept_bitsets;
  return kept.latest != nullptr ? take_kept(kept) : raw.aligned_malloc(BITSET_ALIGNMENT, size);
}

bool keeps(const KeptBitsets& kept, void* block) noexcept {
  if (kept.closed || kept.count >= KEPT_BITSETS || reinterpret_cast<Block>(block) % BITSET_ALIGNMENT != 0) {
    return false;
  }
  const std::size_t usable = malloc_usable_size(block);
  return usable >= BITSET_BYTES && usable < 2 * BITSET_BYTES;
}

void release_aligned(void* block) noexcept {
  KeptBitsets& kept = kept_bitsets;
  if (!keeps(kept, block)) return raw.aligned_free(block);
  if (kept.count == 0) register_thread_end();
  link_of(block) = kept.latest;
  kept.latest = block;
  ++kept.count;
  ASAN_POISON_MEMORY_REGION(static_cast<char*>(block) + sizeof(void*), BITSET_BYTES - sizeof(void*));
}

void release_kept_bitsets() noexcept {
  KeptBitsets& kept = kept_bitsets;
  while (kept.latest != nullptr) raw.aligned_free(take_kept(kept));
}

void release(Block block) noexcept {
  void* pointer = reinterpret_cast<void*>(block & ~Block{1});
  if ((block & 1) != 0) return release_aligned(pointer);
  raw.free(pointer);
}

// A growable list of blocks in the raw allocator's memory. Trivial, so that the thread's records
// need no initialisation check on each access from the hook.
struct BlockList {
  Block* data;
  std::size_t size;
  std::size_t capacity;

  // Throws std::bad_alloc when the room cannot be had; the list is then as it was.
  void reserve(std::size_t needed) {
    if (capacity >= needed) return;
    const std::size_t grown = std::max(needed, 2 * capacity);
    void* moved = raw.realloc(data, grown * sizeof(Block));
    if (moved == nullptr) throw std::bad_alloc();
    if (data == nullptr) register_thread_end();  // with the thread's first list
    data = static_cast<Block*>(moved);
    capacity = grown;
  }

  void push_back(Block block) noexcept { data[size++] = block; }  // after reserve
  // Drops the latest record of `block`, if there is one; the others keep their order.
  void forget(Block block) noexcept {
    const auto found =
        std::find(std::make_reverse_iterator(data + size), std::make_reverse_iterator(data), block);
    if (found == std::make_reverse_iterator(data)) return;
    Block* const place = std::next(found).base();
    std::copy(place + 1, data + size, place);
    --size;
  }
  const Block* begin() const noexcept { return data; }
  const Block* end() const noexcept { return data + size; }

  void discard() noexcept {
    raw.free(data);
    *this = {};
  }
};

// Recorded blocks of the scopes open on this thread (only the outermost one keeps records).
struct ScopeRecords {
  std::size_t depth;
  std::size_t immediate;         // open ImmediateRelease guards
  std::size_t prompt;            // open PromptRelease guards
  int exceptions_at_entry;       // std::uncaught_exceptions() when the outermost scope opened
  std::size_t outside_releases;  // announced by the open scopes
  BlockList made;                // handed out inside the scope
  BlockList released;            // freed by CRoaring inside the scope: freed at commit

  // Each block can be released once: keeping room for all of them means a free never allocates.
  void keep_room_for_releases(std::size_t made_blocks) { released.reserve(made_blocks + outside_releases); }

  void reset() noexcept {
    // Records kept for the next scope (2 MiB a list): room for a whole bucket built in one scope
    // (65,536 containers of two blocks) and its temporaries; a larger scope's lists go back.
    constexpr std::size_t KEPT_CAPACITY = std::size_t{1} << 18;
    made.size = released.size = 0;
    outside_releases = 0;
    if (made.capacity > KEPT_CAPACITY) made.discard();
    if (released.capacity > KEPT_CAPACITY) released.discard();
  }
};
static_assert(std::is_trivial_v<ScopeRecords>);

thread_local ScopeRecords this_thread_records;

// The calling thread's records; callers take the reference once. The empty asm statement hides
// where it points, so that GCC keeps it in a register instead of redoing the thread-local lookup (a
// call, in a dlopen'ed module: see CMakeLists.txt) at each use: up to three times per allocation.
ScopeRecords& records() noexcept {
  ScopeRecords* address = &this_thread_records;
  asm("" : "+r"(address));
  return *address;
}

void release_thread_memory() noexcept {
  ScopeRecords& open = records();
  open.made.discard();
  open.released.discard();
  release_kept_bitsets();
  kept_bitsets.closed = true;
}

// Frees the blocks the scope made, but those freed already: each record marked FREED cancels one
// record of the same block (an address handed out again after its free is recorded once more).
// Sorting both lists in place lines them up without allocating.
void release_made_blocks() noexcept {
  ScopeRecords& open = records();
  BlockList& made = open.made;
  BlockList& released = open.released;
  for (std::size_t i = 0; i < released.size; ++i) {
    released.data[i] = (released.data[i] & FREED) != 0 ? released.data[i] & ~FREED : ~Block{0};
  }
  std::sort(made.data, made.data + made.size);
  std::sort(released.data, released.data + released.size);  // the unmarked ones, now ~0, last
  const Block* freed = released.begin();
  for (const Block block : made) {
    while (freed != released.end() && *freed < block) ++freed;
    if (freed != released.end() && *freed == block) {
      ++freed;
      continue;
    }
    release(block);
  }
}

void* fail_unless(void* block, bool requested) {
  if (block == nullptr && requested) throw std::bad_alloc();
  return block;
}

// Records `block` when a scope is open; a block that cannot be recorded is freed again.
void* track(void* block, bool aligned) {
  ScopeRecords& open = records();
  if (open.depth == 0 || block == nullptr) return block;
  try {
    open.keep_room_for_releases(open.made.size + 1);
    open.made.reserve(open.made.size + 1);
  } catch (...) {
    release(block_of(block, aligned));
    throw;
  }
  open.made.push_back(block_of(block, aligned));
  return block;
}

void defer_or_free(void* pointer, bool aligned) noexcept {
  if (pointer == nullptr) return;
  const Block block = block_of(pointer, aligned);
  ScopeRecords& open = records();
  if (open.depth == 0 || open.immediate > 0) return release(block);
  if (open.released.size < open.released.capacity) {
    // Without outside releases every block freed in a scope is one it made: under a PromptRelease
    // it goes now, recorded as freed.
    if (open.prompt == 0 || open.outside_releases > 0) return open.released.push_back(block);
    open.released.push_back(block | FREED);
    return release(block);
  }
  // Unreachable while every scope announces its outside releases: free now, and forget the block
  // if the scope made it, so that undoing the scope cannot free it twice.
  open.made.forget(block);
  release(block);
}

void* hook_malloc(std::size_t size) { return track(fail_unless(raw.malloc(size), size != 0), false); }

void* hook_calloc(std::size_t count, std::size_t size) {
  return track(fail_unless(raw.calloc(count, size), count != 0 && size != 0), false);
}

void* hook_aligned_malloc(std::size_t alignment, std::size_t size) {
  return track(fail_unless(aligned_block(alignment, size), size != 0), true);
}

void hook_free(void* block) noexcept { defer_or_free(block, false); }
void hook_aligned_free(void* block) noexcept { defer_or_free(block, true); }

// Outside a scope: realloc, except that a shrink that fails keeps the block, which still serves.
// Inside: a block never moves to shrink, and grows by a new block and a copy, so that the old one
// stays intact until the scope commits.
void* hook_realloc(void* block, std::size_t size) {
  if (block == nullptr) return hook_malloc(size);
  const std::size_t usable = malloc_usable_size(block);
  if (records().depth == 0) {
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

void use_raw_allocator(const RawAllocator& allocator) noexcept {
  release_kept_bitsets();  // to the allocator that made them
  raw = allocator;
}

AllocationScope::AllocationScope(std::size_t outside_releases) {
  ScopeRecords& open = records();
  open.outside_releases += outside_releases;
  try {
    open.keep_room_for_releases(open.made.size);
  } catch (...) {
    open.outside_releases -= outside_releases;
    throw;
  }
  if (open.depth++ == 0) open.exceptions_at_entry = std::uncaught_exceptions();
}

void AllocationScope::commit() noexcept {
  if (!open_) return;
  open_ = false;
  ScopeRecords& open = records();
  if (--open.depth > 0) return;
  for (const Block block : open.released) {
    if ((block & FREED) == 0) release(block);
  }
  open.reset();
}

AllocationScope::~AllocationScope() {
  if (!open_) return;
  ScopeRecords& open = records();
  if (--open.depth > 0) return;  // the outermost scope undoes everything
  release_made_blocks();
  open.reset();
}

PromptRelease::PromptRelease() noexcept { ++records().prompt; }
PromptRelease::~PromptRelease() { --records().prompt; }

ImmediateRelease::ImmediateRelease() noexcept { ++records().immediate; }
ImmediateRelease::~ImmediateRelease() { --records().immediate; }

bool allocation_scope_unwinding() noexcept {
  const ScopeRecords& open = records();
  return open.depth > 0 && std::uncaught_exceptions() > open.exceptions_at_entry;
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
