// Echo components by union-find over runs: a run is a stretch of one ray
// joined gate to gate, so the unions across rays are few.
#include "vornak/anchor_components.hpp"

#include <cmath>
#include <vector>

namespace vornak::anchor {

namespace {

std::int64_t root(std::vector<std::int64_t>& parent, std::int64_t x) noexcept {
  while (parent[static_cast<std::size_t>(x)] != x) {
    const std::int64_t up = parent[static_cast<std::size_t>(parent[static_cast<std::size_t>(x)])];
    parent[static_cast<std::size_t>(x)] = up;
    x = up;
  }
  return x;
}

void join(std::vector<std::int64_t>& parent, std::int64_t a, std::int64_t b) noexcept {
  a = root(parent, a);
  b = root(parent, b);
  // The smaller run stays the root: the numbering follows the smallest run.
  if (a < b) parent[static_cast<std::size_t>(b)] = a;
  if (b < a) parent[static_cast<std::size_t>(a)] = b;
}

}  // namespace

std::size_t echo_components(const EchoGates& echo, bool wrap, std::int64_t gap, float limit,
                            std::span<std::int64_t> number) {
  const std::size_t n = echo.ray.size();
  if (n == 0) return 0;
  // Runs, and where each ray's gates begin in the vectors.
  std::vector<std::int64_t> run(n);
  std::vector<std::size_t> ray_start(echo.rays + 1, n);
  std::int64_t runs = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool first_of_ray = i == 0 || echo.ray[i] != echo.ray[i - 1];
    if (first_of_ray) ray_start[static_cast<std::size_t>(echo.ray[i])] = i;
    const bool starts = first_of_ray || echo.gate[i] - echo.gate[i - 1] > gap + 1 ||
                        std::fabs(echo.velocity[i] - echo.velocity[i - 1]) > limit;
    runs += starts ? 1 : 0;
    run[i] = runs - 1;
  }
  // Rays without echo begin where the next ray with echo does.
  for (std::size_t r = echo.rays; r-- > 0;) {
    if (ray_start[r] == n) ray_start[r] = ray_start[r + 1];
  }
  std::vector<std::int64_t> parent(static_cast<std::size_t>(runs));
  for (std::int64_t k = 0; k < runs; ++k) parent[static_cast<std::size_t>(k)] = k;

  // Across rays: the gates of each ray against the same gates of the next.
  const std::size_t last = wrap ? echo.rays : echo.rays - 1;
  for (std::size_t r = 0; r < last; ++r) {
    const std::size_t next = r + 1 == echo.rays ? 0 : r + 1;
    if (next == r) continue;
    std::size_t i = ray_start[r], j = ray_start[next];
    const std::size_t i_end = ray_start[r + 1], j_end = ray_start[next + 1];
    std::int64_t joined_a = -1, joined_b = -1;
    while (i < i_end && j < j_end) {
      if (echo.gate[i] < echo.gate[j]) {
        ++i;
      } else if (echo.gate[j] < echo.gate[i]) {
        ++j;
      } else {
        if (std::fabs(echo.velocity[i] - echo.velocity[j]) <= limit &&
            (run[i] != joined_a || run[j] != joined_b)) {
          joined_a = run[i];
          joined_b = run[j];
          join(parent, joined_a, joined_b);
        }
        ++i;
        ++j;
      }
    }
  }

  std::vector<std::int64_t> component(static_cast<std::size_t>(runs));
  std::int64_t count = 0;
  for (std::int64_t k = 0; k < runs; ++k) {
    const std::int64_t top = root(parent, k);
    component[static_cast<std::size_t>(k)] = top == k ? count++ : component[static_cast<std::size_t>(top)];
  }
  for (std::size_t i = 0; i < n; ++i) number[i] = component[static_cast<std::size_t>(run[i])];
  return static_cast<std::size_t>(count);
}

}  // namespace vornak::anchor
