// Anchoring's views of one sweep: its gates with echo as flat vectors, the
// sweep on blocks of 2 rays x 2 gates, and the whole folds of blocks handed
// back to their gates.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vornak::anchor {

// A (rays, gates) array, row-major.
template <class T>
struct Grid {
  std::span<T> data;
  std::size_t rays = 0;
  std::size_t gates = 0;
};

// Gates up to and including the farthest one with echo on any ray (1 when
// there is no echo): gates beyond are left out of the blocks.
[[nodiscard]] std::size_t echo_reach(Grid<const std::uint8_t> excluded) noexcept;

// The blocks of the first `reach` gates: a block has echo where any of its
// gates has, with the velocity and fold count of the first such gate (along
// the ray, then on the next ray); 0, 0 and empty elsewhere. The outputs are
// (rays + 1) / 2 x (reach + 1) / 2. Returns the number of blocks with echo.
template <class Velocity, class Fold>
std::size_t make_blocks(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds,
                        std::size_t reach, Grid<float> block_velocity, Grid<std::int32_t> block_folds,
                        Grid<std::uint8_t> block_empty) noexcept;

// The same blocks without their grids, for a sweep whose blocks are wanted
// only as gate vectors: first which gate of each block holds its first echo
// (0 to 3; 4 for none) into `choice` ((rays + 1) / 2 x (reach + 1) / 2),
// returning the number of blocks with echo;
[[nodiscard]] std::size_t block_choices(Grid<const std::uint8_t> excluded, std::size_t reach,
                                        Grid<std::uint8_t> choice) noexcept;

// then the ray, gate, flat position, fold count and dealiased velocity of
// each block with echo (as nonempty_cells and gate_values give them from
// the block grids), the spans holding as many as there are, and the block
// number of each block cell in `where` (-1 elsewhere and at its end, one
// longer than the cells). `gates`: the sweep's gates a ray.
template <class Velocity, class Fold>
void block_gate_values(Grid<const std::uint8_t> choice, const Velocity* velocity, const Fold* folds,
                       std::size_t gates, double span, std::span<std::int64_t> ray, std::span<std::int64_t> gate,
                       std::span<std::int64_t> flat, std::span<std::int32_t> block_folds,
                       std::span<float> dealiased, std::span<std::int32_t> where) noexcept;

// Ray and gate of every non-empty cell of `empty`, in flat order; the spans
// hold as many as there are.
void nonempty_cells(Grid<const std::uint8_t> empty, std::span<std::int64_t> ray,
                    std::span<std::int64_t> gate) noexcept;

// Flat position, fold count and dealiased velocity (velocity + folds * span,
// rounded once to float) of the gates at (ray, gate), each inside the grid.
template <class Velocity, class Fold>
void gate_values(const Velocity* velocity, const Fold* folds, std::size_t gates, double span,
                 std::span<const std::int64_t> ray, std::span<const std::int64_t> gate,
                 std::span<std::int64_t> flat, std::span<Fold> gate_folds,
                 std::span<float> dealiased) noexcept;

// Fold counts of a sweep (narrowed to int32 as they are copied) with the
// shift of each block (ray, gate) added to the gates with echo in it.
// Returns the number of gates changed.
template <class Fold>
std::size_t unblock(const Fold* folds, Grid<const std::uint8_t> excluded, std::span<const std::int64_t> ray,
                    std::span<const std::int64_t> gate, std::span<const std::int64_t> shift,
                    std::span<std::int32_t> out) noexcept;

}  // namespace vornak::anchor
