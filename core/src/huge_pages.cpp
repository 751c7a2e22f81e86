// Large blocks on 2 MiB boundaries, marked for transparent huge pages.
#include "vornak/huge_pages.hpp"

#include <cstdint>

#if defined(__linux__)
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

// Maps `bytes` rounded up to whole small pages, starting on a huge-page
// boundary: a larger range is mapped and the parts outside it unmapped again.
// The last partial huge page stays on small pages, so the resident set grows
// by no more than the table touched.
void* map_aligned(std::size_t bytes) noexcept {
  const std::size_t length = mapped_length(bytes);
  if (length > SIZE_MAX - huge_page) return nullptr;
  void* raw = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + huge_page - 1) & ~(std::uintptr_t{huge_page} - 1);
  if (aligned > start) munmap(raw, aligned - start);
  const std::uintptr_t end = start + length + huge_page;
  if (end > aligned + length) munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
  void* p = reinterpret_cast<void*>(aligned);
  // Advice only: without huge pages the block is an ordinary mapping.
  madvise(p, length, MADV_HUGEPAGE);
  return p;
}
#endif

}  // namespace

void* allocate_large_or_abort(std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (bytes >= smallest_mapped) {
    void* p = map_aligned(bytes);
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
    munmap(p, mapped_length(bytes));
    return;
  }
#endif
  release(p);
}

}  // namespace vornak::detail
