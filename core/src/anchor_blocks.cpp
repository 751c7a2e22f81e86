// Blocks of 2 x 2 gates and the gate vectors of a sweep, in one pass each.
#include "vornak/anchor_blocks.hpp"

#include <algorithm>

namespace vornak::anchor {

std::size_t echo_reach(Grid<const std::uint8_t> excluded) noexcept {
  std::size_t reach = 0;
  for (std::size_t r = 0; r < excluded.rays; ++r) {
    const std::uint8_t* row = excluded.data.data() + r * excluded.gates;
    for (std::size_t g = excluded.gates; g > reach; --g) {
      if (row[g - 1] == 0) {
        reach = g;
        break;
      }
    }
  }
  return std::max<std::size_t>(reach, 1);
}

template <class Velocity, class Fold>
std::size_t make_blocks(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds,
                        std::size_t reach, Grid<float> block_velocity, Grid<std::int32_t> block_folds,
                        Grid<std::uint8_t> block_empty) noexcept {
  const std::size_t ngates = excluded.gates;
  const std::size_t columns = std::min(reach, ngates);
  std::size_t count = 0;
  for (std::size_t br = 0; br < block_empty.rays; ++br) {
    const std::size_t first_ray = 2 * br;
    for (std::size_t bg = 0; bg < block_empty.gates; ++bg) {
      const std::size_t first_gate = 2 * bg;
      // In order of preference: along the first ray, then along the second.
      std::size_t at = 0;
      bool found = false;
      for (std::size_t r = first_ray; r < std::min(first_ray + 2, excluded.rays) && !found; ++r) {
        for (std::size_t g = first_gate; g < std::min(first_gate + 2, columns) && !found; ++g) {
          const std::size_t i = r * ngates + g;
          if (excluded.data[i] == 0) {
            at = i;
            found = true;
          }
        }
      }
      const std::size_t b = br * block_empty.gates + bg;
      block_empty.data[b] = found ? 0 : 1;
      block_velocity.data[b] = found ? static_cast<float>(velocity[at]) : 0.0f;
      block_folds.data[b] = found ? static_cast<std::int32_t>(folds[at]) : 0;
      count += found ? 1 : 0;
    }
  }
  return count;
}

void nonempty_cells(Grid<const std::uint8_t> empty, std::span<std::int64_t> ray,
                    std::span<std::int64_t> gate) noexcept {
  std::size_t k = 0;
  for (std::size_t r = 0; r < empty.rays; ++r) {
    for (std::size_t g = 0; g < empty.gates; ++g) {
      if (empty.data[r * empty.gates + g] == 0 && k < ray.size()) {
        ray[k] = static_cast<std::int64_t>(r);
        gate[k] = static_cast<std::int64_t>(g);
        ++k;
      }
    }
  }
}

template <class Velocity, class Fold>
void gate_values(const Velocity* velocity, const Fold* folds, std::size_t gates, double span,
                 std::span<const std::int64_t> ray, std::span<const std::int64_t> gate,
                 std::span<std::int64_t> flat, std::span<Fold> gate_folds,
                 std::span<float> dealiased) noexcept {
  for (std::size_t i = 0; i < ray.size(); ++i) {
    const std::int64_t at = ray[i] * static_cast<std::int64_t>(gates) + gate[i];
    const Fold fold = folds[at];
    flat[i] = at;
    gate_folds[i] = fold;
    // In double, then rounded once: as NumPy promotes the mixed expression.
    dealiased[i] = static_cast<float>(static_cast<double>(velocity[at]) + static_cast<double>(fold) * span);
  }
}

template <class Fold>
std::size_t unblock(const Fold* folds, Grid<const std::uint8_t> excluded, std::span<const std::int64_t> ray,
                    std::span<const std::int64_t> gate, std::span<const std::int64_t> shift,
                    std::span<std::int32_t> out) noexcept {
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int32_t>(folds[i]);
  std::size_t changed = 0;
  for (std::size_t b = 0; b < shift.size(); ++b) {
    if (shift[b] == 0) continue;
    // Narrowed and added modulo 2^32, as int32 arithmetic does in NumPy.
    const auto by = static_cast<std::uint32_t>(static_cast<std::int32_t>(shift[b]));
    for (std::size_t dr = 0; dr < 2; ++dr) {
      const std::size_t r = 2 * static_cast<std::size_t>(ray[b]) + dr;
      if (r >= excluded.rays) continue;
      for (std::size_t dg = 0; dg < 2; ++dg) {
        const std::size_t g = 2 * static_cast<std::size_t>(gate[b]) + dg;
        const std::size_t i = r * excluded.gates + g;
        if (g >= excluded.gates || excluded.data[i] != 0) continue;
        out[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(out[i]) + by);
        ++changed;
      }
    }
  }
  return changed;
}

#define VORNAK_ANCHOR_BLOCKS(V, F)                                                                        \
  template std::size_t make_blocks<V, F>(Grid<const std::uint8_t>, const V*, const F*, std::size_t,     \
                                         Grid<float>, Grid<std::int32_t>, Grid<std::uint8_t>) noexcept; \
  template void gate_values<V, F>(const V*, const F*, std::size_t, double, std::span<const std::int64_t>, \
                                  std::span<const std::int64_t>, std::span<std::int64_t>, std::span<F>,   \
                                  std::span<float>) noexcept;
VORNAK_ANCHOR_BLOCKS(float, std::int32_t)
VORNAK_ANCHOR_BLOCKS(float, std::int64_t)
VORNAK_ANCHOR_BLOCKS(double, std::int32_t)
VORNAK_ANCHOR_BLOCKS(double, std::int64_t)
#undef VORNAK_ANCHOR_BLOCKS

template std::size_t unblock<std::int32_t>(const std::int32_t*, Grid<const std::uint8_t>,
                                           std::span<const std::int64_t>, std::span<const std::int64_t>,
                                           std::span<const std::int64_t>, std::span<std::int32_t>) noexcept;
template std::size_t unblock<std::int64_t>(const std::int64_t*, Grid<const std::uint8_t>,
                                           std::span<const std::int64_t>, std::span<const std::int64_t>,
                                           std::span<const std::int64_t>, std::span<std::int32_t>) noexcept;

}  // namespace vornak::anchor
