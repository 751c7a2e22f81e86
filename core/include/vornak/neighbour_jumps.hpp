// Neighbour jumps of a dealiased sweep (python/vornak/_jumps.py): pairs of
// neighbouring valid gates whose dealiased velocities differ by more than the
// Nyquist velocity, counted in one pass from the measured velocities and the
// folds, without the dealiased sweep in memory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vornak::gates {

struct Jumps {
  std::size_t jumps = 0;  // pairs more than the Nyquist velocity apart
  std::size_t pairs = 0;  // pairs of two valid gates
};

// Along rays, across neighbouring rays, and between the last and the first ray.
struct NeighbourJumps {
  Jumps along;
  Jumps across;
  Jumps wrap;
};

// Each gate of `velocity` (rays x gates, C order) dealiased as it is stored
// (velocity + folds x span in double, rounded to float; NaN where
// `excluded`), each pair compared as double: |a - b| finite makes a pair,
// beyond `nyquist` a jump (an infinite difference is a jump and no pair).
// The last and the first ray are compared when `wrap` and there are more
// than two rays.
template <class Fold>
[[nodiscard]] NeighbourJumps neighbour_jumps(const float* velocity, const Fold* folds, const std::uint8_t* excluded,
                                             std::size_t rays, std::size_t gates, double span, double nyquist,
                                             bool wrap);

}  // namespace vornak::gates
