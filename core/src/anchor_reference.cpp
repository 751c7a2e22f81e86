// Co-located velocities of neighbouring sweeps, and a wind profile along rays.
#include "vornak/anchor_reference.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vornak::anchor {

namespace {

// NumPy's sort order for floats: NaN after everything.
bool sorts_before(double a, double b) noexcept { return a < b || (b != b && a == a); }

}  // namespace

std::vector<std::int64_t> nearest_sorted(std::span<const double> values, std::span<const double> targets,
                                         double tolerance, const double* period) {
  std::vector<std::int64_t> at(targets.size(), -1);
  if (values.empty()) return at;
  std::vector<double> padded;
  if (period != nullptr) {
    padded.reserve(values.size() + 2);
    padded.push_back(values.back() - *period);
    padded.insert(padded.end(), values.begin(), values.end());
    padded.push_back(values.front() + *period);
    values = padded;
  }
  const auto size = static_cast<std::int64_t>(values.size());
  // Python's negative index: the one value of a single-value search.
  auto value = [&](std::int64_t i) { return values[static_cast<std::size_t>(i < 0 ? i + size : i)]; };
  for (std::size_t t = 0; t < targets.size(); ++t) {
    const double target = targets[t];
    auto pos = static_cast<std::int64_t>(
        std::lower_bound(values.begin(), values.end(), target, sorts_before) - values.begin());
    // Clipped to [1, size - 1]; with one value that is 0, as NumPy's clip makes it.
    pos = std::min(std::max<std::int64_t>(pos, 1), size - 1);
    const double left = value(pos - 1), right = value(pos);
    std::int64_t take = target - left <= right - target ? pos - 1 : pos;
    const double distance = std::fabs(value(take) - target);
    if (period != nullptr) {
      const std::int64_t m = size - 2;
      take = ((take - 1) % m + m) % m;
    }
    at[t] = distance <= tolerance ? take : -1;
  }
  return at;
}

double median_gap(std::span<const double> values, const double* period) {
  std::vector<double> gaps;
  gaps.reserve(values.size());
  for (std::size_t i = 1; i < values.size(); ++i) gaps.push_back(values[i] - values[i - 1]);
  if (period != nullptr && !values.empty()) gaps.push_back((values.front() + *period) - values.back());
  if (std::any_of(gaps.begin(), gaps.end(), [](double g) { return std::isnan(g); })) {
    return std::numeric_limits<double>::quiet_NaN();
  }
  // The upper middle, and for an even count the mean of both middles.
  const std::size_t half = gaps.size() / 2;
  std::nth_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(half), gaps.end());
  const double upper = gaps[half];
  if (gaps.size() % 2 == 1) return upper;
  const double lower = *std::max_element(gaps.begin(), gaps.begin() + static_cast<std::ptrdiff_t>(half));
  return (lower + upper) / 2.0;
}

void colocated(std::span<const Neighbour> neighbours, std::span<const std::int64_t> ray,
               std::span<const std::int64_t> gate, float limit, std::span<float> reference) noexcept {
  constexpr float none = std::numeric_limits<float>::quiet_NaN();
  auto value = [&](const Neighbour& other, std::size_t i) {
    const std::int64_t r = other.ray_at[static_cast<std::size_t>(ray[i])];
    const std::int64_t g = other.gate_at[static_cast<std::size_t>(gate[i])];
    if (r < 0 || g < 0) return none;
    const std::int32_t k = other.where[static_cast<std::size_t>(r * static_cast<std::int64_t>(other.gates) + g)];
    // -1 (no echo) or, from a malformed map, past the velocities: no value.
    if (k < 0 || static_cast<std::size_t>(k) >= other.current.size()) return none;
    return other.current[static_cast<std::size_t>(k)] * other.scale;
  };
  for (std::size_t i = 0; i < ray.size(); ++i) {
    const float a = value(neighbours[0], i);
    if (neighbours.size() == 1) {
      reference[i] = a;
      continue;
    }
    const float b = value(neighbours[1], i);
    if (std::isnan(a) || std::isnan(b)) {
      reference[i] = std::isnan(a) ? b : a;
    } else {
      reference[i] = std::fabs(a - b) <= limit ? 0.5f * (a + b) : none;
    }
  }
}

void along_rays(std::span<const double> east, std::span<const double> north, std::span<const double> sin_az,
                std::span<const double> cos_az, std::span<const std::int64_t> ray,
                std::span<const std::int64_t> gate, std::span<double> reference) noexcept {
  for (std::size_t i = 0; i < ray.size(); ++i) {
    const auto r = static_cast<std::size_t>(ray[i]);
    const auto g = static_cast<std::size_t>(gate[i]);
    reference[i] = east[g] * sin_az[r] + north[g] * cos_az[r];
  }
}

}  // namespace vornak::anchor
