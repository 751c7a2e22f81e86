// Boundaries between regions: for every ordered pair of regions in contact,
// directly or across a short run of unlabelled gates, the number of contacts
// and the velocity sums on both sides.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/buffer.hpp"

namespace vornak {

// Parallel arrays, one entry per ordered pair (region_a, region_b), sorted by
// region_b then region_a. Symmetric: (A, B) is present iff (B, A) is, with
// the same count. Sums add the widened velocities of the pair's contacts in
// scan order (ray, gate, then walk direction).
struct Edges {
  Buffer<std::int32_t> region_a;
  Buffer<std::int32_t> region_b;
  Buffer<std::int32_t> count;
  Buffer<double> sum_a;
  Buffer<double> sum_b;

  [[nodiscard]] std::size_t size() const noexcept { return region_a.size(); }
  [[nodiscard]] bool empty() const noexcept { return region_a.empty(); }
};

// Finds every contact between different regions. From each labelled gate four
// walks (previous ray, next ray, previous gate, next gate) look at the
// adjacent gate and then up to `skip` further gates for the first labelled
// one. Ray numbers wrap when rays_wrap_around; gates never wrap.
// Precondition: labels and vel hold nrays * ngates values.
[[nodiscard]] Edges find_edges(std::span<const std::int32_t> labels, std::span<const float> vel,
                               std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                               std::int64_t skip_between_rays, std::int64_t skip_along_ray);

// The half of find_edges that the fold network uses: only the entries whose
// region_a is larger than region_b, in the same order and with the same
// values. Each boundary appears once.
[[nodiscard]] Edges find_boundaries(std::span<const std::int32_t> labels,
                                    std::span<const float> vel, std::size_t nrays,
                                    std::size_t ngates, bool rays_wrap_around,
                                    std::int64_t skip_between_rays, std::int64_t skip_along_ray);

// find_boundaries for labels known to lie in 0..region_count, as
// find_regions gives them: no pass over the labels to check them and find the
// largest. The result is the same.
[[nodiscard]] Edges find_boundaries(std::span<const std::int32_t> labels,
                                    std::int32_t region_count, std::span<const float> vel,
                                    std::size_t nrays, std::size_t ngates, bool rays_wrap_around,
                                    std::int64_t skip_between_rays, std::int64_t skip_along_ray);

}  // namespace vornak
