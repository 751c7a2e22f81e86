// The sweep driver: the stages in order, the early exits, centring and the per-gate output.
#include "vornak/sweep.hpp"

#include <algorithm>
#include <optional>
#include <utility>

#include "vornak/edges.hpp"
#include "vornak/grid.hpp"
#include "vornak/network.hpp"
#include "vornak/numeric.hpp"
#include "vornak/regions.hpp"

namespace vornak {

void center_folds(std::span<std::int32_t> folds, std::span<const std::int32_t> sizes) {
  require_length(folds.size(), sizes.size() + 1, "folds");
  std::int64_t total = 0;
  std::int64_t weighted = 0;
  for (std::size_t l = 1; l <= sizes.size(); ++l) {
    total = wrapping_add(total, static_cast<std::int64_t>(sizes[l - 1]));
    weighted = wrapping_add(weighted, wrapping_mul(static_cast<std::int64_t>(sizes[l - 1]),
                                                   static_cast<std::int64_t>(folds[l])));
  }
  if (total <= 0) return;
  const std::int32_t shift =
      rint_to_i32(static_cast<double>(weighted) / static_cast<double>(total));
  if (shift == 0) return;
  for (auto& fold : folds) fold = wrapping_sub(fold, shift);
}

FoldCounts sweep_folds(std::span<const float> vel, std::size_t nrays, std::size_t ngates,
                       std::span<const std::uint8_t> mask, double nyquist, bool rays_wrap_around,
                       const SweepParams& params) {
  const std::size_t n = gate_count(nrays, ngates);
  if (n == 0) return FoldCounts{};
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  vel = vel.first(n);
  mask = mask.first(n);

  // Sweeps whose velocities stay within the Nyquist interval are labelled in
  // the same pass that finds so; the others have their limits extended first.
  Extremes seen;
  std::optional<Regions> labelled = find_regions_within_nyquist(vel, mask, nrays, ngates, nyquist,
                                                              params.interval_splits, seen);
  if (!labelled) {
    const IntervalLimits limits =
        interval_limits(nyquist, params.interval_splits, vel, mask, seen);
    if (limits.size() < 2) return zeros<std::int32_t>(n);
    labelled = find_regions(vel, mask, nrays, ngates, limits);
  }

  // The labels become the fold counts in place once the network has solved.
  Regions& regions = *labelled;
  FoldCounts& result = regions.labels;
  auto unfolded = [&result]() -> FoldCounts {
    std::fill(result.begin(), result.end(), 0);
    return std::move(result);
  };
  if (regions.region_count < 2) return unfolded();

  const Buffer<std::int32_t>& sizes = regions.sizes;

  Buffer<std::int32_t> folds;
  {
    // Only the boundaries the network uses: each once, from its larger region.
    Edges boundaries =
        find_boundaries(result, regions.region_count, vel, nrays, ngates, rays_wrap_around,
                        params.skip_between_rays, params.skip_along_ray);
    if (boundaries.empty()) return unfolded();
    // The network's working arrays are gone when this block ends.
    folds = Tracker::from_boundaries(std::move(boundaries), regions.region_count, sizes,
                                     nyquist + nyquist)
                .solve();
  }

  if (params.centered) center_folds(folds, sizes);

  for (std::int32_t& gate : result) gate = folds[static_cast<std::size_t>(gate)];
  return std::move(result);
}

}  // namespace vornak
