// Nearby echo, area by area: the pairs of the few gates of small areas with
// the large echo in reach, found by searching the neighbouring rays' gates
// (sorted along each ray) rather than through a map of the whole sweep.
#include "vornak/anchor_nearby.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace vornak::anchor {

namespace {

// A rounded value as int64, as the x86 conversion NumPy uses gives it: the
// smallest int64 for NaN and values out of range.
std::int64_t to_int64(double x) noexcept {
  constexpr double bound = 9223372036854775808.0;  // 2^63
  return x >= -bound && x < bound ? static_cast<std::int64_t>(x) : std::numeric_limits<std::int64_t>::min();
}

// One pair: the small area, the reference gate, the whole folds it asks for
// and whether the unrounded folds are within `close` of them.
struct Pair {
  std::int64_t area;
  std::int64_t reference;
  std::int64_t wanted;
  bool near;
};

}  // namespace

std::size_t nearby_shifts(const EchoGates& echo, std::span<const std::int64_t> component, bool wrap, float span,
                          const NearbyRule& rule, std::span<std::int64_t> shift) {
  std::fill(shift.begin(), shift.end(), 0);
  const std::size_t n = echo.ray.size(), count = shift.size();
  std::vector<std::int64_t> size(count, 0);
  for (const std::int64_t c : component) ++size[static_cast<std::size_t>(c)];
  const bool any_large = std::any_of(size.begin(), size.end(), [&](std::int64_t s) { return s >= rule.large_gates; });
  const bool any_small = std::any_of(size.begin(), size.end(), [&](std::int64_t s) { return s < rule.small_gates; });
  if (!any_large || !any_small) return 0;

  // Where each ray's gates begin in the vectors (rays without echo: where the next does).
  std::vector<std::size_t> ray_start(echo.rays + 1, n);
  for (std::size_t i = n; i-- > 0;) ray_start[static_cast<std::size_t>(echo.ray[i])] = i;
  for (std::size_t r = echo.rays; r-- > 0;) ray_start[r] = std::min(ray_start[r], ray_start[r + 1]);

  const auto rays = static_cast<std::int64_t>(echo.rays), gates = static_cast<std::int64_t>(echo.gates);
  std::vector<Pair> pairs;
  for (std::size_t i = 0; i < n; ++i) {
    const std::int64_t area = component[i];
    if (size[static_cast<std::size_t>(area)] >= rule.small_gates) continue;
    for (std::int64_t dr = -rule.reach_rays; dr <= rule.reach_rays; ++dr) {
      std::int64_t r = echo.ray[i] + dr;
      if (wrap) r = ((r % rays) + rays) % rays;
      if (r < 0 || r >= rays) continue;
      const auto first = echo.gate.begin() + static_cast<std::ptrdiff_t>(ray_start[static_cast<std::size_t>(r)]);
      const auto last = echo.gate.begin() + static_cast<std::ptrdiff_t>(ray_start[static_cast<std::size_t>(r) + 1]);
      const std::int64_t low = std::max<std::int64_t>(echo.gate[i] - rule.reach_gates, 0);
      const std::int64_t high = std::min<std::int64_t>(echo.gate[i] + rule.reach_gates, gates - 1);
      for (auto at = std::lower_bound(first, last, low); at != last && *at <= high; ++at) {
        const auto j = static_cast<std::size_t>(at - echo.gate.begin());
        if (dr == 0 && *at == echo.gate[i]) continue;  // the gate itself (a ray of its own, wrapped, too)
        if (size[static_cast<std::size_t>(component[j])] < rule.large_gates) continue;
        // float32 throughout, as the velocities are.
        const float ratio = (echo.velocity[j] - echo.velocity[i]) / span;
        const std::int64_t wanted = to_int64(static_cast<double>(std::rint(ratio)));
        const bool near =
            std::fabs(static_cast<double>(ratio) - static_cast<double>(wanted)) <= rule.close;
        pairs.push_back({area, static_cast<std::int64_t>(j), wanted, near});
      }
    }
  }
  if (pairs.empty()) return 0;

  // Votes per area: the first most asked-for shift, the pairs and how many ask for it.
  const auto width = static_cast<std::size_t>(2 * rule.max_shift + 1);
  std::vector<std::int64_t> votes(count * width, 0);
  for (const Pair& p : pairs) {
    const std::int64_t k = std::clamp(p.wanted, -rule.max_shift, rule.max_shift) + rule.max_shift;
    ++votes[static_cast<std::size_t>(p.area) * width + static_cast<std::size_t>(k)];
  }
  std::vector<std::int64_t> best(count, 0), compared(count, 0), agreeing(count, 0), close(count, 0);
  for (std::size_t a = 0; a < count; ++a) {
    const auto row = votes.begin() + static_cast<std::ptrdiff_t>(a * width);
    const auto top = std::max_element(row, row + static_cast<std::ptrdiff_t>(width));
    best[a] = (top - row) - rule.max_shift;
    agreeing[a] = *top;
    for (std::size_t k = 0; k < width; ++k) compared[a] += row[static_cast<std::ptrdiff_t>(k)];
  }
  for (const Pair& p : pairs) close[static_cast<std::size_t>(p.area)] += p.near && p.wanted == best[static_cast<std::size_t>(p.area)];
  // Distinct large-area gates around each area.
  std::vector<std::pair<std::int64_t, std::int64_t>> around_gates;
  around_gates.reserve(pairs.size());
  for (const Pair& p : pairs) around_gates.emplace_back(p.area, p.reference);
  std::sort(around_gates.begin(), around_gates.end());
  around_gates.erase(std::unique(around_gates.begin(), around_gates.end()), around_gates.end());
  std::vector<std::int64_t> around(count, 0);
  for (const auto& [area, reference] : around_gates) ++around[static_cast<std::size_t>(area)];

  std::size_t moved = 0;
  for (std::size_t a = 0; a < count; ++a) {
    const auto asked = static_cast<double>(compared[a]);
    const bool strong = size[a] < rule.small_gates && compared[a] >= rule.min_pairs &&
                        static_cast<double>(agreeing[a]) >= rule.min_agreement * asked &&
                        static_cast<double>(close[a]) >= rule.min_close * asked &&
                        around[a] >= rule.surround * size[a];
    shift[a] = strong ? best[a] : 0;
    moved += shift[a] != 0 ? 1 : 0;
  }
  return moved;
}

}  // namespace vornak::anchor
