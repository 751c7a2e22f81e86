#include "vornak/edges.hpp"

#include "vornak/grid.hpp"
#include "vornak/numeric.hpp"

namespace vornak {

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

}  // namespace vornak
