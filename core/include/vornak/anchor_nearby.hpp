// Nearby echo: the whole folds that move a small echo area onto the fold of
// the large echo right beside it (python/vornak/_anchor_nearby.py has the rule).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "vornak/anchor_blocks.hpp"
#include "vornak/anchor_rings.hpp"

namespace vornak::anchor {

// How echo components are joined (as echo_components): along a ray with at
// most `gap` echo-free gates between, or at the same gate of neighbouring
// rays (the last ray beside the first when `wrap`), where the dealiased
// velocities differ by no more than `limit`.
struct Joining {
  bool wrap = false;
  std::int64_t gap = 0;
  float limit = 0.0F;
};

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
  // Areas are looked for only in a sweep with at least this many fitted
  // rings: the centring check that lets them move needs them.
  std::int64_t min_rings = 0;
};

// What moves: the flat positions of the gates of the moving areas (in flat
// order), the area of each (0 to shift.size() - 1) and each area's shift;
// with the least-squares sums (3 x 3 normal matrix, right-hand side) of the
// VAD fit of each fitted ring, as ring_sums makes them. All empty where
// nothing moves.
struct NearbyAreas {
  std::vector<std::int64_t> at;
  std::vector<std::int64_t> area;
  std::vector<std::int64_t> shift;
  std::vector<double> normal;
  std::vector<double> rhs;
};

// The moving areas of a sweep whose dealiased velocity is velocity + folds
// * span (rounded once to float), its valid gates those not excluded. The
// folds between two gates are their difference over `span`, in float32 as
// the velocities are. Precondition: the RingCells have one entry per
// ray, sectors in 0..7; rays x gates below 2^31.
template <class Velocity, class Fold>
NearbyAreas nearby_areas(Grid<const std::uint8_t> excluded, const Velocity* velocity, const Fold* folds, double span,
                         const Joining& joining, const NearbyRule& rule, const RingCells& rings);

}  // namespace vornak::anchor
