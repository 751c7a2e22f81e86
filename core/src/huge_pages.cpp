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

std::size_t mapped_length(std::size_t bytes) noexcept {
  return (bytes + small_page - 1) / small_page * small_page;
}

// A block is `length` bytes from a huge-page boundary, preceded by one small
// page that records the length: a block taken from the kept ones may be
// longer than the table it holds, and it goes back whole.
struct Header {
  std::size_t length;
};

Header& header_of(void* block) noexcept {
  return *reinterpret_cast<Header*>(static_cast<char*>(block) - small_page);
}

// Maps `length` bytes (whole small pages) starting on a huge-page boundary,
// and the header page before them: a larger range is mapped and the parts
// outside it unmapped again. The last partial huge page stays on small pages,
// so the resident set grows by no more than the table touched.
void* map_aligned(std::size_t length) noexcept {
  if (length > SIZE_MAX - huge_page - small_page) return nullptr;
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
  madvise(p, length, MADV_HUGEPAGE);
  header_of(p).length = length;
  return p;
}

void unmap(void* block) noexcept {
  munmap(static_cast<char*>(block) - small_page, header_of(block).length + small_page);
}

// Blocks kept between calls, process-wide: a call that needs a large table
// takes one that an earlier call faulted in (no page faults, no clearing by
// the kernel; huge_zeros clears it as it clears a fresh one) instead of a
// fresh mapping. A fresh block's page faults cost more with two threads
// taking them at once, and most with the first calls of a thread pool.
//
// At most `kept_limit` blocks and `kept_bytes_limit` bytes are held between
// calls: two concurrent calls' tables on a salt-and-pepper sweep of 720 x
// 1832 gates (four blocks of 6 to 19 MB each). They stay mapped until the
// process ends or a larger request replaces them. A forked child inherits
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

// The smallest kept block of at least `length` bytes, or nullptr. On a miss
// every kept block is too small: the largest of them are unmapped, until as
// many bytes as the new block's are gone, before it is mapped, so that the
// resident set never rises above what it was with the blocks kept.
void* take_kept(std::size_t length) noexcept {
  static const ForkGuard guard;
  void* dropped[kept_limit];
  std::size_t dropped_count = 0;
  lock_kept();
  Kept& k = kept();
  std::size_t best = k.count;
  for (std::size_t i = 0; i < k.count; ++i) {
    const std::size_t have = header_of(k.blocks[i]).length;
    if (have >= length && (best == k.count || have < header_of(k.blocks[best]).length)) best = i;
  }
  void* found = nullptr;
  if (best < k.count) {
    found = k.blocks[best];
    k.remove(best);
  } else {
    std::size_t freed = 0;
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
    const std::size_t length = mapped_length(bytes);
    void* p = take_kept(length);
    if (p == nullptr) p = map_aligned(length);
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
