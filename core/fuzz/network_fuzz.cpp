// Bytes to a grid of region labels (any pattern, not only connected
// regions) and velocities, through find_edges and the fold network. Checks:
// the edges are symmetric and equal the straightforward ones, the boundaries
// are their larger-first half, and the fast network, stepped merge by merge
// next to the straightforward one, picks the same slots with the same
// orientation and statistics, consumes every slot and gives the same folds
// as its own solve and as the straightforward solve.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <utility>
#include <vector>

#include "byte_reader.hpp"
#include "straightforward.hpp"
#include "vornak/edges.hpp"
#include "vornak/network.hpp"
#include "vornak/numeric.hpp"

namespace {

using vornak::Edges;
using vornak::fuzz::ByteReader;

[[noreturn]] void finding(const char* what) {
  std::fprintf(stderr, "network_fuzz: %s\n", what);
  std::abort();
}

std::uint64_t bits(double v) { return std::bit_cast<std::uint64_t>(v); }
// Slot statistics compare by value, NaNs equal to each other: the fast
// network keeps each statistic from one end and negates it for the other, so
// the sign of a zero or a NaN may differ from the straightforward one, which
// changes no shift (both round to 0) and no later sum with a non-zero part.
bool same_value(float x, float y) { return x == y || (std::isnan(x) && std::isnan(y)); }

bool same_edges(const Edges& x, const Edges& y) {
  if (x.size() != y.size() || x.region_b.size() != y.region_b.size() ||
      x.count.size() != y.count.size() || x.sum_a.size() != y.sum_a.size() ||
      x.sum_b.size() != y.sum_b.size()) {
    return false;
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x.region_a[i] != y.region_a[i] || x.region_b[i] != y.region_b[i] ||
        x.count[i] != y.count[i] || bits(x.sum_a[i]) != bits(y.sum_a[i]) ||
        bits(x.sum_b[i]) != bits(y.sum_b[i])) {
      return false;
    }
  }
  return true;
}

void check_symmetry(const Edges& edges) {
  if (edges.size() % 2 != 0) finding("odd number of edge entries");
  std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> counts;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (edges.region_a[i] == edges.region_b[i]) finding("an edge joins a region to itself");
    if (edges.count[i] <= 0) finding("an edge without contacts");
    if (i > 0 && std::pair(edges.region_b[i - 1], edges.region_a[i - 1]) >=
                     std::pair(edges.region_b[i], edges.region_a[i])) {
      finding("edges not strictly ordered by (region_b, region_a)");
    }
    counts[{edges.region_a[i], edges.region_b[i]}] = edges.count[i];
  }
  for (const auto& [pair, count] : counts) {
    const auto mirror = counts.find({pair.second, pair.first});
    if (mirror == counts.end() || mirror->second != count) finding("count(A, B) != count(B, A)");
  }
}

Edges larger_first_half(const Edges& edges) {
  Edges half;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (edges.region_a[i] <= edges.region_b[i]) continue;
    half.region_a.push_back(edges.region_a[i]);
    half.region_b.push_back(edges.region_b[i]);
    half.count.push_back(edges.count[i]);
    half.sum_a.push_back(edges.sum_a[i]);
    half.sum_b.push_back(edges.sum_b[i]);
  }
  return half;
}

double pick_nyquist(ByteReader& in) {
  switch (in.byte() % 8) {
    case 0: return 0.0;
    case 1: return -3.0;
    case 2: return std::numeric_limits<double>::quiet_NaN();
    case 3: return 1e-300;
    default: return 0.5 + in.byte() / 16.0;
  }
}

std::int64_t pick_skip(ByteReader& in) {
  const std::uint8_t code = in.byte();
  switch (code % 8) {
    case 0: return std::numeric_limits<std::int64_t>::max();
    case 1: return std::numeric_limits<std::int64_t>::min();
    case 2: return -static_cast<std::int64_t>(in.byte());
    default: return code % 13;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteReader in(data, size);
  const std::size_t nrays = in.byte() % 25;
  const std::size_t ngates = in.byte() % 25;
  const bool wrap = (in.byte() & 1) != 0;
  const std::int64_t skip_rays = pick_skip(in);
  const std::int64_t skip_gates = pick_skip(in);
  const double nyquist = pick_nyquist(in);
  const auto region_count = static_cast<std::int32_t>(1 + in.byte() % 40);

  const std::size_t n = nrays * ngates;
  std::vector<std::int32_t> labels(n);
  std::vector<float> vel(n);
  for (std::size_t i = 0; i < n; ++i) {
    // Runs of one label make regions; label 0 makes the gaps the walks skip.
    const std::uint8_t code = in.byte();
    if (code < 96 && i > 0) {
      labels[i] = labels[i - 1];
    } else if (code < 160 && i >= ngates) {
      labels[i] = labels[i - ngates];
    } else {
      labels[i] = static_cast<std::int32_t>(code % (region_count + 1));
    }
    vel[i] = static_cast<float>(static_cast<int>(in.byte()) - 128) / 8.0f;
  }

  const Edges edges = vornak::find_edges(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates);
  check_symmetry(edges);
  const Edges reference_edges =
      vornak::straightforward::find_edges(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates);
  if (!same_edges(edges, reference_edges)) finding("edges differ from the straightforward ones");
  Edges boundaries =
      vornak::find_boundaries(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates);
  if (!same_edges(boundaries, larger_first_half(edges))) {
    finding("boundaries are not the larger-first half of the edges");
  }
  if (edges.empty()) return 0;

  std::vector<std::int32_t> sizes(static_cast<std::size_t>(region_count));
  for (const std::int32_t label : labels) {
    if (label != 0) ++sizes[static_cast<std::size_t>(label) - 1];
  }
  const double twice = nyquist + nyquist;

  vornak::Tracker fast(edges, region_count, sizes, twice);
  vornak::straightforward::Tracker reference(edges, region_count, sizes, twice);
  const vornak::Buffer<std::int32_t> fast_solved = vornak::Tracker(fast).solve();
  const vornak::Buffer<std::int32_t> boundary_solved =
      vornak::Tracker::from_boundaries(std::move(boundaries), region_count, sizes, twice).solve();
  const vornak::Buffer<std::int32_t> reference_solved =
      vornak::straightforward::Tracker(reference).solve();
  if (fast_solved != reference_solved) finding("solve differs from the straightforward solve");
  if (boundary_solved != reference_solved) finding("solve from boundaries differs");

  // Step both networks together, choosing as the straightforward loop does.
  const std::size_t slots = reference.edge_count.size();
  if (fast.slot_count() != slots) finding("slot counts differ");
  for (std::size_t steps = 0;; ++steps) {
    if (steps > slots) finding("more merges than slots");
    for (std::size_t k = 0; k < slots; ++k) {
      const bool fast_open = fast.edge_count(k) != vornak::consumed_slot;
      const bool reference_open = reference.edge_count[k] != vornak::consumed_slot;
      if (fast_open != reference_open) finding("slot consumed in one network only");
      if (fast_open && fast.edge_count(k) != reference.edge_count[k]) finding("slot counts differ");
    }
    std::size_t best = 0;
    for (std::size_t k = 1; k < slots; ++k) {
      if (reference.edge_count[k] > reference.edge_count[best]) best = k;
    }
    if (reference.edge_count[best] < 0) break;
    const std::int32_t a = reference.edge_a[best];
    const std::int32_t b = reference.edge_b[best];
    const float diff = reference.edge_diff[best];
    if (fast.edge_a(best) != a || fast.edge_b(best) != b || !same_value(fast.edge_diff(best), diff)) {
      std::fprintf(stderr, "slot %zu: fast %d %d %a, straightforward %d %d %a\n", best,
                   fast.edge_a(best), fast.edge_b(best), static_cast<double>(fast.edge_diff(best)),
                   a, b, static_cast<double>(diff));
      finding("the chosen slot differs in orientation or statistic");
    }
    const std::int32_t count = reference.edge_count[best];
    const std::int32_t shift =
        vornak::rint_to_i32(static_cast<double>(diff) / static_cast<double>(count));
    const auto slot = static_cast<std::int32_t>(best);
    if (reference.group_size[static_cast<std::size_t>(a)] >
        reference.group_size[static_cast<std::size_t>(b)]) {
      reference.join(slot, a, b, shift);
      fast.join(slot, a, b, shift);
    } else {
      reference.join(slot, b, a, vornak::wrapping_neg(shift));
      fast.join(slot, b, a, vornak::wrapping_neg(shift));
    }
  }
  for (std::size_t k = 0; k < slots; ++k) {
    if (fast.edge_count(k) != vornak::consumed_slot) finding("a slot was left open");
  }
  for (std::int32_t l = 0; l <= region_count; ++l) {
    if (fast.fold(l) != reference.folds[static_cast<std::size_t>(l)]) {
      finding("stepped folds differ");
    }
    if (fast.fold(l) != fast_solved[static_cast<std::size_t>(l)]) {
      finding("stepped folds differ from solve");
    }
  }
  return 0;
}
