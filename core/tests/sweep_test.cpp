// The whole sweep: early exits, centring, and complete worked sweeps.
#include "vornak/sweep.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "vornak/failure.hpp"

namespace vornak {
namespace {

std::vector<std::int32_t> run(const std::vector<float>& vel, std::size_t nrays, std::size_t ngates,
                              const std::vector<std::uint8_t>& mask, double nyquist,
                              bool wrap = false, SweepParams params = {}) {
  const FoldCounts folds = sweep_folds(vel, nrays, ngates, mask, nyquist, wrap, params);
  return {folds.begin(), folds.end()};
}

SweepParams uncentered() {
  SweepParams p;
  p.centered = false;
  return p;
}

TEST(SweepFolds, OneRayFoldedPairIsShiftedDownByOneFold) {
  const std::vector<float> vel{8, 9, -9, -8};
  const std::vector<std::uint8_t> mask(4, 0);
  EXPECT_EQ(run(vel, 1, 4, mask, 10.0), (std::vector<std::int32_t>{-1, -1, 0, 0}));
  EXPECT_EQ(run(vel, 1, 4, mask, 10.0, false, uncentered()),
            (std::vector<std::int32_t>{-1, -1, 0, 0}));
}

TEST(SweepFolds, CentringShiftsRegionsAndTheExcludedGate) {
  const std::vector<float> vel{9, -9, 9, 0};
  const std::vector<std::uint8_t> mask{0, 0, 0, 1};
  EXPECT_EQ(run(vel, 1, 4, mask, 10.0), (std::vector<std::int32_t>{0, 1, 0, 1}));
  EXPECT_EQ(run(vel, 1, 4, mask, 10.0, false, uncentered()),
            (std::vector<std::int32_t>{-1, 0, -1, 0}));
}

std::vector<std::int32_t> centered(std::vector<std::int32_t> folds,
                                   const std::vector<std::int32_t>& sizes) {
  center_folds(folds, sizes);
  return folds;
}

TEST(CenterFolds, TakesTheRoundedWeightedMeanOffEveryEntry) {
  // W / N = 3 / 4 = 0.75 -> shift 1, the no-region slot included.
  EXPECT_EQ(centered({0, 0, 1}, {1, 3}), (std::vector<std::int32_t>{-1, -1, 0}));
  EXPECT_EQ(centered({0, 0, -1}, {2, 2}), (std::vector<std::int32_t>{0, 0, -1}));  // -0.5
}

TEST(CenterFolds, MeanTiesGoToEven) {
  // Two equal regions with folds 0 and k: the weighted mean is k / 2.
  EXPECT_EQ(centered({0, 0, 1}, {5, 5}), (std::vector<std::int32_t>{0, 0, 1}));     // 0.5 -> 0
  EXPECT_EQ(centered({0, 0, 3}, {5, 5}), (std::vector<std::int32_t>{-2, -2, 1}));   // 1.5 -> 2
  EXPECT_EQ(centered({0, 0, 5}, {5, 5}), (std::vector<std::int32_t>{-2, -2, 3}));   // 2.5 -> 2
  EXPECT_EQ(centered({0, 0, -3}, {5, 5}), (std::vector<std::int32_t>{2, 2, -1}));   // -1.5 -> -2
}

TEST(CenterFolds, NoRegionsMeansNoShift) {
  EXPECT_EQ(centered({0}, {}), (std::vector<std::int32_t>{0}));
}

TEST(SweepFolds, EmptyGridGivesEmptyResult) {
  EXPECT_TRUE(run({}, 0, 5, {}, 10.0).empty());
  EXPECT_TRUE(run({}, 7, 0, {}, 10.0).empty());
}

TEST(SweepFolds, EarlyExitsGiveAllZerosOfFullLength) {
  const std::vector<float> vel{8, 9, -9, -8, 3, -3};
  const std::vector<std::uint8_t> none(6, 0);
  const std::vector<std::int32_t> zeros(6, 0);
  SweepParams no_interval;
  no_interval.interval_splits = 0;
  EXPECT_EQ(run(vel, 2, 3, none, 10.0, false, no_interval), zeros);
  EXPECT_EQ(run(vel, 2, 3, std::vector<std::uint8_t>(6, 1), 10.0), zeros);
  // One connected region whatever the centring.
  const std::vector<float> calm{1, 1.5, 2, 2.5, 1, 1};
  EXPECT_EQ(run(calm, 2, 3, none, 10.0), zeros);
  EXPECT_EQ(run(calm, 2, 3, none, 10.0, false, uncentered()), zeros);
  // Two regions too far apart for the walks: no edge.
  SweepParams short_reach;
  short_reach.skip_along_ray = 1;
  const std::vector<float> apart{9, NAN, NAN, -9};
  EXPECT_EQ(run(apart, 1, 4, std::vector<std::uint8_t>(4, 0), 10.0, false, short_reach),
            (std::vector<std::int32_t>(4, 0)));
  // NaN Nyquist velocity: every limit is NaN, no region.
  EXPECT_EQ(run(vel, 2, 3, none, std::nan(""), false), zeros);
}

TEST(SweepFolds, UncenteredGatesInNoRegionCarryZero) {
  // Gate 3 is excluded, gate 4 is NaN, gate 5 sits exactly on the top limit.
  const std::vector<float> vel{9, -9, 9, 5, NAN, 10};
  const std::vector<std::uint8_t> mask{0, 0, 0, 1, 0, 0};
  const auto folds = run(vel, 1, 6, mask, 10.0, false, uncentered());
  EXPECT_EQ(folds, (std::vector<std::int32_t>{-1, 0, -1, 0, 0, 0}));
}

TEST(SweepFolds, HugeIntervalSplitsIsTheCapacityFailure) {
  const std::vector<float> vel{8, 9, -9, -8};
  const std::vector<std::uint8_t> mask(4, 0);
  SweepParams params;
  params.interval_splits = std::int64_t{1} << 62;
  testing::internal::CaptureStderr();
  try {
    (void)sweep_folds(vel, 1, 4, mask, 10.0, false, params);
    ADD_FAILURE() << "expected the capacity failure";
  } catch (const Failure& failure) {
    EXPECT_EQ(failure.kind(), Failure::Kind::capacity);
    EXPECT_STREQ(failure.what(), "capacity overflow");
  }
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("capacity overflow"), std::string::npos) << report;
  EXPECT_NE(report.find("regions.cpp:"), std::string::npos) << report;
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 1) << report;
}

TEST(SweepFolds, ShortBuffersAreAnIndexFailureNotARead) {
  const std::vector<float> vel{8, 9, -9};
  const std::vector<std::uint8_t> mask(4, 0);
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)sweep_folds(vel, 1, 4, mask, 10.0, false, {}), Failure);
  EXPECT_THROW((void)sweep_folds(std::vector<float>(4, 1.0f), 1, 4,
                                 std::vector<std::uint8_t>(3, 0), 10.0, false, {}),
               Failure);
  (void)testing::internal::GetCapturedStderr();
}

TEST(SweepFolds, GridsBeyondSignedIndexRangeAreTheCapacityFailure) {
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)sweep_folds({}, std::size_t{1} << 16, std::size_t{1} << 15, {}, 10.0, false,
                                 {}),
               Failure);
  EXPECT_THROW((void)sweep_folds({}, std::numeric_limits<std::size_t>::max(), 3, {}, 10.0, false,
                                 {}),
               Failure);
  (void)testing::internal::GetCapturedStderr();
}

}  // namespace
}  // namespace vornak
