// Velocity intervals aligned on the Nyquist interval, and the regions of
// gates that share an interval.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"

namespace vornak {

// Interval limits: interval_splits equal intervals over [-nyquist, nyquist],
// extended by whole widths when valid velocities lie outside it. Interval k is
// [limits[k], limits[k+1]). Fails with "capacity overflow" for 2^61 limits or
// more. Precondition: mask.size() >= vel.size().
[[nodiscard]] Buffer<double> interval_limits(double nyquist, std::int64_t interval_splits,
                                             std::span<const float> vel,
                                             std::span<const std::uint8_t> mask);

struct Regions {
  Buffer<std::int32_t> labels;  // per gate: 0 = in no region, else 1..region_count
  std::int32_t region_count = 0;
};

// Labels the connected regions of every interval, numbered interval by
// interval from the lowest, and within an interval in scan order.
// Preconditions: limits.size() >= 2; vel and mask hold nrays * ngates values.
[[nodiscard]] Regions find_regions(std::span<const float> vel, std::span<const std::uint8_t> mask,
                                   std::size_t nrays, std::size_t ngates,
                                   std::span<const double> limits);

}  // namespace vornak
