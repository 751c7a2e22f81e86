// The least-squares sums of a VAD fit, v = a + b cos(az) + c sin(az), of
// the range rings of a sweep.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornak::anchor {

// The rings of a sweep read straight from its arrays: every `step`-th gate
// along the ray, fitted where it has `min_gates` gates in `min_sectors` of
// 8 azimuth sectors; per ray its sector, cosine and sine.
struct RingCells {
  std::span<const std::int64_t> sector;
  std::span<const double> cos_az;
  std::span<const double> sin_az;
  std::int64_t step = 1;
  std::int64_t min_gates = 0;
  std::int64_t min_sectors = 0;
};

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
// least `min_sectors` of the 8 sectors. With a previous fit (`fitted_before`
// per ring, `previous`: 3 coefficients per ring fitted before, in ring
// order), only the gates of rings fitted before and within `tolerance` of
// that fit count: fewer gates, so no other ring can be fitted.
struct RingRule {
  std::int64_t min_gates = 0;
  std::int64_t min_sectors = 0;
  std::span<const std::uint8_t> fitted_before;  // empty: a first fit
  std::span<const double> previous;
  double tolerance = 0.0;
};

// The running sums of one ring's fit: [1] cos, [2] sin, [3] cos^2, [4] sin^2,
// [5] cos sin, [6] v, [7] v cos, [8] v sin ([0] unused; the count is kept
// apart). One gate is added at a time, so the sums follow the gates' order.
using RingMoments = std::array<double, 9>;

inline void add_ring_gate(RingMoments& sum, double c, double s, double v) {
  sum[1] += c;
  sum[2] += s;
  sum[3] += c * c;
  sum[4] += s * s;
  sum[5] += c * s;
  sum[6] += v;
  sum[7] += v * c;
  sum[8] += v * s;
}

// The ring's 3 x 3 normal matrix (row by row) and right-hand side, appended.
inline void append_normal_equations(const RingMoments& s, std::int64_t count, std::vector<double>& normal,
                                    std::vector<double>& rhs) {
  const auto n = static_cast<double>(count);
  normal.insert(normal.end(), {n, s[1], s[2], s[1], s[3], s[5], s[2], s[5], s[4]});
  rhs.insert(rhs.end(), {s[6], s[7], s[8]});
}

// Whether each ring is fitted (`fitted`, one per ring), and for each fitted
// ring, in order, its 3 x 3 normal matrix and right-hand side appended to
// `normal` and `rhs`. Sums are taken gate by gate in the order of the
// vectors. Preconditions: every sector is in 0..7, every gate / step below
// the number of rings, and `previous` holds a row per ring fitted before.
void ring_sums(const RingGates& gates, const RingRule& rule, std::span<std::uint8_t> fitted,
               std::vector<double>& normal, std::vector<double>& rhs);

}  // namespace vornak::anchor
