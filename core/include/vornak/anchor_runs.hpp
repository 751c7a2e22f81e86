// Runs of echo joined across neighbouring rays, by union-find over the runs:
// shared by the echo components and the nearby echo step, whose runs are
// numbered in 64 and 32 bits.
#pragma once

#include <cmath>
#include <cstddef>
#include <vector>

namespace vornak::anchor {

// Root of run `x`, halving the path on the way up.
template <class Index>
Index run_root(std::vector<Index>& parent, Index x) noexcept {
  while (parent[static_cast<std::size_t>(x)] != x) {
    const Index up = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(x)])];
    parent[static_cast<std::size_t>(x)] = up;
    x = up;
  }
  return x;
}

// Joins the runs of each ray with those of the next ray (the last with the
// first when `wrap`) that hold the same gate with velocities no more than
// `limit` apart. The smaller run stays the root, so a component is named by
// its first run. The gates of ray r are [ray_start[r], ray_start[r + 1]),
// sorted along the ray.
template <class Index, class RayStarts, class Gates, class Velocities, class Runs, class Limit>
void join_runs_across_rays(std::vector<Index>& parent, const RayStarts& ray_start, const Gates& gate,
                           const Velocities& velocity, const Runs& run, std::size_t rays, bool wrap,
                           Limit limit) noexcept {
  const std::size_t last = wrap ? rays : rays - 1;
  for (std::size_t r = 0; r < last; ++r) {
    const std::size_t next = r + 1 == rays ? 0 : r + 1;
    if (next == r) continue;
    std::size_t i = ray_start[r], j = ray_start[next];
    const std::size_t i_end = ray_start[r + 1], j_end = ray_start[next + 1];
    Index joined_a = -1, joined_b = -1;  // the pair last joined: the next gates mostly repeat it
    while (i < i_end && j < j_end) {
      if (gate[i] < gate[j]) {
        ++i;
      } else if (gate[j] < gate[i]) {
        ++j;
      } else {
        if (std::fabs(velocity[i] - velocity[j]) <= limit && (run[i] != joined_a || run[j] != joined_b)) {
          joined_a = run[i];
          joined_b = run[j];
          const Index a = run_root(parent, joined_a), b = run_root(parent, joined_b);
          if (a < b) parent[static_cast<std::size_t>(b)] = a;
          if (b < a) parent[static_cast<std::size_t>(a)] = b;
        }
        ++i;
        ++j;
      }
    }
  }
}

}  // namespace vornak::anchor
