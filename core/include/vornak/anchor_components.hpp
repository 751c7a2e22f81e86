// Echo components: the areas of a sweep that whole folds move as one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak::anchor {

// The gates with echo of a sweep of `rays` x `gates`, as flat vectors in
// ray-major order, and their dealiased velocities.
struct EchoGates {
  std::span<const std::int64_t> ray;
  std::span<const std::int64_t> gate;
  std::span<const float> velocity;
  std::size_t rays = 0;
  std::size_t gates = 0;
};

// Component number of each gate (in `number`) and the count. Two gates are
// joined when they neighbour each other (along a ray with at most `gap`
// echo-free gates between, or at the same gate of neighbouring rays; the
// last ray neighbours the first when `wrap`) and their velocities differ by
// no more than `limit`. Components are numbered in the order a ray-major
// scan meets their first gate. Precondition: the gates are in ray-major
// order, each inside the sweep.
std::size_t echo_components(const EchoGates& echo, bool wrap, std::int64_t gap, float limit,
                            std::span<std::int64_t> number);

}  // namespace vornak::anchor
