// References for anchoring: the velocities that neighbouring sweeps, or a
// wind profile, give at the gates of a sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornak::anchor {

// Index into `values` (sorted ascending) nearest each target, -1 where the
// nearest is farther than `tolerance`. With `period`, the values wrap around
// (azimuths: the first also lies one period past the last). Ties go to the
// lower value.
[[nodiscard]] std::vector<std::int64_t> nearest_sorted(std::span<const double> values,
                                                       std::span<const double> targets, double tolerance,
                                                       const double* period);

// Median of the differences of successive `values` (with `period`, also
// from the last to the first one period on), as NumPy's median gives it:
// NaN where any difference is NaN. Precondition: there is a difference.
[[nodiscard]] double median_gap(std::span<const double> values, const double* period);

// A sweep as a reference: its current velocities by valid-gate number
// (`where`: that number by flat position, -1 without echo), scaled to the
// elevation of the sweep it is compared with.
struct Neighbour {
  std::span<const std::int64_t> ray_at;   // its ray nearest each ray of the sweep, or -1
  std::span<const std::int64_t> gate_at;  // its gate nearest each gate of the sweep, or -1
  std::span<const std::int32_t> where;
  std::span<const float> current;
  std::size_t gates = 0;
  float scale = 1.0f;
};

// The reference at each valid gate (ray, gate) from one or two neighbours:
// where both have a value they must agree within `limit` (their mean is
// taken), else there is none (NaN).
void colocated(std::span<const Neighbour> neighbours, std::span<const std::int64_t> ray,
               std::span<const std::int64_t> gate, float limit, std::span<float> reference) noexcept;

// The radial velocity a wind (east, north by gate along the ray, already
// times the cosine of the elevation) gives at each valid gate (ray, gate).
void along_rays(std::span<const double> east, std::span<const double> north, std::span<const double> sin_az,
                std::span<const double> cos_az, std::span<const std::int64_t> ray,
                std::span<const std::int64_t> gate, std::span<double> reference) noexcept;

}  // namespace vornak::anchor
