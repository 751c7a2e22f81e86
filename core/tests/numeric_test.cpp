// The bit-exact conversions every stage relies on.
#include "vornak/numeric.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace vornak {
namespace {

constexpr std::int64_t i64_max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t i64_min = std::numeric_limits<std::int64_t>::min();
constexpr std::int32_t i32_max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t i32_min = std::numeric_limits<std::int32_t>::min();

TEST(SaturatingI64, NanIsZeroAndRangeEndsSaturate) {
  EXPECT_EQ(saturating_i64(std::nan("")), 0);
  EXPECT_EQ(saturating_i64(INFINITY), i64_max);
  EXPECT_EQ(saturating_i64(-INFINITY), i64_min);
  EXPECT_EQ(saturating_i64(9223372036854775808.0), i64_max);  // 2^63
  EXPECT_EQ(saturating_i64(-9223372036854775808.0), i64_min);  // -2^63 is representable
  EXPECT_EQ(saturating_i64(-1e300), i64_min);
  EXPECT_EQ(saturating_i64(1e300), i64_max);
  EXPECT_EQ(saturating_i64(-2.75), -2);  // truncation toward zero
  EXPECT_EQ(saturating_i64(9007199254740993.0), 9007199254740992);
}

TEST(Low32, KeepsTheLowBitsAsASignedValue) {
  EXPECT_EQ(low32(5), 5);
  EXPECT_EQ(low32(-5), -5);
  EXPECT_EQ(low32(std::int64_t{1} << 31), i32_min);
  EXPECT_EQ(low32((std::int64_t{1} << 32) + 7), 7);
  EXPECT_EQ(low32(i64_max), -1);
  EXPECT_EQ(low32(i64_min), 0);
}

TEST(RintToI32, TiesGoToEvenAndNegativeZeroIsZero) {
  EXPECT_EQ(rint_to_i32(0.5), 0);
  EXPECT_EQ(rint_to_i32(1.5), 2);
  EXPECT_EQ(rint_to_i32(2.5), 2);
  EXPECT_EQ(rint_to_i32(-0.5), 0);
  EXPECT_EQ(rint_to_i32(-1.5), -2);
  EXPECT_EQ(rint_to_i32(0.85), 1);
  EXPECT_EQ(rint_to_i32(-11.7 / 14), -1);
}

TEST(RintToI32, LargeAndNonFiniteValuesWrapFromTheSaturatedI64) {
  EXPECT_EQ(rint_to_i32(std::nan("")), 0);
  EXPECT_EQ(rint_to_i32(2147483648.0), i32_min);  // 2^31 wraps
  EXPECT_EQ(rint_to_i32(4294967298.0), 2);        // 2^32 + 2
  EXPECT_EQ(rint_to_i32(INFINITY), -1);           // low bits of i64 max
  EXPECT_EQ(rint_to_i32(-INFINITY), 0);           // low bits of i64 min
}

TEST(CeilToI64, RoundsUpAndSaturates) {
  EXPECT_EQ(ceil_to_i64(0.15), 1);
  EXPECT_EQ(ceil_to_i64(-2.1), -2);
  EXPECT_EQ(ceil_to_i64(-0.75), 0);
  EXPECT_EQ(ceil_to_i64(INFINITY), i64_max);
  EXPECT_EQ(ceil_to_i64(std::nan("")), 0);
}

TEST(Wrapping, AdditionNegationAndProductWrapInsteadOfOverflowing) {
  EXPECT_EQ(wrapping_add(i32_max, std::int32_t{1}), i32_min);
  EXPECT_EQ(wrapping_sub(i32_min, std::int32_t{1}), i32_max);
  EXPECT_EQ(wrapping_neg(i32_min), i32_min);
  EXPECT_EQ(wrapping_neg(std::int32_t{7}), -7);
  EXPECT_EQ(wrapping_add(i64_max, std::int64_t{1}), i64_min);
  EXPECT_EQ(wrapping_add(wrapping_add(i64_max, i64_max), std::int64_t{2}), 0);
  EXPECT_EQ(wrapping_mul(i64_max, std::int64_t{2}), -2);
}

TEST(Widen, IsExactNotDecimal) {
  EXPECT_EQ(widen(0.1f), 0.100000001490116119384765625);
  EXPECT_NE(widen(0.1f), 0.1);
  EXPECT_EQ(narrow_to_float(36.0 / 1.0), 36.0f);
  EXPECT_EQ(narrow_to_float(0.1), 0.1f);
}

}  // namespace
}  // namespace vornak
