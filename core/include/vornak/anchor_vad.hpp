// The VAD shift of a whole sweep: its rings' least-squares sums read
// straight from the sweep's arrays, and the shift added to its fold counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vornak/anchor_blocks.hpp"
#include "vornak/anchor_rings.hpp"

namespace vornak::anchor {

// For each fitted ring of the sweep (`rings`), in order, its 3 x 3 normal
// matrix and right-hand side appended to `normal` and `rhs`. The terms are
// those of a float32 computation: the dealiased velocity velocity + folds *
// span and each product with the ray's cosine or sine rounded to float, as
// are the cosine, sine and their products; they are summed in double.
// Precondition: the RingCells have one entry per ray, sectors in 0..7.
template <class Velocity, class Fold>
void vad_sums(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds, float span,
              const RingCells& rings, std::vector<double>& normal, std::vector<double>& rhs);

// The fold counts (narrowed to int32 as they are copied) with `shift` added
// to every gate not excluded, wrapping as int32 does. Returns the gates changed.
template <class Fold>
std::size_t shift_valid(Grid<const std::uint8_t> excluded, const Fold* folds, std::int32_t shift,
                        std::span<std::int32_t> out) noexcept;

}  // namespace vornak::anchor
