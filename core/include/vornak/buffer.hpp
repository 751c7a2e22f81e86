// Owned contiguous buffers of the core. Every core buffer allocates through
// `AbortingAllocator`: exhausted memory ends the process with one line on
// standard error, and sizes beyond the addressable range are the capacity
// failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "vornak/failure.hpp"

namespace vornak {

// Exhausted memory: writes "memory allocation of BYTES bytes failed" on
// standard error and aborts the process. Public so that code around the core
// (the extension module) treats its own failed allocations the same way.
[[noreturn]] void abort_allocation_failed(std::size_t bytes) noexcept;

namespace detail {
void* allocate_or_abort(std::size_t bytes) noexcept;
void release(void* p) noexcept;
}  // namespace detail

// Largest element count of a buffer of T that the platform can address.
template <class T>
inline constexpr std::size_t max_elements =
    static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max()) / sizeof(T);

template <class T>
struct AbortingAllocator {
  using value_type = T;

  AbortingAllocator() noexcept = default;
  template <class U>
  AbortingAllocator(const AbortingAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t n) {
    if (n > max_elements<T>) fail_capacity();
    return static_cast<T*>(detail::allocate_or_abort(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t) noexcept { detail::release(p); }
  [[nodiscard]] std::size_t max_size() const noexcept { return max_elements<T>; }

  // Elements made without a value are default-initialised: plain numbers are
  // left as they are (see uninitialized), records get their member defaults.
  template <class U>
  void construct(U* p) noexcept(noexcept(::new (static_cast<void*>(p)) U)) {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }

  template <class U>
  bool operator==(const AbortingAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Buffer = std::vector<T, AbortingAllocator<T>>;

// `count` value-initialised (zero) elements; the capacity failure, never
// std::length_error, when `count` cannot be addressed.
template <class T>
[[nodiscard]] Buffer<T> zeros(std::size_t count) {
  if (count > max_elements<T>) fail_capacity();
  return Buffer<T>(count, T{});
}

// `count` elements of a plain type, not written: for a buffer that is filled
// in full right away, so that its memory is written once, not twice.
template <class T>
[[nodiscard]] Buffer<T> uninitialized(std::size_t count) {
  static_assert(std::is_trivially_default_constructible_v<T>);
  if (count > max_elements<T>) fail_capacity();
  return Buffer<T>(count);
}

template <class T>
[[nodiscard]] Buffer<T> filled(std::size_t count, const T& value) {
  if (count > max_elements<T>) fail_capacity();
  return Buffer<T>(count, value);
}

}  // namespace vornak
