// Blocks of 2 x 2 gates and the gate vectors of a sweep, in one pass each.
#include "vornak/anchor_blocks.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>
#include <vector>

#include "vornak/numeric.hpp"

namespace vornak::anchor {

std::size_t echo_reach(Grid<const std::uint8_t> excluded) noexcept {
  // Each ray from its end back to the reach so far, eight gates at a time
  // where all are excluded: the gates within the reach are never read.
  constexpr std::uint64_t all_excluded = 0x0101010101010101ULL;
  std::size_t reach = 0;
  for (std::size_t r = 0; r < excluded.rays; ++r) {
    const std::uint8_t* row = excluded.data.data() + r * excluded.gates;
    std::size_t g = excluded.gates;
    while (g > reach) {
      if (g - reach >= 8) {
        std::uint64_t eight = 0;
        std::memcpy(&eight, row + g - 8, 8);
        if (eight == all_excluded) {
          g -= 8;
          continue;
        }
      }
      if (row[g - 1] == 0) {
        reach = g;
        break;
      }
      --g;
    }
  }
  return std::max<std::size_t>(reach, 1);
}

namespace {

// Which gate of a block holds its first echo (0 to 3, in order of
// preference: along the first ray, then along the second), 4 for none; from
// the excluded flags of its four gates. Arithmetic, not branches: the
// compiler vectorises a row of these.
inline std::uint8_t first_echo(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) noexcept {
  const int na = a != 0, nb = b != 0, nc = c != 0, nd = d != 0;
  return static_cast<std::uint8_t>(na * (1 + nb * (1 + nc * (1 + nd))));
}

// The first echo (first_echo) of each block of block row `br` into `choice`
// (`width` blocks; past the first `columns` gates, none).
void choose_row(Grid<const std::uint8_t> excluded, std::size_t br, std::size_t columns,
                const std::vector<std::uint8_t>& none, std::uint8_t* __restrict choice, std::size_t width) noexcept {
  const std::size_t ngates = excluded.gates;
  const std::size_t pairs = columns / 2;  // blocks with both gates inside
  const std::uint8_t* __restrict a = excluded.data.data() + 2 * br * ngates;
  const std::uint8_t* __restrict b = 2 * br + 1 < excluded.rays ? a + ngates : none.data();
  for (std::size_t k = 0; k < pairs; ++k) choice[k] = first_echo(a[2 * k], a[2 * k + 1], b[2 * k], b[2 * k + 1]);
  if (pairs < width) {
    const std::size_t g = 2 * pairs;
    choice[pairs] = g < columns ? first_echo(a[g], 1, b[g], 1) : 4;
  }
}

// Whether the eight choices from `choice` on are all 4: no echo in any.
inline bool eight_empty(const std::uint8_t* choice) noexcept {
  std::uint64_t eight = 0;
  std::memcpy(&eight, choice, 8);
  return eight == 0x0404040404040404ULL;
}

}  // namespace

template <class Velocity, class Fold>
std::size_t make_blocks(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds,
                        std::size_t reach, Grid<float> block_velocity, Grid<std::int32_t> block_folds,
                        Grid<std::uint8_t> block_empty) noexcept {
  const std::size_t ngates = excluded.gates;
  const std::size_t columns = std::min(reach, ngates);
  const std::size_t offset[4] = {0, 1, ngates, ngates + 1};
  if (excluded.data.empty()) {  // no gate to read, even for a block without echo
    std::fill(block_empty.data.begin(), block_empty.data.end(), std::uint8_t{1});
    std::fill(block_velocity.data.begin(), block_velocity.data.end(), 0.0f);
    std::fill(block_folds.data.begin(), block_folds.data.end(), 0);
    return 0;
  }
  // A missing second ray, or gate past the last column, reads as excluded.
  const std::vector<std::uint8_t> none(columns + 1, 1);
  std::vector<std::uint8_t> first(block_empty.gates, 4);
  std::size_t count = 0;
  for (std::size_t br = 0; br < block_empty.rays; ++br) {
    const std::size_t row = 2 * br * ngates;
    std::uint8_t* __restrict choice = first.data();
    choose_row(excluded, br, columns, none, choice, block_empty.gates);
    std::uint8_t* empty = block_empty.data.data() + br * block_empty.gates;
    for (std::size_t k = 0; k < block_empty.gates; ++k) empty[k] = choice[k] == 4 ? 1 : 0;
    float* out_velocity = block_velocity.data.data() + br * block_empty.gates;
    std::int32_t* out_folds = block_folds.data.data() + br * block_empty.gates;
    std::fill(out_velocity, out_velocity + block_empty.gates, 0.0f);
    std::fill(out_folds, out_folds + block_empty.gates, 0);
    // Only the blocks with echo are read; eight empty ones are passed over
    // at once (echo is sparse and comes in areas).
    for (std::size_t k = 0; k < block_empty.gates;) {
      if (k + 8 <= block_empty.gates && eight_empty(choice + k)) {
        k += 8;
        continue;
      }
      if (choice[k] < 4) {
        const std::size_t at = row + 2 * k + offset[choice[k]];
        out_velocity[k] = static_cast<float>(velocity[at]);
        out_folds[k] = static_cast<std::int32_t>(folds[at]);
        ++count;
      }
      ++k;
    }
  }
  return count;
}

std::size_t block_choices(Grid<const std::uint8_t> excluded, std::size_t reach,
                          Grid<std::uint8_t> choice) noexcept {
  if (excluded.data.empty()) {
    std::fill(choice.data.begin(), choice.data.end(), std::uint8_t{4});
    return 0;
  }
  const std::size_t columns = std::min(reach, excluded.gates);
  const std::vector<std::uint8_t> none(columns + 1, 1);
  std::size_t count = 0;
  for (std::size_t br = 0; br < choice.rays; ++br) {
    std::uint8_t* row = choice.data.data() + br * choice.gates;
    choose_row(excluded, br, columns, none, row, choice.gates);
    for (std::size_t k = 0; k < choice.gates; ++k) count += row[k] < 4 ? 1 : 0;
  }
  return count;
}

template <class Velocity, class Fold>
void block_gate_values(Grid<const std::uint8_t> choice, const Velocity* velocity, const Fold* folds,
                       std::size_t gates, double span, std::span<std::int64_t> ray, std::span<std::int64_t> gate,
                       std::span<std::int64_t> flat, std::span<std::int32_t> block_folds,
                       std::span<float> dealiased, std::span<std::int32_t> where) noexcept {
  std::fill(where.begin(), where.end(), -1);
  const std::size_t offset[4] = {0, 1, gates, gates + 1};
  std::size_t i = 0;
  const std::size_t n = ray.size();
  for (std::size_t br = 0; br < choice.rays && i < n; ++br) {
    const std::uint8_t* row = choice.data.data() + br * choice.gates;
    for (std::size_t k = 0; k < choice.gates && i < n;) {
      if (k + 8 <= choice.gates && eight_empty(row + k)) {
        k += 8;
        continue;
      }
      if (row[k] < 4) {
        const std::size_t at = 2 * br * gates + 2 * k + offset[row[k]];
        // The block's velocity and fold count narrowed as the block grids
        // hold them, then dealiased as gate_values does from those.
        const auto v = static_cast<float>(velocity[at]);
        const auto fold = static_cast<std::int32_t>(folds[at]);
        const std::size_t cell = br * choice.gates + k;
        ray[i] = static_cast<std::int64_t>(br);
        gate[i] = static_cast<std::int64_t>(k);
        flat[i] = static_cast<std::int64_t>(cell);
        block_folds[i] = fold;
        dealiased[i] = unfolded(v, fold, span);
        where[cell] = static_cast<std::int32_t>(i);
        ++i;
      }
      ++k;
    }
  }
}

void nonempty_cells(Grid<const std::uint8_t> empty, std::span<std::int64_t> ray,
                    std::span<std::int64_t> gate) noexcept {
  // Written at every cell, kept where it has echo: no branch on the data.
  std::size_t k = 0;
  const std::size_t n = ray.size();
  for (std::size_t r = 0; r < empty.rays && k < n; ++r) {
    const std::uint8_t* row = empty.data.data() + r * empty.gates;
    for (std::size_t g = 0; g < empty.gates && k < n; ++g) {
      ray[k] = static_cast<std::int64_t>(r);
      gate[k] = static_cast<std::int64_t>(g);
      k += row[g] == 0 ? 1 : 0;
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
    dealiased[i] = unfolded(velocity[at], fold, span);
  }
}

template <class Fold>
std::size_t unblock(const Fold* folds, Grid<const std::uint8_t> excluded, std::span<const std::int64_t> ray,
                    std::span<const std::int64_t> gate, std::span<const std::int64_t> shift,
                    std::span<std::int32_t> out) noexcept {
  if constexpr (std::is_same_v<Fold, std::int32_t>) {
    if (!out.empty()) std::memcpy(out.data(), folds, out.size() * sizeof(std::int32_t));
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = static_cast<std::int32_t>(folds[i]);
  }
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
                                  std::span<float>) noexcept;                                             \
  template void block_gate_values<V, F>(Grid<const std::uint8_t>, const V*, const F*, std::size_t, double, \
                                        std::span<std::int64_t>, std::span<std::int64_t>,                  \
                                        std::span<std::int64_t>, std::span<std::int32_t>, std::span<float>,  \
                                        std::span<std::int32_t>) noexcept;
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
