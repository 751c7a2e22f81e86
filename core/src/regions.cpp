#include "vornak/regions.hpp"

#include <limits>

#include "vornak/grid.hpp"
#include "vornak/label.hpp"
#include "vornak/numeric.hpp"
#include "vornak/util.hpp"

namespace vornak {

namespace {

// Limit counts at or beyond this cannot be materialised on any platform.
constexpr std::int64_t max_limit_count = std::int64_t{1} << 61;

}  // namespace

Buffer<double> interval_limits(double nyquist, std::int64_t interval_splits,
                               std::span<const float> vel, std::span<const std::uint8_t> mask) {
  require_length(mask.size(), vel.size(), "mask");
  const double width = (nyquist + nyquist) / static_cast<double>(interval_splits);

  // NaN never replaces an extreme: both comparisons are false for it.
  float vmin = std::numeric_limits<float>::infinity();
  float vmax = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < vel.size(); ++i) {
    if (mask[i] != 0) continue;
    if (vel[i] < vmin) vmin = vel[i];
    if (vel[i] > vmax) vmax = vel[i];
  }

  // Both counts are taken as soon as either side exceeds: the side that does
  // not exceed gets a count of zero or less, which moves its end inward.
  std::int64_t above = 0;
  std::int64_t below = 0;
  if (widen(vmin) < -nyquist || widen(vmax) > nyquist) {
    above = ceil_to_i64((widen(vmax) - nyquist) / width);
    below = ceil_to_i64(-(widen(vmin) + nyquist) / width);
  }

  const std::int64_t count = wrapping_add(wrapping_add(wrapping_add(interval_splits, below), above),
                                          std::int64_t{1});
  if (count <= 0) return {};
  if (count >= max_limit_count) fail_capacity();

  const double start = -nyquist - static_cast<double>(below) * width;
  const double end = nyquist + static_cast<double>(above) * width;
  return linspace(start, end, static_cast<std::size_t>(count));
}

Regions find_regions(std::span<const float> vel, std::span<const std::uint8_t> mask,
                     std::size_t nrays, std::size_t ngates, std::span<const double> limits) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  require_length(limits.size(), 2, "limits");

  Regions result{zeros<std::int32_t>(n), 0};
  Buffer<std::uint8_t> inside = zeros<std::uint8_t>(n);
  std::int32_t offset = 0;
  for (std::size_t k = 0; k + 1 < limits.size(); ++k) {
    const double low = limits[k];
    const double high = limits[k + 1];
    for (std::size_t i = 0; i < n; ++i) {
      const double v = widen(vel[i]);
      // Half-open interval; NaN fails both comparisons and joins no interval.
      inside[i] = (mask[i] == 0 && low <= v && v < high) ? 1 : 0;
    }
    const Components local = label_components(inside, nrays, ngates);
    if (local.count >= 1) {
      for (std::size_t i = 0; i < n; ++i) {
        if (local.labels[i] != 0) result.labels[i] = wrapping_add(offset, local.labels[i]);
      }
      offset = wrapping_add(offset, local.count);
    }
  }
  result.region_count = offset;
  return result;
}

}  // namespace vornak
