// Velocity intervals aligned on the Nyquist interval, and the regions of
// gates that share an interval.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "vornak/buffer.hpp"

namespace vornak {

// The interval limits in closed form, never materialised: limit k is
// k * step + start (product first) for k < count - 1, and the last limit is
// `end` itself. Interval k is [limit k, limit k + 1).
struct IntervalLimits {
  double start = 0.0;
  double end = 0.0;
  double step = 0.0;
  std::uint64_t count = 0;

  static constexpr std::uint64_t none = std::numeric_limits<std::uint64_t>::max();

  [[nodiscard]] std::uint64_t size() const noexcept { return count; }
  [[nodiscard]] std::uint64_t interval_count() const noexcept { return count < 2 ? 0 : count - 1; }

  // Limit k, for k < count.
  [[nodiscard]] double operator[](std::uint64_t k) const noexcept {
    if (count == 1) return start;
    if (k + 1 == count) return end;
    return static_cast<double>(k) * step + start;
  }

  // The interval holding velocity v (limit k <= v < limit k + 1), or `none`.
  // Every velocity lies in at most one interval.
  [[nodiscard]] std::uint64_t interval_of(double v) const noexcept;
};

// The extremes of the velocities that the mask keeps among the first
// `gates` gates (NaN never counts); none: +inf and -inf.
struct Extremes {
  float lowest = std::numeric_limits<float>::infinity();
  float highest = -std::numeric_limits<float>::infinity();
  std::size_t gates = 0;
};

// interval_splits equal intervals over [-nyquist, nyquist], extended by whole
// widths when valid velocities lie outside it (the other end then moves
// inward). Fails with "capacity overflow" for 2^61 limits or more.
// Precondition: mask.size() >= vel.size().
[[nodiscard]] IntervalLimits interval_limits(double nyquist, std::int64_t interval_splits,
                                             std::span<const float> vel,
                                             std::span<const std::uint8_t> mask);

// The same, the extremes of the first `seen.gates` gates given by `seen`:
// only the gates after them are read.
[[nodiscard]] IntervalLimits interval_limits(double nyquist, std::int64_t interval_splits,
                                             std::span<const float> vel,
                                             std::span<const std::uint8_t> mask,
                                             const Extremes& seen);

struct Regions {
  Buffer<std::int32_t> labels;  // per gate: 0 = in no region, else 1..region_count
  std::int32_t region_count = 0;
  Buffer<std::int32_t> sizes;   // gates of region l at l - 1
};

// Labels the four-connected regions of gates sharing an interval, numbered
// interval by interval from the lowest, and within an interval in the order a
// ray-major scan meets their first gate. One labelling serves all intervals.
// Preconditions: limits.size() >= 2; vel and mask hold nrays * ngates values.
[[nodiscard]] Regions find_regions(std::span<const float> vel, std::span<const std::uint8_t> mask,
                                   std::size_t nrays, std::size_t ngates,
                                   const IntervalLimits& limits);

// find_regions with the limits that interval_limits gives when no valid
// velocity lies beyond [-nyquist, nyquist], found in the same pass over the
// gates: no pass of their own over the velocities. Returns nothing as soon as
// a ray holds a velocity the mask keeps beyond that interval, or when the
// limits give more than a few intervals; the limits must then be extended
// (interval_limits, given `seen`: the extremes of the rays read so far),
// then find_regions. Preconditions: vel and mask hold nrays * ngates values.
[[nodiscard]] std::optional<Regions> find_regions_within_nyquist(
    std::span<const float> vel, std::span<const std::uint8_t> mask, std::size_t nrays,
    std::size_t ngates, double nyquist, std::int64_t interval_splits, Extremes& seen);

}  // namespace vornak
