// Large blocks on 2 MiB boundaries, marked for transparent huge pages, and the
// few of them kept between calls.
#include "vornak/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
#include <pthread.h>
#include <sys/mman.h>
#endif

namespace vornak::detail {

namespace {

#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t small_page = 4096;
// Below two huge pages most of a block would sit in its partial pages.
constexpr std::size_t smallest_mapped = smallest_mapped_block;
static_assert(smallest_mapped == 2 * huge_page);

// A block is whole huge pages of address space from a huge-page boundary,
// preceded by one small page that records its length: a table of a slightly
// different size in a later call fits the same block, and a block taken from
// the kept ones goes back whole.
std::size_t block_length(std::size_t bytes) noexcept {
  return (bytes + huge_page - 1) / huge_page * huge_page;
}

struct Header {
  std::size_t length;
};

Header& header_of(void* block) noexcept {
  return *reinterpret_cast<Header*>(static_cast<char*>(block) - small_page);
}

// Maps a block for `bytes`, and the header page before it: a larger range is
// mapped and the parts outside it unmapped again. Only the huge pages that
// the table fills are marked for huge pages; the rest of the block stays on
// small pages, so the resident set grows by no more than the table touched.
void* map_aligned(std::size_t bytes) noexcept {
  if (bytes > SIZE_MAX - 2 * huge_page - small_page) return nullptr;
  const std::size_t length = block_length(bytes);
  const std::size_t span = small_page + length + huge_page;
  void* raw = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned =
      (start + small_page + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
  const std::uintptr_t first = aligned - small_page;
  if (first > start) munmap(raw, first - start);
  const std::uintptr_t end = start + span;
  if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  void* p = reinterpret_cast<void*>(aligned);
  // Advice only: without huge pages the block is an ordinary mapping.
  const std::size_t filled = bytes / huge_page * huge_page;
  madvise(p, filled, MADV_HUGEPAGE);
  if (filled < length) madvise(static_cast<char*>(p) + filled, length - filled, MADV_NOHUGEPAGE);
  header_of(p).length = length;
  return p;
}

void unmap(void* block) noexcept {
  munmap(static_cast<char*>(block) - small_page, header_of(block).length + small_page);
}

// Blocks kept between calls, process-wide: a call that needs a large table
// takes one that an earlier call faulted in instead of a fresh mapping, so
// the kernel neither faults nor clears its pages again (huge_zeros clears it
// as it clears a fresh one). Fresh pages cost the most with two threads
// taking them at once.
//
// At most `kept_limit` blocks and `kept_bytes_limit` bytes of them are held
// between calls: the tables of two concurrent calls on a salt-and-pepper
// sweep of 720 x 1832 gates (four blocks of 6 to 20 MiB each, 56 MiB in
// all). A block given back is marked free to the kernel (MADV_FREE), which
// takes its pages back only under memory pressure; until then it counts in
// the resident set and is reused without a fault. Blocks are held until the
// process ends or a larger request replaces them; a forked child inherits
// them as copies of the parent's pages, shared until written. The lock is
// taken once per block taken or given back, never while a table is in use.
constexpr std::size_t kept_limit = 8;
constexpr std::size_t kept_bytes_limit = std::size_t{128} << 20;

struct Kept {
  pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
  void* blocks[kept_limit] = {};
  std::size_t count = 0;
  std::size_t bytes = 0;

  void remove(std::size_t i) noexcept {
    bytes -= header_of(blocks[i]).length;
    blocks[i] = blocks[--count];
  }
};

Kept& kept() noexcept {
  static Kept cache;
  return cache;
}

// A fork while another thread holds the lock would leave the child's copy
// locked for good: the lock is taken across fork, and released in both.
void lock_kept() noexcept { pthread_mutex_lock(&kept().lock); }
void unlock_kept() noexcept { pthread_mutex_unlock(&kept().lock); }
struct ForkGuard {
  ForkGuard() noexcept { pthread_atfork(lock_kept, unlock_kept, unlock_kept); }
};

// The smallest kept block of at least `bytes`, or nullptr. On a miss every
// kept block is too small: the largest of them are unmapped, as many bytes as
// the new block spans or all of them, before it is mapped, so that the blocks
// kept do not add to the call's peak.
void* take_kept(std::size_t bytes) noexcept {
  static const ForkGuard guard;
  void* dropped[kept_limit];
  std::size_t dropped_count = 0;
  lock_kept();
  Kept& k = kept();
  std::size_t best = k.count;
  for (std::size_t i = 0; i < k.count; ++i) {
    const std::size_t have = header_of(k.blocks[i]).length;
    if (have >= bytes && (best == k.count || have < header_of(k.blocks[best]).length)) best = i;
  }
  void* found = nullptr;
  if (best < k.count) {
    found = k.blocks[best];
    k.remove(best);
  } else {
    std::size_t freed = 0;
    const std::size_t length = block_length(bytes);
    while (freed < length && k.count > 0) {
      std::size_t largest = 0;
      for (std::size_t i = 1; i < k.count; ++i) {
        if (header_of(k.blocks[i]).length > header_of(k.blocks[largest]).length) largest = i;
      }
      freed += header_of(k.blocks[largest]).length;
      dropped[dropped_count++] = k.blocks[largest];
      k.remove(largest);
    }
  }
  unlock_kept();
  for (std::size_t i = 0; i < dropped_count; ++i) unmap(dropped[i]);
  return found;
}

// Keeps `block` for a later call if the limits allow, else unmaps it.
void give_back(void* block) noexcept {
  const std::size_t length = header_of(block).length;
#if defined(MADV_FREE)
  // Before the block is visible to another thread, whose writes it would undo.
  madvise(block, length, MADV_FREE);
#endif
  bool keep = false;
  lock_kept();
  Kept& k = kept();
  if (k.count < kept_limit && length <= kept_bytes_limit - k.bytes) {
    k.blocks[k.count++] = block;
    k.bytes += length;
    keep = true;
  }
  unlock_kept();
  if (!keep) unmap(block);
}
#endif

}  // namespace

void* allocate_large_or_abort(std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= smallest_mapped) {
    void* p = take_kept(bytes);
    if (p == nullptr) p = map_aligned(bytes);
    if (p == nullptr) abort_allocation_failed(bytes);
    return p;
  }
#endif
  return allocate_or_abort(bytes);
}

void release_large(void* p, std::size_t bytes) noexcept {
  if (p == nullptr) return;
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= smallest_mapped) {
    give_back(p);
    return;
  }
#endif
  release(p);
}

}  // namespace vornak::detail
