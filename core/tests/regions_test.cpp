// Interval limits and the numbering of regions across intervals.
#include "vornak/regions.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <limits>
#include <random>
#include <utility>
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

namespace vornak {
namespace {

// Regions numbered by (interval, first gate in scan order), found by flood
// fill: an independent check that works for any number of intervals.
std::vector<std::int32_t> expected_regions(const std::vector<float>& vel, int nrays, int ngates,
                                           const IntervalLimits& limits) {
  const int n = nrays * ngates;
  std::vector<std::uint64_t> key(static_cast<std::size_t>(n));
  for (int i = 0; i < n; ++i) key[static_cast<std::size_t>(i)] = limits.interval_of(vel[static_cast<std::size_t>(i)]);
  std::vector<int> component(static_cast<std::size_t>(n), -1);
  std::vector<std::pair<std::uint64_t, int>> order;  // (interval, component)
  for (int start = 0; start < n; ++start) {
    if (key[static_cast<std::size_t>(start)] == IntervalLimits::none || component[static_cast<std::size_t>(start)] >= 0) continue;
    const int id = static_cast<int>(order.size());
    order.emplace_back(key[static_cast<std::size_t>(start)], id);
    std::vector<int> stack{start};
    component[static_cast<std::size_t>(start)] = id;
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      const int r = i / ngates;
      const int g = i % ngates;
      const int next[4][2] = {{r - 1, g}, {r + 1, g}, {r, g - 1}, {r, g + 1}};
      for (const auto& rc : next) {
        if (rc[0] < 0 || rc[0] >= nrays || rc[1] < 0 || rc[1] >= ngates) continue;
        const auto j = static_cast<std::size_t>(rc[0] * ngates + rc[1]);
        if (component[j] < 0 && key[j] == key[static_cast<std::size_t>(i)]) {
          component[j] = id;
          stack.push_back(static_cast<int>(j));
        }
      }
    }
  }
  std::stable_sort(order.begin(), order.end(),
                   [](const auto& x, const auto& y) { return x.first < y.first; });
  std::vector<std::int32_t> number(order.size());
  for (std::size_t rank = 0; rank < order.size(); ++rank) {
    number[static_cast<std::size_t>(order[rank].second)] = static_cast<std::int32_t>(rank + 1);
  }
  std::vector<std::int32_t> labels(static_cast<std::size_t>(n), 0);
  for (int i = 0; i < n; ++i) {
    if (component[static_cast<std::size_t>(i)] >= 0) {
      labels[static_cast<std::size_t>(i)] = number[static_cast<std::size_t>(component[static_cast<std::size_t>(i)])];
    }
  }
  return labels;
}

TEST(FindRegions, NumbersByIntervalForAnyNumberOfIntervals) {
  // Few intervals (ordered by counting) and 2^20 to 2^58 intervals, spread so
  // widely that the numbering orders them by radix.
  std::mt19937 rng(3);
  for (const std::int64_t splits : {std::int64_t{3}, std::int64_t{1} << 20, std::int64_t{1} << 40,
                                    std::int64_t{1} << 58}) {
    for (int trial = 0; trial < 20; ++trial) {
      const int nrays = 1 + static_cast<int>(rng() % 30);
      const int ngates = 1 + static_cast<int>(rng() % 30);
      std::vector<float> vel(static_cast<std::size_t>(nrays * ngates));
      std::uniform_real_distribution<float> uniform(-10.0f, 10.0f);
      const float levels[] = {-7.5f, -2.25f, 0.0f, 4.0f, 9.0f};
      for (auto& v : vel) v = trial % 2 == 0 ? uniform(rng) : levels[rng() % 5];
      const std::vector<std::uint8_t> mask(vel.size(), 0);
      const IntervalLimits limits = interval_limits(10, splits, vel, mask);
      const Regions regions = find_regions(vel, mask, static_cast<std::size_t>(nrays),
                                           static_cast<std::size_t>(ngates), limits);
      ASSERT_EQ(std::vector<std::int32_t>(regions.labels.begin(), regions.labels.end()),
                expected_regions(vel, nrays, ngates, limits))
          << "splits " << splits << " trial " << trial;
    }
  }
}

TEST(FindRegions, VelocitiesBesideEveryLimitLandInTheirExactInterval) {
  // Few intervals are found by float comparisons against the limits rounded
  // up to floats; the floats at, just below and just above every limit, and
  // the non-finite ones, must fall where the double limits put them.
  struct Case {
    double nyquist;
    std::int64_t splits;
    std::vector<float> extremes;  // widen the limits when outside the Nyquist interval
  };
  const Case cases[] = {{10.0, 3, {}},          {0.1, 3, {}},         {7.3, 1, {}},
                        {13.37, 8, {}},         {1e-3, 5, {}},        {10.0, 3, {-31.0f, 14.0f}},
                        {3.0, 2, {9.5f}},       {1e30, 3, {}},        {0.3, 9, {}}};
  for (const Case& c : cases) {
    const IntervalLimits limits =
        interval_limits(c.nyquist, c.splits, c.extremes, std::vector<std::uint8_t>(c.extremes.size(), 0));
    std::vector<float> probes = {std::numeric_limits<float>::quiet_NaN(),
                                 std::numeric_limits<float>::infinity(),
                                 -std::numeric_limits<float>::infinity(), 0.0f, -0.0f};
    for (std::uint64_t k = 0; k < limits.size(); ++k) {
      const auto nearest = static_cast<float>(limits[k]);
      for (const float v : {nearest, std::nextafter(nearest, -INFINITY), std::nextafter(nearest, INFINITY)}) {
        probes.push_back(v);
      }
    }
    // Every other gate masked: each probe is a region of its own, and a row
    // long enough to take the four-gate path and a remainder.
    std::vector<float> vel;
    std::vector<std::uint8_t> mask;
    for (const float v : probes) {
      vel.insert(vel.end(), {v, 0.0f});
      mask.insert(mask.end(), {0, 1});
    }
    vel.push_back(c.extremes.empty() ? 0.0f : c.extremes.front());
    mask.push_back(0);
    const Regions regions = find_regions(vel, mask, 1, vel.size(), limits);
    for (std::size_t i = 0; i < vel.size(); ++i) {
      const std::uint64_t interval = mask[i] != 0 ? IntervalLimits::none : limits.interval_of(vel[i]);
      ASSERT_EQ(regions.labels[i] == 0, interval == IntervalLimits::none)
          << "nyquist " << c.nyquist << " splits " << c.splits << " velocity " << vel[i];
      for (std::size_t j = 0; j < i; ++j) {
        if (regions.labels[i] == 0 || regions.labels[j] == 0) continue;
        // Numbered by interval, then in scan order.
        ASSERT_EQ(regions.labels[j] < regions.labels[i], limits.interval_of(vel[j]) <= interval)
            << "velocities " << vel[j] << " and " << vel[i];
      }
    }
  }
}

}  // namespace
}  // namespace vornak
