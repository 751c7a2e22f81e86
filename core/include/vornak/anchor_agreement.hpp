// Agreement with a reference: the whole folds that most co-located gates ask
// for, for a whole sweep and then for each of its echo components.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornak::anchor {

// When a shift counts: at least `min_gates` gates with a reference, and
// `min_agreement` of them asking for the same shift; shifts are counted up
// to `max_shift` folds either way (larger ones as that).
struct Consensus {
  std::int64_t min_gates = 0;
  double min_agreement = 0.0;
  std::int64_t max_shift = 0;
};

// Shift that most of `wanted` ask for when it counts, else 0.
[[nodiscard]] std::int64_t consensus(std::span<const std::int64_t> wanted, const Consensus& rule);

// The whole folds that bring each gate with a reference (finite) to it: the
// rounded difference in units of `span`, in the reference's precision.
struct Wanted {
  std::vector<std::int64_t> folds;  // per gate, 0 without a reference
  std::vector<std::uint8_t> has;    // per gate: whether it has a reference
  std::int64_t compared = 0;        // gates with a reference
};
[[nodiscard]] Wanted wanted_folds(std::span<const float> reference, std::span<const float> dealiased, double span);
[[nodiscard]] Wanted wanted_folds(std::span<const double> reference, std::span<const float> dealiased, double span);

// The shift most gates with a reference ask for, where it counts, else 0.
[[nodiscard]] std::int64_t sweep_shift(const Wanted& wanted, const Consensus& rule);

// Gates asking for another shift than `sweep_shift` next to another such
// gate (consecutive valid gates, both with a reference): noise comes one by
// one.
[[nodiscard]] std::int64_t paired_dissent(const Wanted& wanted, std::int64_t sweep_shift) noexcept;

// Shift of each component beyond `sweep_shift`, 0 where it does not count
// or fewer than `min_covered` of the component's gates have a reference.
// Precondition: one component number (below `components`) per gate.
[[nodiscard]] std::vector<std::int64_t> component_shifts(const Wanted& wanted, std::int64_t sweep_shift,
                                                         std::span<const std::int64_t> component,
                                                         std::size_t components, const Consensus& rule,
                                                         double min_covered);

}  // namespace vornak::anchor
