// VAD sums of range rings, gate by gate.
#include "vornak/anchor_rings.hpp"

#include <array>
#include <cmath>
#include <vector>

namespace vornak::anchor {

void ring_sums(const RingGates& gates, const RingRule& rule, std::span<std::uint8_t> fitted,
               std::vector<double>& normal, std::vector<double>& rhs) {
  const std::size_t nrings = fitted.size();
  const bool again = !rule.fitted_before.empty();
  // Row of the previous fit of each ring fitted before.
  std::vector<std::size_t> row(again ? nrings : 0);
  for (std::size_t k = 0, next = 0; k < row.size(); ++k) {
    row[k] = next;
    next += rule.fitted_before[k];
  }
  // n, sum c, s, cc, ss, cs, v, vc, vs per ring
  std::vector<RingMoments> sums(nrings, RingMoments{});
  std::vector<std::int64_t> count(nrings, 0);
  std::vector<std::uint8_t> seen(nrings * 8, 0);
  // Ring of each gate position (nrings: none), by table: a division per
  // gate would cost more than all the sums.
  const auto step = static_cast<std::size_t>(gates.step);
  std::vector<std::size_t> ring_at(nrings * step, nrings);
  for (std::size_t k = 0; k < nrings; ++k) ring_at[k * step] = k;
  for (std::size_t i = 0; i < gates.ray.size(); ++i) {
    const std::size_t ring = ring_at[static_cast<std::size_t>(gates.gate[i])];
    if (ring == nrings) continue;
    const auto r = static_cast<std::size_t>(gates.ray[i]);
    const double c = gates.cos_az[r], s = gates.sin_az[r];
    const auto v = static_cast<double>(gates.velocity[i]);
    if (again) {
      if (rule.fitted_before[ring] == 0) continue;
      const double* a = rule.previous.data() + 3 * row[ring];
      if (!(std::fabs(v - (a[0] + a[1] * c + a[2] * s)) <= rule.tolerance)) continue;
    }
    ++count[ring];
    add_ring_gate(sums[ring], c, s, v);
    seen[ring * 8 + static_cast<std::size_t>(gates.sector[r])] = 1;
  }
  for (std::size_t k = 0; k < nrings; ++k) {
    int sectors = 0;
    for (std::size_t q = 0; q < 8; ++q) sectors += seen[k * 8 + q];
    const bool good = sectors >= rule.min_sectors && count[k] >= rule.min_gates;
    fitted[k] = good ? 1 : 0;
    if (!good) continue;
    append_normal_equations(sums[k], count[k], normal, rhs);
  }
}

}  // namespace vornak::anchor
