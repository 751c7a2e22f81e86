// Interval limits and the numbering of regions across intervals.
#include "vornak/regions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vornak/failure.hpp"

namespace vornak {
namespace {

std::vector<double> limits_for(double nyquist, std::int64_t splits, const std::vector<float>& vel,
                               std::vector<std::uint8_t> mask = {}) {
  if (mask.empty()) mask.assign(vel.size(), 0);
  const IntervalLimits limits = interval_limits(nyquist, splits, vel, mask);
  std::vector<double> values;
  for (std::uint64_t k = 0; k < limits.size(); ++k) values.push_back(limits[k]);
  return values;
}

void expect_near_all(const std::vector<double>& actual, const std::vector<double>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_NEAR(actual[i], expected[i], 1e-4) << i;
}

TEST(IntervalLimits, NoExtensionWithinTheNyquistInterval) {
  const auto limits = limits_for(10, 3, {-10, 3, 9.5f});
  expect_near_all(limits, {-10, -3.3333, 3.3333, 10});
  EXPECT_EQ(limits.front(), -10.0);
  EXPECT_EQ(limits.back(), 10.0);
}

TEST(IntervalLimits, ExtendsByWholeWidthsAndMovesTheOtherEndInward) {
  expect_near_all(limits_for(10, 3, {-5, 12}), {-10, -3.3333, 3.3333, 10, 16.6667});
  expect_near_all(limits_for(10, 3, {-12, 5}), {-16.6667, -10, -3.3333, 3.3333, 10});
  // Only one side exceeds; the empty low intervals are dropped.
  expect_near_all(limits_for(10, 3, {5, 12}), {3.3333, 10, 16.6667});
  expect_near_all(limits_for(10, 3, {-20, -12}), {-23.3333, -16.6667, -10});
}

TEST(IntervalLimits, TopEndMayLandExactlyOnTheLargestVelocity) {
  EXPECT_EQ(limits_for(8, 4, {-9, -3, 0}), (std::vector<double>{-12, -8, -4, 0}));
}

TEST(IntervalLimits, ExactlyNyquistIsNotOutside) {
  expect_near_all(limits_for(10, 3, {-10, 10}), {-10, -3.3333, 3.3333, 10});
}

TEST(IntervalLimits, ExcludedAndNanVelocitiesPlayNoPart) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  expect_near_all(limits_for(10, 3, {50, nan, 2}, {1, 0, 0}), {-10, -3.3333, 3.3333, 10});
  expect_near_all(limits_for(10, 3, {nan, nan}), {-10, -3.3333, 3.3333, 10});
  expect_near_all(limits_for(10, 3, {}), {-10, -3.3333, 3.3333, 10});
}

TEST(IntervalLimits, DegenerateTuningGivesFewOrNoLimits) {
  EXPECT_EQ(limits_for(10, 0, {1, 2}).size(), 1u);
  EXPECT_TRUE(limits_for(10, -2, {1, 2}).empty());
  const auto nan_limits = limits_for(std::nan(""), 3, {1, 2});
  ASSERT_EQ(nan_limits.size(), 4u);
  for (const double l : nan_limits) EXPECT_TRUE(std::isnan(l));
}

TEST(IntervalLimits, TwoToTheSixtyOneLimitsIsTheCapacityFailure) {
  testing::internal::CaptureStderr();
  for (const std::int64_t splits : {(std::int64_t{1} << 61) - 1, std::int64_t{1} << 62,
                                    std::numeric_limits<std::int64_t>::max() - 1,
                                    std::numeric_limits<std::int64_t>::max()}) {
    try {
      (void)limits_for(10, splits, {1, 2});
      ADD_FAILURE() << splits;
    } catch (const Failure& f) {
      EXPECT_STREQ(f.what(), "capacity overflow");
    }
  }
  // Counts beyond 64 bits are not wrapped into "no interval": one infinite or
  // absurd velocity makes the sweep fail rather than come back unfolded.
  for (const float outlier : {std::numeric_limits<float>::infinity(),
                              -std::numeric_limits<float>::infinity(), 3e38f, -1e20f}) {
    EXPECT_THROW((void)limits_for(10, 3, {-5, outlier, 2}), Failure) << outlier;
  }
  // Below 2^61 limits a far outlier only stretches the limits.
  const std::vector<float> far{-5, 1e15f};
  const std::vector<std::uint8_t> none(2, 0);
  EXPECT_EQ(interval_limits(10, 3, far, none).size(),
            static_cast<std::uint64_t>(3 + 1 + std::ceil((static_cast<double>(1e15f) - 10) / (20.0 / 3))));
  (void)testing::internal::GetCapturedStderr();
}

TEST(IntervalLimits, MaskShorterThanVelocitiesIsAnIndexFailure) {
  testing::internal::CaptureStderr();
  const std::vector<float> vel{1, 2, 3};
  const std::vector<std::uint8_t> mask{0, 0};
  try {
    (void)interval_limits(10, 3, vel, mask);
    ADD_FAILURE();
  } catch (const Failure& f) {
    EXPECT_EQ(f.kind(), Failure::Kind::index);
  }
  (void)testing::internal::GetCapturedStderr();
}

TEST(IntervalOf, HalfOpenIntervalsFoundByPosition) {
  const IntervalLimits limits{-10, 10, 20.0 / 3.0, 4};
  EXPECT_EQ(limits.interval_of(-10.0), 0u);
  EXPECT_EQ(limits.interval_of(limits[1]), 1u);
  EXPECT_EQ(limits.interval_of(std::nextafter(limits[1], -20.0)), 0u);
  EXPECT_EQ(limits.interval_of(9.999), 2u);
  EXPECT_EQ(limits.interval_of(10.0), IntervalLimits::none);
  EXPECT_EQ(limits.interval_of(-10.5), IntervalLimits::none);
  EXPECT_EQ(limits.interval_of(std::numeric_limits<double>::infinity()), IntervalLimits::none);
}

TEST(IntervalOf, AgreesWithEveryLimitOnHugeCounts) {
  // 2^40 intervals over the Nyquist interval: far too many to list, and the
  // position estimate is off by rounding for many velocities.
  const float v[] = {-10.0f, -9.999999f, -1.0f, 0.0f, 1e-30f, 3.14159f, 9.9999990f, 10.0f};
  const std::vector<std::uint8_t> mask(std::size(v), 0);
  const IntervalLimits limits = interval_limits(10.0, std::int64_t{1} << 40, v, mask);
  ASSERT_EQ(limits.size(), (std::uint64_t{1} << 40) + 1);
  for (const float x : v) {
    const double vel = x;
    const std::uint64_t k = limits.interval_of(vel);
    if (x == 10.0f) {
      EXPECT_EQ(k, IntervalLimits::none);
      continue;
    }
    ASSERT_NE(k, IntervalLimits::none) << x;
    EXPECT_LE(limits[k], vel) << x;
    EXPECT_LT(vel, limits[k + 1]) << x;
  }
}

TEST(IntervalOf, DescendingOrNanLimitsHoldNothingButPerhapsTheLastInterval) {
  const IntervalLimits descending{10, -10, -20.0 / 3.0, 4};
  EXPECT_EQ(descending.interval_of(0.0), IntervalLimits::none);
  EXPECT_EQ(descending.interval_of(-10.0), IntervalLimits::none);
  const IntervalLimits nan{std::nan(""), std::nan(""), std::nan(""), 4};
  EXPECT_EQ(nan.interval_of(0.0), IntervalLimits::none);
  const IntervalLimits single{-10, 10, 0, 1};
  EXPECT_EQ(single.interval_of(0.0), IntervalLimits::none);
}

TEST(FindRegions, NumbersIntervalByIntervalThenInScanOrder) {
  // Interval 0 = [0, 1) holds (0,0) and (1,2); interval 1 = [1, 2) the rest.
  const std::vector<float> vel{0.5f, 1.5f, 1.5f, 1.5f, 1.5f, 0.5f};
  const std::vector<std::uint8_t> mask(6, 0);
  const IntervalLimits limits{0, 2, 1, 3};  // 0, 1, 2
  const Regions regions = find_regions(vel, mask, 2, 3, limits);
  EXPECT_EQ(std::vector<std::int32_t>(regions.labels.begin(), regions.labels.end()),
            (std::vector<std::int32_t>{1, 3, 3, 3, 3, 2}));
  EXPECT_EQ(regions.region_count, 3);
}

TEST(FindRegions, BoundsAreHalfOpenAndMaskedOrNanGatesJoinNothing) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  // -10 is in the first interval, 10 (the top limit) in none.
  const std::vector<float> vel{-10, 10, nan, 0, 0};
  const std::vector<std::uint8_t> mask{0, 0, 0, 1, 0};
  const IntervalLimits limits{-10, 10, 10, 3};  // -10, 0, 10
  const Regions regions = find_regions(vel, mask, 1, 5, limits);
  EXPECT_EQ(std::vector<std::int32_t>(regions.labels.begin(), regions.labels.end()),
            (std::vector<std::int32_t>{1, 0, 0, 0, 2}));
  EXPECT_EQ(regions.region_count, 2);
}

TEST(FindRegions, SameGateOnFirstAndLastRayStaysApart) {
  const std::vector<float> vel{1, 3, 1};
  const std::vector<std::uint8_t> mask(3, 0);
  const IntervalLimits limits{0, 4, 2, 3};  // 0, 2, 4
  const Regions regions = find_regions(vel, mask, 3, 1, limits);
  EXPECT_EQ(std::vector<std::int32_t>(regions.labels.begin(), regions.labels.end()),
            (std::vector<std::int32_t>{1, 3, 2}));
}

}  // namespace
}  // namespace vornak
