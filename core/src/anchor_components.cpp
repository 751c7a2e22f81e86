// Echo components by union-find over runs: a run is a stretch of one ray
// joined gate to gate, so the unions across rays are few.
#include "vornak/anchor_components.hpp"
#include "vornak/anchor_runs.hpp"

#include <cmath>
#include <vector>

namespace vornak::anchor {

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

  join_runs_across_rays(parent, ray_start, echo.gate, echo.velocity, run, echo.rays, wrap, limit);

  std::vector<std::int64_t> component(static_cast<std::size_t>(runs));
  std::int64_t count = 0;
  for (std::int64_t k = 0; k < runs; ++k) {
    const std::int64_t top = run_root(parent, k);
    component[static_cast<std::size_t>(k)] = top == k ? count++ : component[static_cast<std::size_t>(top)];
  }
  for (std::size_t i = 0; i < n; ++i) number[i] = component[static_cast<std::size_t>(run[i])];
  return static_cast<std::size_t>(count);
}

}  // namespace vornak::anchor
