// Neighbour jumps of a dealiased sweep, two rows of dealiased velocities at a time.
#include "vornak/neighbour_jumps.hpp"

#include <cmath>
#include <cstring>
#include <limits>
#include <span>
#include <vector>

#include "gate_lanes.hpp"
#include "vornak/gate_values.hpp"

namespace vornak::gates {

namespace {

// Two pairs at a time (gate_lanes.hpp): the compilers leave the plain loop
// scalar (float widened, flags counted).
using Counts = Flags;

#ifdef VORNAK_WIDE_GATES
using Counts8 = Flags8;

// count_pairs below, eight pairs at a time with AVX-512; the rest left to it.
__attribute__((target("avx512f"))) std::size_t count_pairs_wide(const float* a, const float* b, std::size_t n,
                                                                double nyquist, Jumps& into) noexcept {
  constexpr double largest = std::numeric_limits<double>::max();
  Counts8 magnitude = {};
  magnitude |= INT64_MAX;  // all bits but the sign
  Counts8 jumps = {}, pairs = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    Floats8 x, y;
    std::memcpy(&x, a + i, sizeof x);
    std::memcpy(&y, b + i, sizeof y);
    const Doubles8 diff = reinterpret_cast<Doubles8>(
        reinterpret_cast<Counts8>(__builtin_convertvector(x, Doubles8) - __builtin_convertvector(y, Doubles8)) &
        magnitude);
    pairs -= diff <= largest;  // -1 where true
    jumps -= diff > nyquist;
  }
  for (int k = 0; k < 8; ++k) {
    into.jumps += static_cast<std::size_t>(jumps[k]);
    into.pairs += static_cast<std::size_t>(pairs[k]);
  }
  return i;
}
#endif

// Pairs a[i], b[i] for i < n. NaN compares false both ways, so a missing
// gate makes neither a pair nor a jump; an infinite difference fails the
// first test and passes the second.
void count_pairs(const float* a, const float* b, std::size_t n, double nyquist, Jumps& into) noexcept {
  constexpr double largest = std::numeric_limits<double>::max();
  const Counts magnitude = {INT64_MAX, INT64_MAX};  // all bits but the sign
  std::size_t i = 0;
#ifdef VORNAK_WIDE_GATES
  if (wide_gates()) i = count_pairs_wide(a, b, n, nyquist, into);
#endif
  Counts jumps = {0, 0}, pairs = {0, 0};
  for (; i + 2 <= n; i += 2) {
    const Counts bits = reinterpret_cast<Counts>(widened(a + i) - widened(b + i)) & magnitude;
    const auto diff = reinterpret_cast<Doubles>(bits);
    pairs -= diff <= largest;  // -1 where true
    jumps -= diff > nyquist;
  }
  into.jumps += static_cast<std::size_t>(jumps[0] + jumps[1]);
  into.pairs += static_cast<std::size_t>(pairs[0] + pairs[1]);
  for (; i < n; ++i) {
    const double diff = std::fabs(static_cast<double>(a[i]) - static_cast<double>(b[i]));
    into.pairs += diff <= largest;
    into.jumps += diff > nyquist;
  }
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
    unfold(std::span<const float>(velocity + at, gates), folds + at, excluded + at, span, std::span<float>(row, gates));
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
