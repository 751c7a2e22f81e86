// VAD sums of range rings, gate by gate.
#include "vornak/anchor_rings.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace vornak::anchor {

void ring_sums(const RingGates& gates, const RingRule& rule, std::span<double> normal, std::span<double> rhs,
               std::span<std::uint8_t> fitted) {
  const std::size_t nrings = fitted.size();
  // n, sum c, s, cc, ss, cs, v, vc, vs per ring
  std::vector<std::array<double, 9>> sums(nrings, std::array<double, 9>{});
  std::vector<std::int64_t> count(nrings, 0);
  std::vector<std::uint8_t> seen(nrings * 8, 0);
  for (std::size_t i = 0; i < gates.ray.size(); ++i) {
    if (gates.gate[i] % gates.step != 0) continue;
    const auto ring = static_cast<std::size_t>(gates.gate[i] / gates.step);
    const auto r = static_cast<std::size_t>(gates.ray[i]);
    const double c = gates.cos_az[r], s = gates.sin_az[r];
    const auto v = static_cast<double>(gates.velocity[i]);
    if (rule.previous != nullptr) {
      const double* a = rule.previous + 3 * ring;
      if (!(std::fabs(v - (a[0] + a[1] * c + a[2] * s)) <= rule.tolerance)) continue;
    }
    std::array<double, 9>& sum = sums[ring];
    ++count[ring];
    sum[1] += c;
    sum[2] += s;
    sum[3] += c * c;
    sum[4] += s * s;
    sum[5] += c * s;
    sum[6] += v;
    sum[7] += v * c;
    sum[8] += v * s;
    seen[ring * 8 + static_cast<std::size_t>(gates.sector[r])] = 1;
  }
  for (std::size_t k = 0; k < nrings; ++k) {
    int sectors = 0;
    for (std::size_t q = 0; q < 8; ++q) sectors += seen[k * 8 + q];
    const bool good = sectors >= rule.min_sectors && count[k] >= rule.min_gates;
    fitted[k] = good ? 1 : 0;
    const std::array<double, 9>& s = sums[k];
    const auto n = static_cast<double>(count[k]);
    const std::array<double, 9> matrix =
        good ? std::array<double, 9>{n, s[1], s[2], s[1], s[3], s[5], s[2], s[5], s[4]}
             : std::array<double, 9>{1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (std::size_t q = 0; q < 9; ++q) normal[9 * k + q] = matrix[q];
    rhs[3 * k] = s[6];
    rhs[3 * k + 1] = s[7];
    rhs[3 * k + 2] = s[8];
  }
}

}  // namespace vornak::anchor
