// The VAD shift's ring sums, ray by ray over the cells of the rings alone.
#include "vornak/anchor_vad.hpp"

#include <array>

namespace vornak::anchor {

template <class Velocity, class Fold>
void vad_sums(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds, float span,
              const RingCells& rings, std::vector<double>& normal, std::vector<double>& rhs) {
  const auto step = static_cast<std::size_t>(rings.step);
  const std::size_t nrings = (excluded.gates + step - 1) / step;
  std::vector<RingMoments> sums(nrings, RingMoments{});
  std::vector<std::int64_t> count(nrings, 0);
  std::vector<std::uint8_t> seen(nrings * 8, 0);
  for (std::size_t r = 0; r < excluded.rays; ++r) {
    const double c64 = rings.cos_az[r], s64 = rings.sin_az[r];
    const auto c = static_cast<float>(c64), s = static_cast<float>(s64);
    // The weights of the ray, each rounded to float from double.
    const std::array<double, 5> w{c, s, static_cast<float>(c64 * c64), static_cast<float>(s64 * s64),
                                  static_cast<float>(c64 * s64)};
    const auto sector = static_cast<std::size_t>(rings.sector[r]);
    const std::size_t base = r * excluded.gates;
    for (std::size_t ring = 0; ring < nrings; ++ring) {
      const std::size_t at = base + ring * step;
      if (excluded.data[at] != 0) continue;
      const float moved = static_cast<float>(folds[at]) * span;
      const float v = static_cast<float>(velocity[at]) + moved;
      RingMoments& sum = sums[ring];
      ++count[ring];
      sum[1] += w[0];
      sum[2] += w[1];
      sum[3] += w[2];
      sum[4] += w[3];
      sum[5] += w[4];
      sum[6] += static_cast<double>(v);
      sum[7] += static_cast<double>(c * v);
      sum[8] += static_cast<double>(s * v);
      seen[ring * 8 + sector] = 1;
    }
  }
  for (std::size_t k = 0; k < nrings; ++k) {
    int sectors = 0;
    for (std::size_t q = 0; q < 8; ++q) sectors += seen[k * 8 + q];
    if (sectors < rings.min_sectors || count[k] < rings.min_gates) continue;
    append_normal_equations(sums[k], count[k], normal, rhs);
  }
}

template <class Fold>
std::size_t shift_valid(Grid<const std::uint8_t> excluded, const Fold* folds, std::int32_t shift,
                        std::span<std::int32_t> out) noexcept {
  const std::size_t n = excluded.data.size();
  const auto add = static_cast<std::uint32_t>(shift);
  std::size_t changed = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const bool valid = excluded.data[i] == 0;
    const auto fold = static_cast<std::uint32_t>(static_cast<std::int32_t>(folds[i]));
    out[i] = static_cast<std::int32_t>(fold + (valid ? add : 0U));
    changed += valid ? 1 : 0;
  }
  return shift != 0 ? changed : 0;
}

#define VORNAK_ANCHOR_VAD(V, F)                                                                        \
  template void vad_sums<V, F>(Grid<const std::uint8_t>, const V*, const F*, float, const RingCells&, \
                               std::vector<double>&, std::vector<double>&);
VORNAK_ANCHOR_VAD(float, std::int32_t)
VORNAK_ANCHOR_VAD(float, std::int64_t)
VORNAK_ANCHOR_VAD(double, std::int32_t)
VORNAK_ANCHOR_VAD(double, std::int64_t)
#undef VORNAK_ANCHOR_VAD
template std::size_t shift_valid<std::int32_t>(Grid<const std::uint8_t>, const std::int32_t*, std::int32_t,
                                               std::span<std::int32_t>) noexcept;
template std::size_t shift_valid<std::int64_t>(Grid<const std::uint8_t>, const std::int64_t*, std::int32_t,
                                               std::span<std::int32_t>) noexcept;

}  // namespace vornak::anchor
