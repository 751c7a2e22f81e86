#include "vornak/buffer.hpp"

#include <cstdint>
#include <cstdio>
#include <cstdlib>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vornak::detail {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;

// Large buffers are written soon after they are allocated, page by page. On
// Linux they are aligned on and offered to transparent huge pages: one fault
// per 2 MiB instead of 512 small ones, which on a virtual machine cost about
// 2 us each (a tenth of a smooth sweep's call). Elsewhere, and where the
// system declines the advice, they are ordinary allocations.
#if defined(__linux__) && defined(MADV_HUGEPAGE)
void* allocate_large(std::size_t bytes) noexcept {
  void* p = nullptr;
  if (posix_memalign(&p, huge_page, bytes) != 0) return nullptr;
  // The whole huge pages of the block; a refusal changes nothing.
  (void)madvise(p, bytes & ~(huge_page - 1), MADV_HUGEPAGE);
  return p;
}
#else
void* allocate_large(std::size_t bytes) noexcept { return std::malloc(bytes); }
#endif

}  // namespace

void abort_allocation_failed(std::size_t bytes) noexcept {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
  std::fflush(stderr);
  std::abort();
}

void* allocate_or_abort(std::size_t bytes) noexcept {
  void* p = bytes >= huge_page ? allocate_large(bytes) : std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) abort_allocation_failed(bytes);
  return p;
}

void release(void* p) noexcept { std::free(p); }

}  // namespace vornak::detail
