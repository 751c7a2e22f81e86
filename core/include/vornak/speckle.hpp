// Speckle: small, scattered groups of gates raised or lowered by a fold that
// their surroundings do not share, put back to fold 0.
//
// Between scattered gates (clutter residue, noise, the ragged edge of an
// echo) regions are tiny and merged last, each taking the rounded mean jump
// to the neighbours merged before it: clutter at 0 m/s beside the edge of an
// echo at +15 m/s (Nyquist 8.25 m/s) rounds one fold up, and the fold spreads
// through the clutter, region by region. Nearness to the echo cannot tell
// such speckle from a small real feature; its own kind can. A scattered group
// whose mean velocity is about zero and that carries one fold is raised
// clutter unless the gates around it that measured about zero carry the same
// fold; where they do not, its gates about zero go back to fold 0.
//
// Terms: a gate is valid when not excluded and finite; like when valid and
// within 2 x NEAR_ZERO x Nyquist of 0 m/s; dense when at least DENSE_SHARE of
// its 3 x 3 neighbourhood (the part within the sweep; rays wrap around when
// the sweep does) is valid; solid when dense and in a 4-connected area of
// dense gates (never across the first and last ray) of SOLID_GATES or more.
// The scattered groups are the 4-connected areas of valid gates that are not
// solid, again never across the first and last ray.
//
// In two steps, so that the caller can decide which group means are about
// zero with the arctangent of its choice (the decision at NEAR_ZERO x pi is
// a comparison that an ulp can flip): `lifted_groups`, then `put_back`.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace vornak::speckle {

// A gate is dense when at least this share of its 3 x 3 neighbourhood is valid ...
inline constexpr double dense_share = 0.55;
// ... and dense gates in 4-connected areas of at least this many are solid echo.
inline constexpr std::size_t solid_gates = 20;
// Like gates are within 2 x this share of the Nyquist velocity of 0 m/s.
inline constexpr double near_zero = 0.2;
// Surroundings of a group: this many rays and gates beyond its extent,
// counted in blocks of this many rays and gates.
inline constexpr std::int64_t reach_rays = 25;
inline constexpr std::int64_t reach_gates = 50;
inline constexpr std::int64_t block_rays = 5;
inline constexpr std::int64_t block_gates = 10;
// A raised group keeps its fold when at least this many like gates surround
// it and more than this share of them carry the same fold.
inline constexpr std::int64_t like_gates = 10;
inline constexpr double support = 0.75;
// Folds beyond +-this count as this (far beyond any speckle).
inline constexpr int fold_limit = 4;

// A sweep of rays x gates in C order, rays in scan order.
template <class Velocity, class Fold>
struct Sweep {
  const std::uint8_t* excluded = nullptr;
  const Velocity* velocity = nullptr;
  const Fold* folds = nullptr;
  std::size_t rays = 0;
  std::size_t gates = 0;
  double nyquist = 1.0;
  bool wrap = false;
};

// A scattered group that holds a like gate with a fold and whose gates all
// carry one fold (clipped to +-fold_limit), not 0.
struct Group {
  std::size_t begin = 0, end = 0;  // its gates: Groups::gates[begin, end), flat positions rising
  std::int64_t first_ray = 0, end_ray = 0, first_gate = 0, end_gate = 0;  // extent, one past the last
  int fold = 0;                   // clipped
  std::int64_t like = 0;          // its like gates
  double sin_sum = 0.0, cos_sum = 0.0;  // of pi x velocity / Nyquist, summed in flat order
};

struct Groups {
  std::vector<std::uint8_t> state;   // per gate: what is known of it (valid, like, dense, solid, grouped)
  std::vector<std::size_t> gates;    // flat positions of the groups' gates
  std::vector<Group> list;
};

// The groups that the repair could put back: empty when no like gate carries
// a fold (then nothing else is computed). The sweep's folds are copied to
// `out` (rays x gates) on the way.
template <class Velocity, class Fold>
[[nodiscard]] Groups lifted_groups(const Sweep<Velocity, Fold>& sweep, Fold* out);

// Puts back to 0, in `out` (the sweep's folds, rays x gates), the like gates
// of the groups whose mean is about zero (`about_zero`, one flag per group of
// `groups.list`) and whose like surroundings do not share their fold.
// Returns the number of gates changed.
template <class Velocity, class Fold>
std::size_t put_back(const Sweep<Velocity, Fold>& sweep, const Groups& groups,
                     std::span<const std::uint8_t> about_zero, Fold* out);

}  // namespace vornak::speckle
