// Four gates at a time, for the passes over labels, velocities and the mask
// (GCC and Clang vector extensions: SSE2 on x86-64, the target's own vectors
// or plain code elsewhere). Internal to the core.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace vornak::lanes {

using FloatLanes = float __attribute__((vector_size(16)));
using IntLanes = std::int32_t __attribute__((vector_size(16)));

inline constexpr std::size_t lane_count = sizeof(IntLanes) / sizeof(std::int32_t);
static_assert(lane_count == 4);

// Loads four consecutive values; no alignment needed.
inline FloatLanes load_floats(const float* p) noexcept {
  FloatLanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

inline IntLanes load_ints(const std::int32_t* p) noexcept {
  IntLanes v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// -1 in the lanes of the four gates that the mask keeps (byte 0), 0 in the
// others.
inline IntLanes kept_lanes(const std::uint8_t* mask) noexcept {
  using MaskBytes = std::uint8_t __attribute__((vector_size(4)));
  MaskBytes m;
  std::memcpy(&m, mask, sizeof m);
  return __builtin_convertvector(m, IntLanes) == 0;
}

}  // namespace vornak::lanes
