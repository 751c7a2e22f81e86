// Counting the whole folds gates ask for, by sweep and by component.
#include "vornak/anchor_agreement.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

namespace vornak::anchor {

namespace {

// A rounded value as int64, as the x86 conversion NumPy uses gives it: the
// smallest int64 for NaN and values out of range.
std::int64_t to_int64(double x) noexcept {
  constexpr double bound = 9223372036854775808.0;  // 2^63
  return x >= -bound && x < bound ? static_cast<std::int64_t>(x) : std::numeric_limits<std::int64_t>::min();
}

// Slot of a shift in the counts: clipped to the range counted.
std::size_t slot(std::int64_t shift, std::int64_t max_shift) noexcept {
  return static_cast<std::size_t>(std::clamp(shift, -max_shift, max_shift) + max_shift);
}

// Difference wrapped modulo 2^64, as int64 arithmetic does in NumPy.
std::int64_t minus(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b));
}

// Shift chosen from one row of counts (first most counted), 0 when it does not count.
std::int64_t chosen(std::span<const std::int64_t> counts, std::int64_t compared, const Consensus& rule) {
  const auto best = std::max_element(counts.begin(), counts.end());
  const bool strong = compared >= rule.min_gates &&
                      static_cast<double>(*best) >= rule.min_agreement * static_cast<double>(compared);
  return strong ? (best - counts.begin()) - rule.max_shift : 0;
}

template <class Reference>
Wanted wanted_of(std::span<const Reference> reference, std::span<const float> dealiased, double span,
                 std::int64_t max_shift) {
  const std::size_t n = reference.size();
  const auto width = static_cast<std::size_t>(2 * max_shift + 1);
  Wanted wanted{Unset<std::int64_t>(n), Unset<std::uint8_t>(n), 0, std::vector<std::int64_t>(width, 0)};
  // Four sets of counts taken in turn, summed at the end: neighbouring gates
  // mostly ask for the same shift, and one set would wait on its own count.
  std::vector<std::int64_t> sets(4 * width, 0);
  const auto unit = static_cast<Reference>(span);
  std::int64_t compared = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const Reference r = reference[i];
    const bool has = std::isfinite(r);
    const Reference folds = std::rint((r - static_cast<Reference>(dealiased[i])) / unit);
    const std::int64_t asked = has ? to_int64(static_cast<double>(folds)) : 0;
    wanted.folds[i] = asked;
    wanted.has[i] = has ? 1 : 0;
    compared += has ? 1 : 0;
    sets[(i & 3) * width + slot(asked, max_shift)] += has ? 1 : 0;
  }
  for (std::size_t k = 0; k < width; ++k) {
    wanted.counts[k] = sets[k] + sets[width + k] + sets[2 * width + k] + sets[3 * width + k];
  }
  wanted.compared = compared;
  return wanted;
}

}  // namespace

std::int64_t consensus(std::span<const std::int64_t> wanted, const Consensus& rule) {
  std::vector<std::int64_t> counts(static_cast<std::size_t>(2 * rule.max_shift + 1), 0);
  for (const std::int64_t w : wanted) ++counts[slot(w, rule.max_shift)];
  return chosen(counts, static_cast<std::int64_t>(wanted.size()), rule);
}

Wanted wanted_folds(std::span<const float> reference, std::span<const float> dealiased, double span,
                    std::int64_t max_shift) {
  return wanted_of(reference, dealiased, span, max_shift);
}

Wanted wanted_folds(std::span<const double> reference, std::span<const float> dealiased, double span,
                    std::int64_t max_shift) {
  return wanted_of(reference, dealiased, span, max_shift);
}

std::int64_t sweep_shift(const Wanted& wanted, const Consensus& rule) {
  return chosen(wanted.counts, wanted.compared, rule);
}

std::int64_t paired_dissent(const Wanted& wanted, std::int64_t sweep_shift) noexcept {
  std::int64_t paired = 0;
  bool previous = false;
  for (std::size_t i = 0; i < wanted.folds.size(); ++i) {
    const bool dissents = wanted.has[i] != 0 && wanted.folds[i] != sweep_shift;
    paired += previous && dissents ? 1 : 0;
    previous = dissents;
  }
  return paired;
}

std::vector<std::int64_t> component_shifts(const Wanted& wanted, std::int64_t sweep_shift,
                                           std::span<const std::int64_t> component, std::size_t components,
                                           const Consensus& rule, double min_covered) {
  const auto width = static_cast<std::size_t>(2 * rule.max_shift + 1);
  std::vector<std::int64_t> counts(components * width, 0);
  std::vector<std::int64_t> compared(components, 0), size(components, 0);
  for (std::size_t i = 0; i < wanted.folds.size(); ++i) {
    const auto c = static_cast<std::size_t>(component[i]);
    const std::int64_t has = wanted.has[i];
    counts[c * width + slot(minus(wanted.folds[i], sweep_shift), rule.max_shift)] += has;
    compared[c] += has;
    ++size[c];
  }
  std::vector<std::int64_t> shift(components, 0);
  for (std::size_t c = 0; c < components; ++c) {
    const std::int64_t own = chosen(std::span(counts).subspan(c * width, width), compared[c], rule);
    const bool covered = static_cast<double>(compared[c]) >= min_covered * static_cast<double>(size[c]);
    shift[c] = covered ? own : 0;
  }
  return shift;
}

}  // namespace vornak::anchor
