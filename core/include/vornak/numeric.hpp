// The conversions whose every bit is fixed: float32 widening and narrowing,
// saturating double-to-integer conversion, low-32 narrowing and wrapping
// two's-complement arithmetic (through unsigned types, never signed UB).
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace vornak {

// Exact widening of a measured velocity before it is compared or summed.
[[nodiscard]] constexpr double widen(float v) noexcept { return static_cast<double>(v); }

// Round to the nearest float32 (ties to even), as stored in edge statistics.
[[nodiscard]] constexpr float narrow_to_float(double v) noexcept { return static_cast<float>(v); }

// A dealiased velocity as it is stored: velocity + folds x span in double
// (as NumPy promotes the mixed expression), rounded once to float32.
template <class Velocity, class Fold>
[[nodiscard]] constexpr float unfolded(Velocity velocity, Fold folds, double span) noexcept {
  return static_cast<float>(static_cast<double>(velocity) + static_cast<double>(folds) * span);
}

// Returns x truncated toward zero as int64; NaN gives 0, values at or beyond
// the int64 range give its nearest end.
[[nodiscard]] constexpr std::int64_t saturating_i64(double x) noexcept {
  constexpr double two_63 = 9223372036854775808.0;
  if (x != x) return 0;
  if (x >= two_63) return std::numeric_limits<std::int64_t>::max();
  if (x < -two_63) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(x);
}

// The low 32 bits of v, read as a signed value.
[[nodiscard]] constexpr std::int32_t low32(std::int64_t v) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(v)));
}

// rint (nearest, ties to even, default rounding mode) to a saturated int64,
// narrowed to its low 32 bits: the rounding of every fold shift.
[[nodiscard]] inline std::int32_t rint_to_i32(double x) noexcept {
  return low32(saturating_i64(std::rint(x)));
}

// ceil to a saturated int64: the rounding of interval extension counts.
[[nodiscard]] inline std::int64_t ceil_to_i64(double x) noexcept {
  return saturating_i64(std::ceil(x));
}

[[nodiscard]] constexpr std::int32_t wrapping_add(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr std::int32_t wrapping_sub(std::int32_t a, std::int32_t b) noexcept {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) - static_cast<std::uint32_t>(b));
}
[[nodiscard]] constexpr std::int32_t wrapping_neg(std::int32_t a) noexcept {
  return static_cast<std::int32_t>(0u - static_cast<std::uint32_t>(a));
}
[[nodiscard]] constexpr std::int64_t wrapping_add(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) + static_cast<std::uint64_t>(b));
}
[[nodiscard]] constexpr std::int64_t wrapping_mul(std::int64_t a, std::int64_t b) noexcept {
  return static_cast<std::int64_t>(static_cast<std::uint64_t>(a) * static_cast<std::uint64_t>(b));
}

}  // namespace vornak
