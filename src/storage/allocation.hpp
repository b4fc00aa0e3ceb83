// How CRoaring allocates for Bitmap: failures become std::bad_alloc, and work done inside an
// AllocationScope can be undone completely, so a failed operation leaves its Bitmap as it was.
//
// CRoaring itself does not survive a failed allocation: many of its paths write through the null
// pointer they got, or grow a capacity field before the allocation that fails. So every CRoaring
// call that may allocate runs inside an AllocationScope, where the memory hook installed here
//  - throws std::bad_alloc instead of returning null (CRoaring is compiled with unwind tables, so
//    the exception passes through it);
//  - records every block it hands out, and defers every free until the scope commits (but the
//    frees of the scope's own blocks under a PromptRelease).
// A scope that ends without commit() frees exactly the blocks it handed out: whatever state CRoaring
// was in when the exception left it, nothing leaks and nothing is freed twice. Frees are deferred so
// that a block CRoaring released during the scope is still there for structures that the scope's
// owner restores (see Roaring32::optimize_runs) and cannot be handed out again meanwhile.
//
// The rules that make this sound, kept by every caller:
//  - inside a scope, CRoaring only builds new objects (or changes objects made in the same scope);
//    live structures change after commit(), with operations that cannot fail;
//  - an object that holds blocks of a scope is destroyed before the scope ends, unless it commits;
//  - nothing inside a scope catches std::bad_alloc and carries on.
// A CRoaring call that fails half-way can leave the object it changes with garbage in its index, so
// that object must not be cleared through CRoaring: while a scope is being left by an exception,
// Roaring32's destructor leaves its blocks to the scope (allocation_scope_unwinding).
// Scopes nest: only the outermost one commits or undoes.
// Below the scopes, each thread keeps the 8 KiB blocks of the bitset containers it frees, up to a
// bound, and hands them out again (allocation.cpp says why).
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>

namespace quorvel::storage {

// The allocator under the hook (std::malloc and friends by default). Tests put one in that fails
// on purpose; it must hand out blocks that malloc_usable_size and free understand.
struct RawAllocator {
  void* (*malloc)(std::size_t size);
  void* (*realloc)(void* block, std::size_t size);
  void* (*calloc)(std::size_t count, std::size_t size);
  void (*free)(void* block);
  void* (*aligned_malloc)(std::size_t alignment, std::size_t size);
  void (*aligned_free)(void* block);
};

RawAllocator standard_allocator() noexcept;
// Gives the calling thread's kept blocks back to the allocator in use before.
void use_raw_allocator(const RawAllocator& allocator) noexcept;

class AllocationScope {
 public:
  // `outside_releases`: how many blocks made before the scope CRoaring may free inside it; room to
  // record them is reserved here, so that a free never has to allocate.
  explicit AllocationScope(std::size_t outside_releases = 0);
  AllocationScope(const AllocationScope&) = delete;
  AllocationScope& operator=(const AllocationScope&) = delete;
  ~AllocationScope();

  // Keeps what the scope built and performs the deferred frees.
  void commit() noexcept;

 private:
  bool open_ = true;
};

// What build() returns, built inside an AllocationScope of its own, so that it is an ordinary object
// once returned. Operations scope each bucket they build on its own rather than the whole
// operation: a scope then records one bucket's blocks, not a whole bitmap's.
template <class Build>
auto built_in_scope(Build&& build) {
  AllocationScope scope;
  auto built = std::forward<Build>(build)();
  scope.commit();
  return built;
}

// Inside it, within an AllocationScope that announced no outside releases, CRoaring's frees happen
// at once: every block freed there is one the scope made (a temporary container, say), and the
// next allocation can reuse it while it is still in cache, instead of new memory. Undoing the scope
// leaves those blocks out. For scopes that build a new bucket from buckets that stay as they are.
class PromptRelease {
 public:
  PromptRelease() noexcept;
  PromptRelease(const PromptRelease&) = delete;
  PromptRelease& operator=(const PromptRelease&) = delete;
  ~PromptRelease();
};

// Inside it CRoaring's frees happen at once, also within an AllocationScope: for blocks made before
// every open scope that nothing references once they are freed, whether the scopes commit or not
// (empty containers dropped from a live bucket's index).
class ImmediateRelease {
 public:
  ImmediateRelease() noexcept;
  ImmediateRelease(const ImmediateRelease&) = delete;
  ImmediateRelease& operator=(const ImmediateRelease&) = delete;
  ~ImmediateRelease();
};

// True while an exception is leaving the outermost open scope: every CRoaring object destroyed then
// was built in that scope, and the scope frees its blocks.
bool allocation_scope_unwinding() noexcept;

// Throws std::bad_alloc when `bytes` clearly exceed what this process may ever hold (its address
// space limit, or the machine's physical memory): such an operation fails at once instead of after
// minutes of allocating.
void require_memory(std::uint64_t bytes);

}  // namespace quorvel::storage
