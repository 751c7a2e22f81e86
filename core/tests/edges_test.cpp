// Contacts between regions: walks, wrap-around, ordering, sums.
#include "vornak/edges.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <tuple>
#include <vector>

namespace vornak {
namespace {

struct Entry {
  std::int32_t a, b, count;
  double sum_a, sum_b;
  bool operator==(const Entry&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Entry& e) {
  return os << "(" << e.a << "," << e.b << " n=" << e.count << " " << e.sum_a << "/" << e.sum_b
            << ")";
}

std::vector<Entry> entries(const Edges& edges) {
  std::vector<Entry> out;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    out.push_back({edges.region_a[i], edges.region_b[i], edges.count[i], edges.sum_a[i],
                   edges.sum_b[i]});
  }
  return out;
}

std::vector<Entry> edges_of(const std::vector<std::int32_t>& labels, std::size_t nrays,
                            std::size_t ngates, bool wrap = false, std::int64_t skip_rays = 100,
                            std::int64_t skip_gates = 100, std::vector<float> vel = {}) {
  if (vel.empty()) vel.assign(labels.size(), 1.0f);
  return entries(find_edges(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates));
}

TEST(FindEdges, TwoAdjacentGatesGiveOneEntryPerOrientation) {
  const auto e = edges_of({1, 2}, 1, 2, false, 100, 100, {3.0f, -7.0f});
  EXPECT_EQ(e, (std::vector<Entry>{{2, 1, 1, -7.0, 3.0}, {1, 2, 1, 3.0, -7.0}}));
}

TEST(FindEdges, NoContactWithoutTwoTouchingRegions) {
  EXPECT_TRUE(edges_of({0, 0, 0}, 1, 3).empty());
  EXPECT_TRUE(edges_of({1, 1, 0, 1}, 2, 2).empty());
  EXPECT_TRUE(edges_of({}, 0, 4).empty());
}

TEST(FindEdges, AWalkStopsAtTheFirstLabelledGateEvenOfItsOwnRegion) {
  const auto e = edges_of({1, 0, 1, 0, 2}, 1, 5, false, 100, 5);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].a, 2);
  EXPECT_EQ(e[0].b, 1);
  EXPECT_EQ(e[0].count, 1);
  EXPECT_EQ(e[1].a, 1);
  EXPECT_EQ(e[1].b, 2);
  EXPECT_EQ(e[1].count, 1);
}

TEST(FindEdges, GapsAreBridgedUpToTheSkipInEachAxis) {
  for (std::int64_t skip = -1; skip <= 4; ++skip) {
    for (int gap = 0; gap <= 4; ++gap) {
      std::vector<std::int32_t> ray(static_cast<std::size_t>(gap + 2), 0);
      ray.front() = 1;
      ray.back() = 2;
      const bool touch = gap <= std::max<std::int64_t>(skip, 0);
      EXPECT_EQ(!edges_of(ray, 1, ray.size(), false, 0, skip).empty(), touch)
          << "along, gap " << gap << " skip " << skip;
      EXPECT_EQ(!edges_of(ray, ray.size(), 1, false, skip, 0).empty(), touch)
          << "across, gap " << gap << " skip " << skip;
    }
  }
}

TEST(FindEdges, GatesNeverWrapToTheNextRay) {
  // Last gate of ray 0 and gate 0 of ray 1 are far apart on the sweep.
  EXPECT_TRUE(edges_of({0, 1, 2, 0}, 2, 2, false, 0, 0).empty());
}

TEST(FindEdges, FirstAndLastRayTouchOnlyWithWrapAround) {
  // Four rays of one gate: regions 1 and 2 on rays 0 and 3, gaps between.
  const std::vector<std::int32_t> labels{1, 0, 0, 2};
  EXPECT_TRUE(edges_of(labels, 4, 1, false, 1, 0).empty());
  EXPECT_EQ(edges_of(labels, 4, 1, false, 2, 0).size(), 2u);
  const auto wrapped = edges_of(labels, 4, 1, true, 0, 0);
  ASSERT_EQ(wrapped.size(), 2u);
  EXPECT_EQ(wrapped[0].count, 1);
}

TEST(FindEdges, WrapAroundWithLongSkipsCountsBothWaysRound) {
  // Ray 1 reaches ray 3 going back (1 -> 0 -> 3) and forward (1 -> 2 -> 3).
  const std::vector<std::int32_t> labels{0, 1, 0, 2};
  const auto e = edges_of(labels, 4, 1, true, 2, 0);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].count, 2);
  EXPECT_EQ(e[1].count, 2);
}

TEST(FindEdges, TwoRaysWithWrapAroundFaceEachOtherTwice) {
  const auto e = edges_of({1, 1, 2, 2}, 2, 2, true, 100, 100);
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[0].count, 4);  // two facing pairs, two samples each
  EXPECT_EQ(e[1].count, 4);
}

TEST(FindEdges, OneRayWithWrapAroundIsItsOwnNeighbour) {
  EXPECT_EQ(edges_of({1, 2}, 1, 2, true, 100, 100).size(), 2u);
  const auto e = edges_of({1, 2}, 1, 2, true, 100, 100);
  EXPECT_EQ(e[0].count, 1);
}

TEST(FindEdges, EntriesAreSortedBySecondRegionThenFirst) {
  // Regions 1, 2, 3 all touching each other.
  const auto e = edges_of({1, 2, 3, 3}, 2, 2);
  std::vector<std::pair<std::int32_t, std::int32_t>> pairs;
  for (const auto& x : e) pairs.emplace_back(x.a, x.b);
  EXPECT_EQ(pairs, (std::vector<std::pair<std::int32_t, std::int32_t>>{
                       {2, 1}, {3, 1}, {1, 2}, {3, 2}, {1, 3}, {2, 3}}));
}

TEST(FindEdges, SumsAddExactlyWidenedVelocitiesInScanOrder) {
  const auto e = edges_of({1, 2}, 1, 2, false, 100, 100, {0.1f, 0.2f});
  ASSERT_EQ(e.size(), 2u);
  EXPECT_EQ(e[1].sum_a, 0.100000001490116119384765625);
  EXPECT_EQ(e[0].sum_b, 0.100000001490116119384765625);
  // Three contacts of (1, 2) summed in scan order from zero.
  const std::vector<float> vel{0.1f, 0.7f, 1e8f, 0.3f, 0.2f, -1e8f};
  const auto f = edges_of({1, 2, 1, 2, 1, 2}, 3, 2, false, 0, 0, vel);
  ASSERT_EQ(f.size(), 2u);
  EXPECT_EQ(f[1].count, 3);
  double expected = 0.0;
  expected += static_cast<double>(0.1f);
  expected += static_cast<double>(1e8f);
  expected += static_cast<double>(0.2f);
  EXPECT_EQ(f[1].sum_a, expected);
}

TEST(FindEdges, RandomLabelGridsAreSymmetric) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 400; ++trial) {
    const std::size_t nrays = 1 + rng() % 9;
    const std::size_t ngates = 1 + rng() % 9;
    const int regions = 1 + static_cast<int>(rng() % 6);
    std::vector<std::int32_t> labels(nrays * ngates);
    for (auto& l : labels) l = (rng() % 3 == 0) ? 0 : 1 + static_cast<int>(rng() % regions);
    const bool wrap = rng() % 2 == 0;
    const std::int64_t skip_rays = static_cast<std::int64_t>(rng() % 5) - 1;
    const std::int64_t skip_gates = static_cast<std::int64_t>(rng() % 5) - 1;
    const auto e = edges_of(labels, nrays, ngates, wrap, skip_rays, skip_gates);
    ASSERT_EQ(e.size() % 2, 0u);
    std::map<std::pair<std::int32_t, std::int32_t>, std::int32_t> counts;
    for (const auto& x : e) {
      EXPECT_NE(x.a, x.b);
      EXPECT_GE(x.count, 1);
      EXPECT_TRUE(counts.emplace(std::make_pair(x.a, x.b), x.count).second) << "duplicate pair";
    }
    for (const auto& [pair, count] : counts) {
      const auto mirror = counts.find({pair.second, pair.first});
      ASSERT_NE(mirror, counts.end()) << trial;
      EXPECT_EQ(mirror->second, count) << trial;
    }
    for (std::size_t i = 1; i < e.size(); ++i) {
      EXPECT_TRUE(std::tie(e[i - 1].b, e[i - 1].a) < std::tie(e[i].b, e[i].a)) << trial;
    }
  }
}

}  // namespace
}  // namespace vornak
