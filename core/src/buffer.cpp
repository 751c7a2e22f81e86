// Allocation for the core's buffers: malloc, or one line on standard error and abort.
#include "vornak/buffer.hpp"

#include <cstdio>
#include <cstdlib>

namespace vornak {

void abort_allocation_failed(std::size_t bytes) noexcept {
  std::fprintf(stderr, "memory allocation of %zu bytes failed\n", bytes);
  std::fflush(stderr);
  std::abort();
}

namespace detail {

void* allocate_or_abort(std::size_t bytes) noexcept {
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (p == nullptr) abort_allocation_failed(bytes);
  return p;
}

void release(void* p) noexcept { std::free(p); }

}  // namespace detail

}  // namespace vornak
