// The gate passes of a sweep in memory: the gates that hold no velocity, and the dealiased velocities.
#include "vornak/gate_values.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <type_traits>

#include "gate_lanes.hpp"
#include "vornak/numeric.hpp"

namespace vornak::gates {

namespace {

// Two gates at a time (gate_lanes.hpp): the compilers leave a plain loop of
// comparisons that yield flags scalar.
Doubles load(const double* at) noexcept {
  Doubles v;
  std::memcpy(&v, at, sizeof v);
  return v;
}

Doubles load(const float* at) noexcept { return widened(at); }

template <class Value>
bool implausible_at(Value value, double bound, std::span<const double> codes) noexcept {
  const auto v = static_cast<double>(value);
  bool hit = std::fabs(v) > bound;
  for (const double code : codes) hit |= v == code;
  return hit;
}

#ifdef VORNAK_WIDE_GATES
// Eight gates at a time where the processor has AVX-512 (the flags of a
// comparison in a mask register, narrowed to bytes in one instruction):
// about 2.5 times the pass above, on a sweep that is not in the cache
// too. The same comparisons, in the same widths, so the same results.
template <class Value>
__attribute__((target("avx512f"))) std::size_t codes_and_bound_wide(
    const Value* values, std::size_t size, double bound, const double* codes, std::size_t implausible_codes,
    std::size_t all_codes, std::uint8_t* excluded, float* single) noexcept {
  Flags8 magnitude = {};
  magnitude |= INT64_MAX;  // all bits but the sign
  constexpr double largest = std::numeric_limits<float>::max();
  Flags8 hits = {};
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    Doubles8 v;
    if constexpr (std::is_same_v<Value, double>) {
      std::memcpy(&v, values + i, sizeof v);
    } else {
      Floats8 f;
      std::memcpy(&f, values + i, sizeof f);
      v = __builtin_convertvector(f, Doubles8);
    }
    Flags8 hit = reinterpret_cast<Doubles8>(reinterpret_cast<Flags8>(v) & magnitude) > bound;
    for (std::size_t c = 0; c < implausible_codes; ++c) hit |= v == codes[c];
    hits -= hit;  // -1 where hit
    const Floats8 rounded = __builtin_convertvector(v, Floats8);
    std::memcpy(single + i, &rounded, sizeof rounded);
    const Doubles8 back = __builtin_convertvector(rounded, Doubles8);
    Flags8 all = hit | ~(reinterpret_cast<Doubles8>(reinterpret_cast<Flags8>(back) & magnitude) <= largest);
    for (std::size_t c = implausible_codes; c < all_codes; ++c) all |= v == codes[c];
    const Bytes8 flags = __builtin_convertvector(all & 1, Bytes8);
    std::memcpy(excluded + i, &flags, sizeof flags);
  }
  std::size_t count = 0;
  for (int k = 0; k < 8; ++k) count += static_cast<std::size_t>(hits[k]);
  const std::span<const double> implausible(codes, implausible_codes), others(codes + implausible_codes,
                                                                               all_codes - implausible_codes);
  for (; i < size; ++i) {
    const bool hit = implausible_at(values[i], bound, implausible);
    count += hit;
    single[i] = static_cast<float>(values[i]);
    excluded[i] = hit || !std::isfinite(single[i]) ||
                  implausible_at(values[i], std::numeric_limits<double>::infinity(), others);
  }
  return count;
}

// unfold of float velocities and int32 folds, eight gates at a time.
__attribute__((target("avx512f"))) void unfold_wide(const float* velocity, const std::int32_t* folds,
                                                    const std::uint8_t* excluded, double span, float* out,
                                                    std::size_t size) noexcept {
  const auto missing = std::bit_cast<std::uint32_t>(std::numeric_limits<float>::quiet_NaN());
  std::size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    Floats8 v;
    Ints8 f;
    Bytes8 skip;
    std::memcpy(&v, velocity + i, sizeof v);
    std::memcpy(&f, folds + i, sizeof f);
    std::memcpy(&skip, excluded + i, sizeof skip);
    const Floats8 dealiased =
        __builtin_convertvector(__builtin_convertvector(v, Doubles8) + __builtin_convertvector(f, Doubles8) * span,
                                Floats8);
    const Bits8 keep = __builtin_convertvector(skip == 0, Bits8);  // all ones where kept
    const Bits8 bits = (reinterpret_cast<Bits8>(dealiased) & keep) | (missing & ~keep);
    std::memcpy(out + i, &bits, sizeof bits);
  }
  for (; i < size; ++i) {
    out[i] = excluded[i] != 0 ? std::numeric_limits<float>::quiet_NaN() : unfolded(velocity[i], folds[i], span);
  }
}

#endif

}  // namespace

bool wide_gates() noexcept {
#ifdef VORNAK_WIDE_GATES
  static const bool wide = __builtin_cpu_supports("avx512f");
  return wide;
#else
  return false;
#endif
}

template <class Value>
std::size_t codes_and_bound(std::span<const Value> values, double bound, std::span<const double> codes,
                            std::size_t implausible_codes, std::span<std::uint8_t> excluded,
                            std::span<float> single) noexcept {
#ifdef VORNAK_WIDE_GATES
  if (wide_gates()) {
    return codes_and_bound_wide(values.data(), values.size(), bound, codes.data(), implausible_codes, codes.size(),
                                excluded.data(), single.data());
  }
#endif
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
#ifdef VORNAK_WIDE_GATES
  if constexpr (std::is_same_v<Velocity, float> && std::is_same_v<Fold, std::int32_t>) {
    if (wide_gates()) return unfold_wide(velocity.data(), folds, excluded, span, out.data(), velocity.size());
  }
#endif
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
