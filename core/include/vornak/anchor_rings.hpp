// The least-squares sums of a VAD fit, v = a + b cos(az) + c sin(az), of
// the range rings of a sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak::anchor {

// The gates a fit sees: every `step`-th gate along the ray is one ring
// (gate / step); per ray its azimuth sector (0 to 7), cosine and sine.
struct RingGates {
  std::span<const std::int64_t> ray;
  std::span<const std::int64_t> gate;
  std::span<const float> velocity;
  std::span<const std::int64_t> sector;
  std::span<const double> cos_az;
  std::span<const double> sin_az;
  std::int64_t step = 1;
};

// A ring is fitted where its gates are at least `min_gates` and fall in at
// least `min_sectors` of the 8 sectors. With `previous` (nrings x 3
// coefficients), only gates within `tolerance` of that fit count.
struct RingRule {
  std::int64_t min_gates = 0;
  std::int64_t min_sectors = 0;
  const double* previous = nullptr;
  double tolerance = 0.0;
};

// Per ring: the 3 x 3 normal matrix (the identity where the ring is not
// fitted), the right-hand side and whether it is fitted. Sums are taken
// gate by gate in the order of the vectors. Precondition: every sector is
// in 0..7 and every gate / step below the number of rings.
void ring_sums(const RingGates& gates, const RingRule& rule, std::span<double> normal, std::span<double> rhs,
               std::span<std::uint8_t> fitted);

}  // namespace vornak::anchor
