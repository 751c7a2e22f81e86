// The fold network: greedy agglomeration of regions across their strongest
// boundaries, giving one fold count per region.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"
#include "vornak/edges.hpp"

namespace vornak {

inline constexpr std::int32_t consumed_slot = -999;

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

}  // namespace vornak
