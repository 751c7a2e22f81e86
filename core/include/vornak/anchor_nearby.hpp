// Nearby echo: the whole folds that move a small echo area onto the fold of
// the large echo right beside it (python/vornak/_anchor_nearby.py has the rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "vornak/anchor_components.hpp"

namespace vornak::anchor {

// Areas of fewer than `small_gates` gates may move, by the pairs each of
// their gates makes with the gates of areas of at least `large_gates` within
// `reach_rays` rays and `reach_gates` gates. An area moves where it has at
// least `min_pairs` pairs, `min_agreement` of them ask for the same whole
// folds (counted up to `max_shift` either way), after the shift `min_close`
// of them are within `close` of a fold apart, and the distinct large-area
// gates in reach number at least `surround` per gate of the area.
struct NearbyRule {
  std::int64_t large_gates = 0;
  std::int64_t small_gates = 0;
  std::int64_t reach_rays = 0;
  std::int64_t reach_gates = 0;
  std::int64_t min_pairs = 0;
  double min_agreement = 0.0;
  std::int64_t surround = 0;
  double close = 0.0;
  double min_close = 0.0;
  std::int64_t max_shift = 0;
};

// Whole folds each component (of `components`, numbered per gate in
// `component`) moves by, into `shift`; 0 for most. `span` is twice the
// Nyquist velocity: the folds between two gates are their difference over
// it, in float32 as the velocities are. The last ray neighbours the first
// when `wrap`. Returns the components moved. Preconditions: the gates are in
// ray-major order, each inside the sweep, one component number below
// `components` per gate.
std::size_t nearby_shifts(const EchoGates& echo, std::span<const std::int64_t> component, bool wrap, float span,
                          const NearbyRule& rule, std::span<std::int64_t> shift);

}  // namespace vornak::anchor
