// The straightforward dealiasing, written step by step as the computation is
// defined: every interval labelled in its own passes, every contact stored as
// a sample and sorted, the merge loop scanning all slots and rebuilding the
// neighbour map. Slow on large or noisy sweeps, but plainly faithful: the fast
// core is checked against it bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"
#include "vornak/edges.hpp"
#include "vornak/sweep.hpp"

namespace vornak::straightforward {

using vornak::Edges;
using vornak::SweepParams;

// Velocity intervals aligned on the Nyquist interval, and the regions of
// gates that share an interval.

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

// The fold network: greedy agglomeration of regions across their strongest
// boundaries, giving one fold count per region.

// Groups are region labels (0 = no region, never at a boundary); slots are the
// boundaries, one per unordered pair of regions in contact.
struct Tracker {
  // Per group, R + 1 entries.
  Buffer<std::int32_t> group_size;
  Buffer<Buffer<std::int32_t>> group_members;
  Buffer<std::int32_t> folds;
  // Per slot, S = E / 2 entries.
  Buffer<std::int32_t> edge_a;
  Buffer<std::int32_t> edge_b;
  Buffer<float> edge_diff;
  Buffer<std::int32_t> edge_count;
  // Per group: the open slots touching it.
  Buffer<Buffer<std::int32_t>> group_edges;
  // Neighbour map of mapped_group.
  Buffer<std::uint8_t> is_neighbour;
  Buffer<std::int32_t> neighbour_edge;
  std::int32_t mapped_group = -1;

  // `sizes` holds the gate count of region l at l - 1 and must hold exactly
  // region_count entries; `twice_nyquist` is nyquist + nyquist.
  Tracker(const Edges& edges, std::int32_t region_count, std::span<const std::int32_t> sizes,
          double twice_nyquist);

  // Runs the merge loop and returns the fold count per region label
  // (R + 1 entries, [0] = 0). Consumes the tracker.
  [[nodiscard]] Buffer<std::int32_t> solve() &&;

  // One merge step: absorbs `absorbed` into `keeper` across slot `best`,
  // shifting the absorbed group by `delta` folds.
  void join(std::int32_t best, std::int32_t keeper, std::int32_t absorbed, std::int32_t delta);
};

// Every contact between different regions, condensed per ordered pair.
[[nodiscard]] Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                               std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                               std::int64_t skip_between_rays, std::int64_t skip_along_ray);

// The whole dealiasing of one sweep, stage after stage.
[[nodiscard]] Buffer<std::int32_t> sweep_folds(std::span<const float> vel, std::size_t nrays,
                                               std::size_t ngates,
                                               std::span<const std::uint8_t> mask, double nyquist,
                                               bool rays_wrap_around, const SweepParams& params);

}  // namespace vornak::straightforward
