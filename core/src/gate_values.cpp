// The gate passes of a sweep in memory: the gates that hold no velocity, and the dealiased velocities.
#include "vornak/gate_values.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "vornak/numeric.hpp"

namespace vornak::gates {

namespace {

// Two gates at a time as doubles, in the vector types of GCC and Clang
// (SSE2 or whatever the target has): the compilers leave a plain loop of
// comparisons that yield flags scalar.
using Doubles = double __attribute__((vector_size(16)));
using Floats = float __attribute__((vector_size(8)));
using Flags = std::int64_t __attribute__((vector_size(16)));

Doubles load(const double* at) noexcept {
  Doubles v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

Doubles load(const float* at) noexcept {
  Floats v;
  std::memcpy(&v, at, sizeof v);
  return __builtin_convertvector(v, Doubles);
}

template <class Value>
bool implausible_at(Value value, double bound, std::span<const double> codes) noexcept {
  const auto v = static_cast<double>(value);
  bool hit = std::fabs(v) > bound;
  for (const double code : codes) hit |= v == code;
  return hit;
}

}  // namespace

template <class Value>
std::size_t codes_and_bound(std::span<const Value> values, double bound, std::span<const double> codes,
                            std::size_t implausible_codes, std::span<std::uint8_t> excluded,
                            std::span<float> single) noexcept {
  const auto implausible = codes.first(implausible_codes), flags = codes.subspan(implausible_codes);
  const Flags magnitude = {INT64_MAX, INT64_MAX};  // all bits but the sign
  constexpr double largest = std::numeric_limits<float>::max();
  std::size_t count = 0, i = 0;
  for (; i + 2 <= values.size(); i += 2) {
    const Doubles v = load(values.data() + i);
    Flags hit = reinterpret_cast<Doubles>(reinterpret_cast<Flags>(v) & magnitude) > bound;
    for (const double code : implausible) hit |= v == code;
    const Floats rounded = __builtin_convertvector(v, Floats);
    std::memcpy(single.data() + i, &rounded, sizeof rounded);
    const Doubles back = __builtin_convertvector(rounded, Doubles);
    Flags all = hit | ~(reinterpret_cast<Doubles>(reinterpret_cast<Flags>(back) & magnitude) <= largest);
    for (const double code : flags) all |= v == code;
    for (int k = 0; k < 2; ++k) {
      count += hit[k] & 1;
      excluded[i + static_cast<std::size_t>(k)] = static_cast<std::uint8_t>(all[k] & 1);
    }
  }
  for (; i < values.size(); ++i) {
    const bool hit = implausible_at(values[i], bound, implausible);
    count += hit;
    single[i] = static_cast<float>(values[i]);
    excluded[i] = hit || !std::isfinite(single[i]) ||
                  implausible_at(values[i], std::numeric_limits<double>::infinity(), flags);
  }
  return count;
}

template <class Velocity, class Fold>
void unfold(std::span<const Velocity> velocity, const Fold* folds, const std::uint8_t* excluded, double span,
            std::span<float> out) noexcept {
  // a select without a branch: excluded gates lie scattered in noisy sweeps
  const auto missing = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN());
  for (std::size_t i = 0; i < velocity.size(); ++i) {
    const std::uint32_t keep = 0u - static_cast<std::uint32_t>(excluded[i] == 0);
    const auto bits = (std::bit_cast<std::uint32_t>(unfolded(velocity[i], folds[i], span)) & keep) | (missing & ~keep);
    out[i] = std::bit_cast<float>(bits);
  }
}

template std::size_t codes_and_bound<float>(std::span<const float>, double, std::span<const double>, std::size_t,
                                            std::span<std::uint8_t>, std::span<float>) noexcept;
template std::size_t codes_and_bound<double>(std::span<const double>, double, std::span<const double>, std::size_t,
                                             std::span<std::uint8_t>, std::span<float>) noexcept;
template void unfold<float, std::int32_t>(std::span<const float>, const std::int32_t*, const std::uint8_t*, double,
                                          std::span<float>) noexcept;
template void unfold<float, std::int64_t>(std::span<const float>, const std::int64_t*, const std::uint8_t*, double,
                                          std::span<float>) noexcept;
template void unfold<double, std::int32_t>(std::span<const double>, const std::int32_t*, const std::uint8_t*,
                                           double, std::span<float>) noexcept;
template void unfold<double, std::int64_t>(std::span<const double>, const std::int64_t*, const std::uint8_t*,
                                           double, std::span<float>) noexcept;

}  // namespace vornak::gates
