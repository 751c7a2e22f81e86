#include "straightforward.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "vornak/grid.hpp"
#include "vornak/label.hpp"
#include "vornak/network.hpp"
#include "vornak/numeric.hpp"
#include "vornak/util.hpp"

namespace vornak::straightforward {

// ---- regions

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

  // Summed exactly: a wrapped sum would turn an astronomically large count
  // into no interval at all.
  __extension__ using wide = __int128;
  const wide exact = static_cast<wide>(interval_splits) + below + above + 1;
  if (exact <= 0) return {};
  if (exact >= max_limit_count) fail_capacity();
  const auto count = static_cast<std::int64_t>(exact);

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
    const Components local = vornak::label_components(inside, nrays, ngates);
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

// ---- edges

namespace {

// One contact seen from the scanning gate (region_a) to the first labelled
// gate of a walk (region_b).
struct EdgeSample {
  double vel_a;
  std::int32_t region_a;
  std::int32_t region_b;
  double vel_b;
};

// Number of candidates a walk may examine: the adjacent gate and `skip`
// further ones; a skip of zero or less allows only the adjacent gate.
std::uint64_t walk_length(std::int64_t skip) noexcept {
  return skip <= 0 ? 1 : static_cast<std::uint64_t>(skip) + 1;
}

bool sample_key_less(const EdgeSample& x, const EdgeSample& y) noexcept {
  if (x.region_b != y.region_b) return x.region_b < y.region_b;
  return x.region_a < y.region_a;
}

// Stable bottom-up merge sort of sample positions by (region_b, region_a):
// equal keys keep scan order. Positions move, the samples stay in place.
Buffer<std::size_t> sorted_positions(const Buffer<EdgeSample>& samples) {
  const std::size_t count = samples.size();
  Buffer<std::size_t> order = zeros<std::size_t>(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = i;
  Buffer<std::size_t> scratch = zeros<std::size_t>(count);
  for (std::size_t width = 1; width < count; width *= 2) {
    for (std::size_t lo = 0; lo < count; lo += 2 * width) {
      const std::size_t mid = std::min(lo + width, count);
      const std::size_t hi = std::min(lo + 2 * width, count);
      std::size_t left = lo;
      std::size_t right = mid;
      std::size_t out = lo;
      while (left < mid && right < hi) {
        // Take from the right run only when strictly smaller: stability.
        if (sample_key_less(samples[order[right]], samples[order[left]])) {
          scratch[out++] = order[right++];
        } else {
          scratch[out++] = order[left++];
        }
      }
      while (left < mid) scratch[out++] = order[left++];
      while (right < hi) scratch[out++] = order[right++];
    }
    order.swap(scratch);
  }
  return order;
}

}  // namespace

Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                 std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                 std::int64_t skip_between_rays, std::int64_t skip_along_ray) {
  const std::size_t n = gate_count(nrays, ngates);
  require_length(labels.size(), n, "labels");
  require_length(vel.size(), n, "vel");
  Edges edges;
  if (n == 0) return edges;

  const auto rays = static_cast<std::int64_t>(nrays);
  const auto gates = static_cast<std::int64_t>(ngates);
  const std::uint64_t across = walk_length(skip_between_rays);
  const std::uint64_t along = walk_length(skip_along_ray);

  Buffer<EdgeSample> samples;
  auto label_at = [&](std::int64_t r, std::int64_t g) {
    return labels[static_cast<std::size_t>(r * gates + g)];
  };
  auto velocity_at = [&](std::int64_t r, std::int64_t g) {
    return widen(vel[static_cast<std::size_t>(r * gates + g)]);
  };
  // Walks from (r, g) in steps of (dr, dg) and records a contact with the
  // first labelled gate if it belongs to another region. Ray numbers wrap
  // when the sweep is a full circle; gates never wrap.
  auto walk = [&](std::int64_t r, std::int64_t g, std::int32_t a, double va, std::int64_t dr,
                  std::int64_t dg, std::uint64_t length) {
    std::int64_t rr = r;
    std::int64_t gg = g;
    for (std::uint64_t d = 1; d <= length; ++d) {
      rr += dr;
      gg += dg;
      if (dr != 0) {
        if (rays_wrap_around) {
          rr = (rr % rays + rays) % rays;
        } else if (rr < 0 || rr >= rays) {
          return;
        }
      } else if (gg < 0 || gg >= gates) {
        return;
      }
      const std::int32_t b = label_at(rr, gg);
      if (b == 0) continue;
      if (b != a) samples.push_back(EdgeSample{va, a, b, velocity_at(rr, gg)});
      return;
    }
  };

  for (std::int64_t r = 0; r < rays; ++r) {
    for (std::int64_t g = 0; g < gates; ++g) {
      const std::int32_t a = label_at(r, g);
      if (a == 0) continue;
      const double va = velocity_at(r, g);
      walk(r, g, a, va, -1, 0, across);
      walk(r, g, a, va, +1, 0, across);
      walk(r, g, a, va, 0, -1, along);
      walk(r, g, a, va, 0, +1, along);
    }
  }
  if (samples.empty()) return edges;

  const Buffer<std::size_t> order = sorted_positions(samples);
  for (std::size_t start = 0; start < order.size();) {
    const EdgeSample& first = samples[order[start]];
    std::size_t end = start;
    double sum_a = 0.0;
    double sum_b = 0.0;
    while (end < order.size() && samples[order[end]].region_a == first.region_a &&
           samples[order[end]].region_b == first.region_b) {
      sum_a += samples[order[end]].vel_a;
      sum_b += samples[order[end]].vel_b;
      ++end;
    }
    edges.region_a.push_back(first.region_a);
    edges.region_b.push_back(first.region_b);
    edges.count.push_back(low32(static_cast<std::int64_t>(end - start)));
    edges.sum_a.push_back(sum_a);
    edges.sum_b.push_back(sum_b);
    start = end;
  }
  return edges;
}

// ---- network

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

// ---- sweep

namespace {

// Gate counts per region as labelled: entry l - 1 for region l.
Buffer<std::int32_t> count_region_gates(std::span<const std::int32_t> labels,
                                        std::int32_t region_count) {
  Buffer<std::int32_t> sizes = zeros<std::int32_t>(static_cast<std::size_t>(region_count));
  for (const std::int32_t label : labels) {
    if (label != 0) {
      auto& size = sizes[static_cast<std::size_t>(label) - 1];
      size = wrapping_add(size, 1);
    }
  }
  return sizes;
}

}  // namespace

Buffer<std::int32_t> sweep_folds(std::span<const float> vel, std::size_t nrays, std::size_t ngates,
                       std::span<const std::uint8_t> mask, double nyquist, bool rays_wrap_around,
                       const SweepParams& params) {
  const std::size_t n = gate_count(nrays, ngates);
  Buffer<std::int32_t> result = zeros<std::int32_t>(n);
  if (n == 0) return result;
  require_length(vel.size(), n, "vel");
  require_length(mask.size(), n, "mask");
  vel = vel.first(n);
  mask = mask.first(n);

  const Buffer<double> limits = straightforward::interval_limits(nyquist, params.interval_splits, vel, mask);
  if (limits.size() < 2) return result;

  const Regions regions = straightforward::find_regions(vel, mask, nrays, ngates, limits);
  if (regions.region_count < 2) return result;

  const Buffer<std::int32_t> sizes = count_region_gates(regions.labels, regions.region_count);

  Buffer<std::int32_t> folds;
  {
    const Edges edges = straightforward::find_edges(regions.labels, vel, nrays, ngates, rays_wrap_around,
                                   params.skip_between_rays, params.skip_along_ray);
    if (edges.empty()) return result;
    // The network's working arrays are gone when this block ends.
    folds = straightforward::Tracker(edges, regions.region_count, sizes, nyquist + nyquist).solve();
  }

  if (params.centered) center_folds(folds, sizes);

  for (std::size_t i = 0; i < n; ++i) {
    result[i] = folds[static_cast<std::size_t>(regions.labels[i])];
  }
  return result;
}

}  // namespace vornak::straightforward
