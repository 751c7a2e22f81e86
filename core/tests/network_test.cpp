// The fold network: slot construction, selection, keeper choice, fusion.
#include "vornak/network.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "boundary_graph.hpp"
#include "vornak/failure.hpp"
#include "vornak/numeric.hpp"

namespace vornak {
namespace {

std::vector<std::int32_t> solve(const Edges& edges, std::vector<std::int32_t> sizes,
                                double nyquist = 10.0) {
  Tracker tracker(edges, static_cast<std::int32_t>(sizes.size()), sizes, nyquist + nyquist);
  const Buffer<std::int32_t> folds = std::move(tracker).solve();
  return {folds.begin(), folds.end()};
}

std::vector<std::int32_t> slot_ends(const Tracker& tracker, bool first) {
  std::vector<std::int32_t> ends;
  for (std::size_t k = 0; k < tracker.slot_count(); ++k) {
    ends.push_back(first ? tracker.edge_a(k) : tracker.edge_b(k));
  }
  return ends;
}

TEST(Tracker, SlotsTakeTheEntriesWhoseFirstRegionIsTheLarger) {
  const Edges edges = make_edges({{1, 2, 10, -80, 90}, {1, 3, 6, -48, 42}, {2, 3, 8, 72, 56}});
  const Tracker tracker(edges, 3, std::vector<std::int32_t>{50, 30, 20}, 20.0);
  ASSERT_EQ(tracker.slot_count(), 3u);
  EXPECT_EQ(slot_ends(tracker, true), (std::vector<std::int32_t>{2, 3, 3}));
  EXPECT_EQ(slot_ends(tracker, false), (std::vector<std::int32_t>{1, 1, 2}));
  EXPECT_EQ(tracker.edge_diff(0), 8.5f);
  EXPECT_EQ(tracker.edge_diff(1), 4.5f);
  EXPECT_EQ(tracker.edge_diff(2), -0.8f);
  EXPECT_EQ(tracker.edge_count(2), 8);
}

TEST(Tracker, BoundariesAloneBuildTheSameSlots) {
  const Edges edges = make_edges({{1, 2, 10, -80, 90}, {1, 3, 6, -48, 42}, {2, 3, 8, 72, 56}});
  Edges half;
  for (std::size_t i = 0; i < edges.size(); ++i) {
    if (edges.region_a[i] < edges.region_b[i]) continue;
    half.region_a.push_back(edges.region_a[i]);
    half.region_b.push_back(edges.region_b[i]);
    half.count.push_back(edges.count[i]);
    half.sum_a.push_back(edges.sum_a[i]);
    half.sum_b.push_back(edges.sum_b[i]);
  }
  const std::vector<std::int32_t> sizes{50, 30, 20};
  const Tracker full(edges, 3, sizes, 20.0);
  const Tracker from_half = Tracker::from_boundaries(std::move(half), 3, sizes, 20.0);
  EXPECT_EQ(slot_ends(full, true), slot_ends(from_half, true));
  EXPECT_EQ(slot_ends(full, false), slot_ends(from_half, false));
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(full.edge_diff(k), from_half.edge_diff(k));
}

TEST(Tracker, SmallerGroupIsShiftedTowardTheLarger) {
  // Region 1 at -9, region 2 at +9, 40 gate pairs between them.
  const Edges edges = make_edges({{1, 2, 40, -360, 360}});
  EXPECT_EQ(solve(edges, {10, 100}), (std::vector<std::int32_t>{0, 1, 0}));
  EXPECT_EQ(solve(edges, {100, 10}), (std::vector<std::int32_t>{0, 0, -1}));
}

TEST(Tracker, EqualSizesKeepTheSecondEndSoTheHigherLabelMoves) {
  const Edges edges = make_edges({{1, 2, 40, -360, 360}});
  EXPECT_EQ(solve(edges, {10, 10}), (std::vector<std::int32_t>{0, 0, -1}));
}

TEST(Tracker, ThreeRegionsFuseParallelBoundaries) {
  const Edges edges = make_edges({{1, 2, 10, -80, 90}, {1, 3, 6, -48, 42}, {2, 3, 8, 72, 56}});
  Tracker tracker(edges, 3, std::vector<std::int32_t>{50, 30, 20}, 20.0);

  // First step by hand: slot 0 (2, 1), shift rint(0.85) = 1, region 2 absorbed.
  tracker.join(0, 1, 2, -1);
  EXPECT_EQ(tracker.fold(2), -1);
  EXPECT_EQ(tracker.fold(1), 0);
  EXPECT_EQ(tracker.edge_count(0), consumed_slot);
  EXPECT_EQ(tracker.edge_count(1), 14);
  EXPECT_EQ(tracker.edge_count(2), consumed_slot);
  EXPECT_EQ(tracker.edge_a(1), 1);
  EXPECT_EQ(tracker.edge_b(1), 3);
  // Slot 2 moved by +8 (eight pairs, one fold), was turned to face away from
  // the keeper, and was fused into slot 1 in float32.
  const float moved = narrow_to_float(static_cast<double>(-0.8f) + 8.0);
  EXPECT_EQ(tracker.edge_diff(1), -moved + -4.5f);
  EXPECT_NEAR(tracker.edge_diff(1), -11.7, 1e-5);
  EXPECT_EQ(tracker.group_size(1), 80);
  EXPECT_EQ(tracker.group_size(2), 0);

  const Buffer<std::int32_t> folds = std::move(tracker).solve();
  EXPECT_EQ(std::vector<std::int32_t>(folds.begin(), folds.end()),
            (std::vector<std::int32_t>{0, 0, -1, -1}));
  EXPECT_EQ(solve(edges, {50, 30, 20}), (std::vector<std::int32_t>{0, 0, -1, -1}));
}

TEST(Tracker, EqualCountsTakeTheLowestSlot) {
  // All three boundaries equally strong: (2, 1) goes first, so 2 joins 1
  // (equal sizes: the edge_b side, region 1, keeps its folds).
  const Edges edges = make_edges({{1, 2, 5, 0, 100}, {1, 3, 5, 0, 0}, {2, 3, 5, 0, 0}});
  const Tracker tracker(edges, 3, std::vector<std::int32_t>{4, 4, 4}, 20.0);
  EXPECT_EQ(tracker.edge_diff(0), 5.0f);  // (2, 1): 100 - 0 over 20
  EXPECT_EQ(solve(edges, {4, 4, 4}), (std::vector<std::int32_t>{0, 0, -1, 0}));
}

TEST(Tracker, ShiftTiesRoundToEvenAndZeroShiftStillMerges) {
  // diff per pair: 0.5 -> 0, 1.5 -> 2, 2.5 -> 2, -0.5 -> 0, -1.5 -> -2.
  const std::vector<std::pair<double, std::int32_t>> cases{
      {0.5, 0}, {1.5, 2}, {2.5, 2}, {-0.5, 0}, {-1.5, -2}};
  for (const auto& [ratio, shift] : cases) {
    // Region 2 larger: region 1 (edge_b side of slot (2, 1)) takes +shift.
    const Edges edges = make_edges({{2, 1, 4, 4 * ratio * 20, 0}});
    EXPECT_EQ(solve(edges, {1, 9}), (std::vector<std::int32_t>{0, shift, 0})) << ratio;
  }
  // A zero shift merges: region 3 then joins the combined 1+2 group across
  // the fused boundary (mean -1.5 -> -2), not across region 1's alone (-1).
  const Edges edges = make_edges({{1, 2, 9, 0, 0}, {1, 3, 2, 0, 40}, {2, 3, 2, 0, 80}});
  EXPECT_EQ(solve(edges, {5, 5, 1}), (std::vector<std::int32_t>{0, 0, 0, -2}));
}

TEST(Tracker, RegionsWithoutBoundariesKeepFoldZero) {
  const Edges edges = make_edges({{2, 3, 3, -54, 54}});
  EXPECT_EQ(solve(edges, {7, 1, 2}), (std::vector<std::int32_t>{0, 0, 2, 0}));
}

TEST(Tracker, InconsistentInputsAreIndexFailures) {
  testing::internal::CaptureStderr();
  const Edges edges = make_edges({{1, 2, 1, 0, 0}});
  EXPECT_THROW(Tracker(edges, 2, std::vector<std::int32_t>{1}, 20.0), Failure);
  EXPECT_THROW(Tracker(edges, 1, std::vector<std::int32_t>{1}, 20.0), Failure);
  EXPECT_THROW((void)Tracker::from_boundaries(Edges(edges), 2, std::vector<std::int32_t>{1, 1}, 20.0),
               Failure);  // (1, 2) does not start at the larger region
  Edges lopsided = make_edges({{1, 2, 1, 0, 0}});
  lopsided.region_a[0] = 2;
  lopsided.region_b[0] = 1;
  lopsided.region_a[1] = 2;
  lopsided.region_b[1] = 1;  // two qualifying entries for one slot
  EXPECT_THROW(Tracker(lopsided, 2, std::vector<std::int32_t>{1, 1}, 20.0), Failure);
  (void)testing::internal::GetCapturedStderr();
}


// A lattice of width x height regions, each bordering the next along its row
// and the one below, in from_boundaries' order (from the larger label), with
// counts, differences and sizes from `seed`.
struct Lattice {
  Edges boundaries;
  std::vector<std::int32_t> sizes;
};

Lattice lattice(std::int32_t width, std::int32_t height, std::uint32_t seed) {
  std::uint32_t state = seed;
  auto next = [&state](std::uint32_t range) {
    state = state * 1664525u + 1013904223u;
    return static_cast<std::int32_t>((state >> 8) % range);
  };
  Lattice out;
  for (std::int32_t r = 1; r <= width * height; ++r) {
    out.sizes.push_back(1 + next(50));
    for (const std::int32_t larger : {r % width != 0 ? r + 1 : 0, r + width}) {
      if (larger == 0 || larger > width * height) continue;
      const std::int32_t count = 1 + next(7);
      out.boundaries.region_a.push_back(larger);
      out.boundaries.region_b.push_back(r);
      out.boundaries.count.push_back(count);
      out.boundaries.sum_a.push_back(count * static_cast<double>(next(81) - 40));
      out.boundaries.sum_b.push_back(0.0);
    }
  }
  return out;
}

std::vector<std::int32_t> solve(Lattice net) {
  const auto regions = static_cast<std::int32_t>(net.sizes.size());
  const Buffer<std::int32_t> folds =
      Tracker::from_boundaries(std::move(net.boundaries), regions, net.sizes, 20.0).solve();
  return {folds.begin(), folds.end()};
}

TEST(Tracker, LargeNetworksSolveAlikeAfterLargerAndFailedOnes) {
  // Tables of several MiB each, whose blocks later calls reuse as earlier
  // calls left them: a larger network needs larger blocks, and one that fails
  // on its last slot leaves its pair table filled.
  const std::vector<std::int32_t> first = solve(lattice(700, 600, 1));
  const std::vector<std::int32_t> larger = solve(lattice(800, 700, 2));
  Lattice repeated = lattice(800, 700, 3);
  for (auto* column : {&repeated.boundaries.region_a, &repeated.boundaries.region_b,
                       &repeated.boundaries.count}) {
    column->push_back(column->front());
  }
  repeated.boundaries.sum_a.push_back(0.0);
  repeated.boundaries.sum_b.push_back(0.0);
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)solve(std::move(repeated)), Failure);
  (void)testing::internal::GetCapturedStderr();
  EXPECT_EQ(solve(lattice(700, 600, 1)), first);
  EXPECT_EQ(solve(lattice(800, 700, 2)), larger);
}

}  // namespace
}  // namespace vornak
