// Neighbour jumps of a dealiased sweep, two rows of dealiased velocities at a time.
#include "vornak/neighbour_jumps.hpp"

#include <cmath>
#include <limits>
#include <vector>

#include "vornak/numeric.hpp"

namespace vornak::gates {

namespace {

constexpr double largest = std::numeric_limits<double>::max();

// One row dealiased as stored, NaN where excluded.
template <class Fold>
void dealias_row(const float* velocity, const Fold* folds, const std::uint8_t* excluded, std::size_t gates,
                 double span, float* row) noexcept {
  const float missing = std::numeric_limits<float>::quiet_NaN();
  for (std::size_t g = 0; g < gates; ++g) row[g] = excluded[g] != 0 ? missing : unfolded(velocity[g], folds[g], span);
}

// Pairs a[i], b[i] for i < n. NaN compares false both ways, so a missing
// gate makes neither a pair nor a jump; an infinite difference fails the
// first test and passes the second.
void count_pairs(const float* a, const float* b, std::size_t n, double nyquist, Jumps& into) noexcept {
  std::size_t jumps = 0, pairs = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double diff = std::fabs(static_cast<double>(a[i]) - static_cast<double>(b[i]));
    pairs += diff <= largest;
    jumps += diff > nyquist;
  }
  into.jumps += jumps;
  into.pairs += pairs;
}

}  // namespace

template <class Fold>
NeighbourJumps neighbour_jumps(const float* velocity, const Fold* folds, const std::uint8_t* excluded,
                               std::size_t rays, std::size_t gates, double span, double nyquist, bool wrap) {
  NeighbourJumps counts;
  if (rays == 0 || gates == 0) return counts;
  // the first row kept for the wrap; the others in two rows taken in turn
  std::vector<float> rows(3 * gates);
  float* const first = rows.data();
  const float* previous = first;
  for (std::size_t r = 0; r < rays; ++r) {
    float* const row = r == 0 ? first : first + (1 + r % 2) * gates;
    const std::size_t at = r * gates;
    dealias_row(velocity + at, folds + at, excluded + at, gates, span, row);
    count_pairs(row + 1, row, gates - 1, nyquist, counts.along);
    if (r > 0) count_pairs(row, previous, gates, nyquist, counts.across);
    previous = row;
  }
  if (wrap && rays > 2) count_pairs(first, previous, gates, nyquist, counts.wrap);
  return counts;
}

template NeighbourJumps neighbour_jumps<std::int32_t>(const float*, const std::int32_t*, const std::uint8_t*,
                                                      std::size_t, std::size_t, double, double, bool);
template NeighbourJumps neighbour_jumps<std::int64_t>(const float*, const std::int64_t*, const std::uint8_t*,
                                                      std::size_t, std::size_t, double, double, bool);

}  // namespace vornak::gates
