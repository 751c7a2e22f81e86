#include "vornak/network.hpp"

#include <algorithm>
#include <utility>

#include "vornak/numeric.hpp"

namespace vornak {

namespace {

// Takes out the first entry equal to `value`, keeping the order of the rest;
// a value not present leaves the list unchanged.
void remove_first(Buffer<std::int32_t>& list, std::int32_t value) {
  const auto it = std::find(list.begin(), list.end(), value);
  if (it != list.end()) list.erase(it);
}

std::size_t at(std::int32_t index) noexcept { return static_cast<std::size_t>(index); }

}  // namespace

Tracker::Tracker(const Edges& edges, std::int32_t region_count,
                 std::span<const std::int32_t> sizes, double twice_nyquist) {
  const std::size_t entries = edges.size();
  require_exact_length(edges.region_b.size(), entries, "edges.region_b");
  require_exact_length(edges.count.size(), entries, "edges.count");
  require_exact_length(edges.sum_a.size(), entries, "edges.sum_a");
  require_exact_length(edges.sum_b.size(), entries, "edges.sum_b");

  // Per-group arrays are indexed by label, label 0 included.
  const std::int32_t groups = wrapping_add(region_count, 1);
  if (groups < 0) fail_capacity();
  const auto n = static_cast<std::size_t>(groups);

  group_size = zeros<std::int32_t>(n);
  if (region_count < 0) {
    fail_index("length mismatch: sizes cannot match a negative region count");
  }
  require_exact_length(sizes.size(), static_cast<std::size_t>(region_count), "sizes");
  std::copy(sizes.begin(), sizes.end(), group_size.begin() + 1);

  group_members = zeros<Buffer<std::int32_t>>(n);
  for (std::size_t i = 0; i < n; ++i) group_members[i].push_back(static_cast<std::int32_t>(i));
  folds = zeros<std::int32_t>(n);

  const std::size_t slots = entries >> 1;
  edge_a = zeros<std::int32_t>(slots);
  edge_b = zeros<std::int32_t>(slots);
  edge_diff = zeros<float>(slots);
  edge_count = zeros<std::int32_t>(slots);
  group_edges = zeros<Buffer<std::int32_t>>(n);

  const auto valid_group = [&](std::int32_t id) {
    return static_cast<std::uint32_t>(id) <= static_cast<std::uint32_t>(region_count);
  };
  std::size_t k = 0;
  for (std::size_t i = 0; i < entries; ++i) {
    const std::int32_t a = edges.region_a[i];
    const std::int32_t b = edges.region_b[i];
    if (a < b) continue;
    if (k == slots) fail_index("index out of range: more boundaries than slots");
    if (!valid_group(a) || !valid_group(b)) fail_index("index out of range: region outside 0..R");
    edge_a[k] = a;
    edge_b[k] = b;
    edge_diff[k] = narrow_to_float((edges.sum_a[i] - edges.sum_b[i]) / twice_nyquist);
    edge_count[k] = edges.count[i];
    group_edges[at(a)].push_back(static_cast<std::int32_t>(k));
    group_edges[at(b)].push_back(static_cast<std::int32_t>(k));
    ++k;
  }

  is_neighbour = zeros<std::uint8_t>(n);
  neighbour_edge = zeros<std::int32_t>(n);
  mapped_group = -1;
}

Buffer<std::int32_t> Tracker::solve() && {
  const std::size_t slots = edge_count.size();
  if (slots > 0) {
    for (;;) {
      // The largest count wins; on ties the lowest slot.
      std::size_t best = 0;
      for (std::size_t k = 1; k < slots; ++k) {
        if (edge_count[k] > edge_count[best]) best = k;
      }
      if (edge_count[best] < 0) break;  // every slot consumed

      const std::int32_t a = edge_a[best];
      const std::int32_t b = edge_b[best];
      const double ratio =
          static_cast<double>(edge_diff[best]) / static_cast<double>(edge_count[best]);
      const std::int32_t shift = rint_to_i32(ratio);
      // The larger group keeps its folds; on equal sizes the edge_b side does.
      const auto best_slot = static_cast<std::int32_t>(best);
      if (group_size[at(a)] > group_size[at(b)]) {
        join(best_slot, a, b, shift);
      } else {
        join(best_slot, b, a, wrapping_neg(shift));
      }
    }
  }
  return std::move(folds);
}

void Tracker::join(std::int32_t best, std::int32_t keeper, std::int32_t absorbed,
                   std::int32_t delta) {
  if (delta != 0) {
    for (const std::int32_t r : group_members[at(absorbed)]) {
      folds[at(r)] = wrapping_add(folds[at(r)], delta);
    }
    // Every boundary of the absorbed group moves by delta folds per gate pair,
    // seen from its own side.
    for (const std::int32_t e : group_edges[at(absorbed)]) {
      const double p = static_cast<double>(static_cast<std::int64_t>(edge_count[at(e)]) *
                                           static_cast<std::int64_t>(delta));
      const double diff = static_cast<double>(edge_diff[at(e)]);
      edge_diff[at(e)] = narrow_to_float(edge_a[at(e)] == absorbed ? diff + p : diff - p);
    }
  }

  auto& members = group_members[at(keeper)];
  auto& moved = group_members[at(absorbed)];
  members.insert(members.end(), moved.begin(), moved.end());
  moved.clear();

  group_size[at(keeper)] = wrapping_add(group_size[at(keeper)], group_size[at(absorbed)]);
  group_size[at(absorbed)] = 0;

  edge_count[at(best)] = consumed_slot;
  remove_first(group_edges[at(absorbed)], best);
  remove_first(group_edges[at(keeper)], best);
  is_neighbour[at(absorbed)] = 0;

  // The neighbour map describes the keeper with every slot oriented away from
  // it; a run of absorptions into one keeper rebuilds it once.
  if (mapped_group != keeper) {
    std::fill(is_neighbour.begin(), is_neighbour.end(), std::uint8_t{0});
    for (const std::int32_t e : group_edges[at(keeper)]) {
      if (edge_b[at(e)] == keeper) {
        std::swap(edge_a[at(e)], edge_b[at(e)]);
        edge_diff[at(e)] = -edge_diff[at(e)];
      }
      const std::int32_t other = edge_b[at(e)];
      is_neighbour[at(other)] = 1;
      neighbour_edge[at(other)] = e;
    }
  }

  // Re-attach the absorbed group's boundaries to the keeper, fusing those that
  // lead to a group the keeper already borders. The walk goes over a copy
  // because fused slots leave the live list.
  const Buffer<std::int32_t> absorbed_edges = group_edges[at(absorbed)];
  for (const std::int32_t e : absorbed_edges) {
    if (edge_b[at(e)] == absorbed) {
      std::swap(edge_a[at(e)], edge_b[at(e)]);
      edge_diff[at(e)] = -edge_diff[at(e)];
    }
    edge_a[at(e)] = keeper;
    const std::int32_t other = edge_b[at(e)];
    if (is_neighbour[at(other)] == 0) {
      is_neighbour[at(other)] = 1;
      neighbour_edge[at(other)] = e;
    } else {
      const std::int32_t f = neighbour_edge[at(other)];
      edge_count[at(f)] = wrapping_add(edge_count[at(f)], edge_count[at(e)]);
      edge_count[at(e)] = consumed_slot;
      edge_diff[at(f)] = edge_diff[at(e)] + edge_diff[at(f)];
      remove_first(group_edges[at(absorbed)], e);
      remove_first(group_edges[at(other)], e);
    }
  }

  auto& keeper_edges = group_edges[at(keeper)];
  auto& rest = group_edges[at(absorbed)];
  keeper_edges.insert(keeper_edges.end(), rest.begin(), rest.end());
  rest.clear();

  mapped_group = keeper;
}

}  // namespace vornak
