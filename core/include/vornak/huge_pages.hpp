// Buffers for large tables read at random places (the fold network's slots,
// pair lookup and group records). Blocks of 4 MiB and more are mapped on
// 2 MiB boundaries and marked for transparent huge pages: a random read over
// tens of megabytes then needs no page walk, which in a virtual machine costs
// about as much as the read itself, and a fresh table takes one page fault per
// 2 MiB instead of one per 4 KiB. A few blocks are kept between calls and
// reused, faults and all (huge_pages.cpp says how many). Smaller blocks, and
// systems without the mapping calls, use the core's ordinary allocation.
#pragma once

#include <cstddef>
#include <type_traits>
#include <vector>

#include "vornak/buffer.hpp"

namespace vornak {

// Blocks of this many bytes and more are mappings of their own (where the
// system has the mapping calls), kept between calls within limits.
inline constexpr std::size_t smallest_mapped_block = std::size_t{4} << 20;

namespace detail {
void* allocate_large_or_abort(std::size_t bytes) noexcept;
void release_large(void* p, std::size_t bytes) noexcept;
}  // namespace detail

template <class T>
struct HugePageAllocator : AbortingAllocator<T> {
  using value_type = T;
  template <class U>
  struct rebind {
    using other = HugePageAllocator<U>;
  };

  HugePageAllocator() noexcept = default;
  template <class U>
  HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

  [[nodiscard]] T* allocate(std::size_t n) {
    if (n > max_elements<T>) fail_capacity();
    return static_cast<T*>(detail::allocate_large_or_abort(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { detail::release_large(p, n * sizeof(T)); }

  template <class U>
  bool operator==(const HugePageAllocator<U>&) const noexcept { return true; }
};

template <class T>
using HugeBuffer = std::vector<T, HugePageAllocator<T>>;

// `count` value-initialised (zero) elements, as zeros() but on huge pages.
template <class T>
[[nodiscard]] HugeBuffer<T> huge_zeros(std::size_t count) {
  if (count > max_elements<T>) fail_capacity();
  return HugeBuffer<T>(count, T{});
}

// `count` elements of a plain type, not written, as uninitialized() but on
// huge pages: they may hold an earlier call's values.
template <class T>
[[nodiscard]] HugeBuffer<T> huge_uninitialized(std::size_t count) {
  static_assert(std::is_trivially_default_constructible_v<T>);
  if (count > max_elements<T>) fail_capacity();
  return HugeBuffer<T>(count);
}

}  // namespace vornak
