// The fast core against the straightforward one, bit for bit, stage by stage
// and on whole sweeps, over many random sweeps chosen to stress each shortcut:
// limits landing on velocities, huge and negative skips with and without
// wrap-around, salt-and-pepper fields with many small regions and parallel
// boundaries, ties in the largest count, keepers changing at every step.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <limits>
#include <random>
#include <vector>

#include "boundary_graph.hpp"
#include "straightforward.hpp"
#include "vornak/failure.hpp"
#include "vornak/edges.hpp"
#include "vornak/network.hpp"
#include "vornak/numeric.hpp"
#include "vornak/regions.hpp"
#include "vornak/sweep.hpp"

namespace vornak {
namespace {

struct Sweep {
  std::size_t nrays = 0;
  std::size_t ngates = 0;
  std::vector<float> vel;
  std::vector<std::uint8_t> mask;
  double nyquist = 10.0;
  bool wrap = false;
  SweepParams params;
};

class SweepMaker {
 public:
  explicit SweepMaker(unsigned seed) : rng_(seed) {}

  Sweep next() {
    Sweep s;
    s.nrays = 1 + pick(24);
    s.ngates = 1 + pick(24);
    const std::size_t n = s.nrays * s.ngates;
    s.nyquist = nyquist();
    s.wrap = pick(2) == 0;
    s.params.interval_splits = splits();
    s.params.skip_between_rays = skip(s.nrays);
    s.params.skip_along_ray = skip(s.ngates);
    s.params.centered = pick(2) == 0;
    s.vel.resize(n);
    s.mask.resize(n);
    const int kind = static_cast<int>(pick(4));
    const double folds = 1.0 + static_cast<double>(pick(3));
    const double phase = uniform(0, 6.3);
    const bool infinities = pick(10) == 0;
    for (std::size_t r = 0; r < s.nrays; ++r) {
      for (std::size_t g = 0; g < s.ngates; ++g) {
        double v;
        if (kind == 0) {
          // Salt and pepper: every gate anywhere in (and a bit beyond) the interval.
          v = uniform(-1.2, 1.2) * std::abs(s.nyquist);
        } else if (kind == 1) {
          // A smooth wind field folded into the Nyquist interval, plus noise.
          const double truth = folds * std::abs(s.nyquist) *
                               std::sin(phase + 6.283 * static_cast<double>(r) / s.nrays) *
                               (0.3 + static_cast<double>(g) / s.ngates);
          const double span = 2 * std::abs(s.nyquist);
          v = truth - span * std::round(truth / span) + uniform(-0.1, 0.1) * std::abs(s.nyquist);
        } else if (kind == 2) {
          // Few distinct values, many on the Nyquist limits and interval limits.
          const double choices[] = {-1.0, 1.0, -1.0 / 3.0, 1.0 / 3.0, 0.0, 0.5, -0.999, 1.5};
          v = choices[pick(8)] * s.nyquist;
        } else {
          v = uniform(-3, 3) * std::abs(s.nyquist);
        }
        float f = static_cast<float>(v);
        const auto special = pick(40);
        if (special == 0) f = std::numeric_limits<float>::quiet_NaN();
        // A valid infinity asks for endlessly many intervals: the capacity
        // failure, so only now and then.
        if (special == 1 && infinities) f = std::numeric_limits<float>::infinity();
        if (special == 2 && infinities) f = -std::numeric_limits<float>::infinity();
        s.vel[r * s.ngates + g] = f;
        s.mask[r * s.ngates + g] = pick(100) < mask_percent_ ? 1 : 0;
      }
    }
    // Sparse sweeps make the long walks matter.
    mask_percent_ = static_cast<unsigned>(pick(3) == 0 ? 60 + pick(35) : pick(20));
    return s;
  }

 private:
  std::size_t pick(std::size_t bound) { return static_cast<std::size_t>(rng_() % bound); }
  double uniform(double lo, double hi) {
    return std::uniform_real_distribution<double>(lo, hi)(rng_);
  }
  double nyquist() {
    switch (pick(12)) {
      case 0: return 1e-30;
      case 1: return 1e30;
      case 2: return 0.0;
      case 3: return -10.0;
      case 4: return std::numeric_limits<double>::infinity();
      case 5: return std::nan("");
      default: return uniform(0.5, 40.0);
    }
  }
  std::int64_t splits() {
    switch (pick(10)) {
      case 0: return -static_cast<std::int64_t>(pick(3));
      case 1: return 0;
      case 2: return 200 + static_cast<std::int64_t>(pick(2000));
      default: return 1 + static_cast<std::int64_t>(pick(12));
    }
  }
  std::int64_t skip(std::size_t extent) {
    switch (pick(8)) {
      case 0: return -1 - static_cast<std::int64_t>(pick(5));
      case 1: return std::numeric_limits<std::int64_t>::max();
      case 2: return static_cast<std::int64_t>(extent + pick(5));
      default: return static_cast<std::int64_t>(pick(6));
    }
  }

  std::mt19937_64 rng_;
  unsigned mask_percent_ = 10;
};

std::vector<std::int32_t> to_vector(const Buffer<std::int32_t>& b) { return {b.begin(), b.end()}; }

void expect_same_edges(const Edges& fast, const Edges& slow, int trial) {
  ASSERT_EQ(fast.size(), slow.size()) << trial;
  for (std::size_t i = 0; i < fast.size(); ++i) {
    ASSERT_EQ(fast.region_a[i], slow.region_a[i]) << trial << " entry " << i;
    ASSERT_EQ(fast.region_b[i], slow.region_b[i]) << trial << " entry " << i;
    ASSERT_EQ(fast.count[i], slow.count[i]) << trial << " entry " << i;
    // Bitwise: the sums must add the same values in the same order.
    ASSERT_EQ(std::memcmp(&fast.sum_a[i], &slow.sum_a[i], sizeof(double)), 0) << trial;
    ASSERT_EQ(std::memcmp(&fast.sum_b[i], &slow.sum_b[i], sizeof(double)), 0) << trial;
  }
}

TEST(FastCore, StagesAndWholeSweepsMatchTheStraightforwardCore) {
  SweepMaker maker(20261207);
  int networks = 0;
  int failures = 0;
  int unmaterialised = 0;
  testing::internal::CaptureStderr();  // capacity failures report there
  for (int trial = 0; trial < 20000; ++trial) {
    const Sweep s = maker.next();
    std::string fast_failure;
    IntervalLimits fast_limits;
    try {
      fast_limits = interval_limits(s.nyquist, s.params.interval_splits, s.vel, s.mask);
    } catch (const Failure& f) {
      fast_failure = f.what();
    }
    // The reference materialises every limit: only modest counts for it.
    if (fast_limits.size() > 200000) {
      ++unmaterialised;
      (void)sweep_folds(s.vel, s.nrays, s.ngates, s.mask, s.nyquist, s.wrap, s.params);
      continue;
    }
    Buffer<double> slow_limits;
    std::string slow_failure;
    try {
      slow_limits =
          straightforward::interval_limits(s.nyquist, s.params.interval_splits, s.vel, s.mask);
    } catch (const Failure& f) {
      slow_failure = f.what();
    }
    ASSERT_EQ(fast_failure, slow_failure) << trial;
    if (!slow_failure.empty()) {
      ++failures;
      EXPECT_THROW((void)sweep_folds(s.vel, s.nrays, s.ngates, s.mask, s.nyquist, s.wrap,
                                     s.params),
                   Failure);
      continue;
    }
    ASSERT_EQ(fast_limits.size(), slow_limits.size()) << trial;
    for (std::size_t k = 0; k < slow_limits.size(); ++k) {
      const double f = fast_limits[k];
      ASSERT_EQ(std::memcmp(&f, &slow_limits[k], sizeof(double)), 0) << trial << " limit " << k;
    }
    if (slow_limits.size() >= 2) {
      const Regions fast = find_regions(s.vel, s.mask, s.nrays, s.ngates, fast_limits);
      const straightforward::Regions slow =
          straightforward::find_regions(s.vel, s.mask, s.nrays, s.ngates, slow_limits);
      ASSERT_EQ(fast.region_count, slow.region_count) << trial;
      ASSERT_EQ(to_vector(fast.labels), to_vector(slow.labels)) << trial;
      std::vector<std::int32_t> sizes(static_cast<std::size_t>(slow.region_count), 0);
      for (const auto l : slow.labels) {
        if (l != 0) ++sizes[static_cast<std::size_t>(l) - 1];
      }
      ASSERT_EQ(to_vector(fast.sizes), sizes) << trial;

      const Edges fast_edges = find_edges(fast.labels, s.vel, s.nrays, s.ngates, s.wrap,
                                          s.params.skip_between_rays, s.params.skip_along_ray);
      const Edges slow_edges =
          straightforward::find_edges(slow.labels, s.vel, s.nrays, s.ngates, s.wrap,
                                      s.params.skip_between_rays, s.params.skip_along_ray);
      expect_same_edges(fast_edges, slow_edges, trial);

      if (slow.region_count >= 2 && !slow_edges.empty()) {
        const double twice = s.nyquist + s.nyquist;
        const auto fast_folds =
            to_vector(Tracker(fast_edges, fast.region_count, sizes, twice).solve());
        const auto slow_folds = to_vector(
            straightforward::Tracker(slow_edges, slow.region_count, sizes, twice).solve());
        ASSERT_EQ(fast_folds, slow_folds) << trial;
        ++networks;
      }
    }
    const auto fast = to_vector(sweep_folds(s.vel, s.nrays, s.ngates, s.mask, s.nyquist, s.wrap,
                                            s.params));
    const auto slow = to_vector(straightforward::sweep_folds(s.vel, s.nrays, s.ngates, s.mask,
                                                             s.nyquist, s.wrap, s.params));
    ASSERT_EQ(fast, slow) << trial;
  }
  (void)testing::internal::GetCapturedStderr();
  std::printf("networks compared: %d, capacity failures: %d, unmaterialised limits: %d\n",
              networks, failures, unmaterialised);
  // The generator must actually reach the network often.
  EXPECT_GT(networks, 5000);
}

// Label grids made directly: rows wider than the sweeps above, long runs of
// one region (the scan skips their inside in blocks of gates), region
// changes and gaps at every position relative to those blocks, gaps shorter
// and longer than the skips, and region numbers in any order.
std::vector<std::int32_t> painted_labels(std::mt19937_64& rng, std::size_t nrays,
                                         std::size_t ngates, std::int32_t regions) {
  auto pick = [&](std::size_t bound) { return static_cast<std::size_t>(rng() % bound); };
  auto region = [&] {
    return static_cast<std::int32_t>(rng() % static_cast<std::uint64_t>(regions + 1));
  };
  std::vector<std::int32_t> labels(nrays * ngates, pick(3) == 0 ? 0 : 1);
  const std::size_t rectangles = 1 + pick(12);
  for (std::size_t k = 0; k < rectangles; ++k) {
    const std::size_t r0 = pick(nrays);
    const std::size_t g0 = pick(ngates);
    const std::size_t r1 = std::min(nrays, r0 + 1 + pick(nrays));
    const std::size_t g1 = std::min(ngates, g0 + 1 + pick(ngates));
    const std::int32_t label = region();
    for (std::size_t r = r0; r < r1; ++r) {
      for (std::size_t g = g0; g < g1; ++g) labels[r * ngates + g] = label;
    }
  }
  const std::size_t specks = pick(3) == 0 ? pick(nrays * ngates / 2 + 1) : pick(8);
  for (std::size_t k = 0; k < specks; ++k) labels[pick(labels.size())] = region();
  return labels;
}

void expect_same_boundaries(const Edges& fast, const Edges& all, int trial) {
  std::size_t e = 0;
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all.region_a[i] <= all.region_b[i]) continue;
    ASSERT_LT(e, fast.size()) << trial;
    ASSERT_EQ(fast.region_a[e], all.region_a[i]) << trial << " entry " << e;
    ASSERT_EQ(fast.region_b[e], all.region_b[i]) << trial << " entry " << e;
    ASSERT_EQ(fast.count[e], all.count[i]) << trial << " entry " << e;
    ASSERT_EQ(std::memcmp(&fast.sum_a[e], &all.sum_a[i], sizeof(double)), 0) << trial;
    ASSERT_EQ(std::memcmp(&fast.sum_b[e], &all.sum_b[i], sizeof(double)), 0) << trial;
    ++e;
  }
  ASSERT_EQ(e, fast.size()) << trial;
}

void expect_edges_match(const std::vector<std::int32_t>& labels, const std::vector<float>& vel,
                        std::size_t nrays, std::size_t ngates, bool wrap, std::int64_t skip_rays,
                        std::int64_t skip_gates, int trial) {
  const Edges slow = straightforward::find_edges(labels, vel, nrays, ngates, wrap, skip_rays,
                                                 skip_gates);
  expect_same_edges(find_edges(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates), slow,
                    trial);
  expect_same_boundaries(
      find_boundaries(labels, vel, nrays, ngates, wrap, skip_rays, skip_gates), slow, trial);
}

TEST(FastCore, EdgesOfPaintedLabelGridsMatch) {
  std::mt19937_64 rng(20261208);
  auto pick = [&](std::size_t bound) { return static_cast<std::size_t>(rng() % bound); };
  const std::int64_t skips[] = {std::numeric_limits<std::int64_t>::min(), -3, 0, 1, 2, 5, 40,
                                std::numeric_limits<std::int64_t>::max()};
  for (int trial = 0; trial < 3000; ++trial) {
    const std::size_t nrays = 1 + pick(trial % 4 == 0 ? 4 : 40);
    const std::size_t ngates = 1 + pick(trial % 3 == 0 ? 120 : 40);
    const auto regions = static_cast<std::int32_t>(1 + pick(trial % 5 == 0 ? 2000 : 6));
    const auto labels = painted_labels(rng, nrays, ngates, regions);
    std::vector<float> vel(labels.size());
    // Magnitudes far apart, so that sums in another order differ.
    for (auto& v : vel) {
      v = static_cast<float>(std::ldexp(static_cast<double>(rng() % 2001) - 1000,
                                        static_cast<int>(pick(40)) - 20));
    }
    expect_edges_match(labels, vel, nrays, ngates, pick(2) == 0, skips[pick(8)], skips[pick(8)],
                       trial);
  }
}

TEST(FastCore, EdgesOfLargeLabelGridsMatch) {
  // Hundreds of thousands of contacts, among two regions (few keys, long
  // runs) or among up to 2^20 (wide keys, many small pairs).
  std::mt19937_64 rng(42);
  for (int trial = 0; trial < 4; ++trial) {
    const std::size_t nrays = 300 + 7 * static_cast<std::size_t>(trial);
    const std::size_t ngates = 401 + 2 * static_cast<std::size_t>(trial);
    std::vector<std::int32_t> labels(nrays * ngates);
    const std::uint64_t regions = trial % 2 == 0 ? 2 : std::uint64_t{1} << 20;
    for (std::size_t i = 0; i < labels.size(); ++i) {
      labels[i] = rng() % 9 == 0 ? 0 : static_cast<std::int32_t>(1 + rng() % regions);
    }
    std::vector<float> vel(labels.size());
    for (auto& v : vel) v = static_cast<float>(static_cast<double>(rng() % 100000) * 1e-3 - 50);
    expect_edges_match(labels, vel, nrays, ngates, trial < 2, 3, trial < 2 ? 2 : -1, trial);
  }
}

TEST(FastCore, LargerNoisySweepsMatch) {
  // Thousands of regions: long merge sequences with many fusions per step.
  std::mt19937 rng(5);
  for (int trial = 0; trial < 12; ++trial) {
    const std::size_t nrays = 40 + rng() % 40;
    const std::size_t ngates = 40 + rng() % 60;
    std::vector<float> vel(nrays * ngates);
    std::vector<std::uint8_t> mask(vel.size());
    std::uniform_real_distribution<float> uniform(-10.0f, 10.0f);
    for (std::size_t i = 0; i < vel.size(); ++i) {
      vel[i] = trial % 2 == 0 ? uniform(rng)
                              : static_cast<float>(std::sin(0.01 * static_cast<double>(i)) * 25.0);
      if (std::abs(vel[i]) > 10.0f) vel[i] -= std::copysign(20.0f, vel[i]);
      mask[i] = rng() % 7 == 0 ? 1 : 0;
    }
    SweepParams params;
    params.interval_splits = 3 + trial % 5;
    params.skip_between_rays = trial % 3;
    params.skip_along_ray = trial % 4 == 0 ? 100 : 1;
    params.centered = trial % 2 == 0;
    const bool wrap = trial % 3 != 0;
    const auto fast = to_vector(sweep_folds(vel, nrays, ngates, mask, 10.0, wrap, params));
    const auto slow =
        to_vector(straightforward::sweep_folds(vel, nrays, ngates, mask, 10.0, wrap, params));
    ASSERT_EQ(fast, slow) << trial;
  }
}

TEST(FastCore, RandomNetworksWithTiesAndEqualSizesMatch) {
  // Dense boundary graphs with few distinct counts and sizes: many ties in
  // selection, equal-size keepers, keeper changes and fusions at every step.
  std::mt19937 rng(99);
  for (int trial = 0; trial < 2000; ++trial) {
    const int regions = 2 + static_cast<int>(rng() % 30);
    const int density = 10 + static_cast<int>(rng() % 90);
    // Decide each unordered pair once; make_edges mirrors it.
    std::vector<Pair> chosen;
    for (int a = 1; a <= regions; ++a) {
      for (int b = 1; b < a; ++b) {
        if (static_cast<int>(rng() % 100) >= density) continue;
        // Mostly tiny counts (many ties); now and then a huge one, which the
        // selection cannot lay out in runs by count.
        const std::int32_t count =
            1 + static_cast<std::int32_t>(rng() % 3) * (trial % 7 == 0 ? 1000000 : 1);
        const double sa = static_cast<double>(static_cast<int>(rng() % 81) - 40);
        const double sb = static_cast<double>(static_cast<int>(rng() % 81) - 40);
        chosen.push_back({a, b, count, sa, sb});
      }
    }
    if (chosen.empty()) continue;
    const Edges edges = make_edges(chosen);
    std::vector<std::int32_t> sizes(static_cast<std::size_t>(regions));
    for (auto& size : sizes) size = 1 + static_cast<std::int32_t>(rng() % 3);
    const double twice = 2.0 * (1.0 + static_cast<double>(rng() % 4));
    const auto fast = to_vector(Tracker(edges, regions, sizes, twice).solve());
    const auto slow = to_vector(straightforward::Tracker(edges, regions, sizes, twice).solve());
    ASSERT_EQ(fast, slow) << trial;
  }
}


// Boundary graphs built boundary by boundary: both orientations of each
// unordered pair, ordered by (region_b, region_a) as the edge stage hands
// them over.
class Network {
 public:
  explicit Network(std::int32_t regions) : sizes(static_cast<std::size_t>(regions), 1) {}

  void add(std::int32_t a, std::int32_t b, std::int32_t count, double sum_a, double sum_b) {
    boundaries_.push_back({a, b, count, sum_a, sum_b});
  }
  [[nodiscard]] Edges edges() const { return make_edges(boundaries_); }
  [[nodiscard]] std::int32_t regions() const { return static_cast<std::int32_t>(sizes.size()); }

  std::vector<std::int32_t> sizes;

 private:
  std::vector<Pair> boundaries_;
};

// Steps the fast network next to the straightforward one, choosing each step
// as the straightforward loop does, and compares every slot (ends, count,
// statistic) and every group size after every step, then the folds.
void expect_same_steps(const Network& network, double twice, const std::string& what) {
  const Edges edges = network.edges();
  Tracker fast(edges, network.regions(), network.sizes, twice);
  straightforward::Tracker slow(edges, network.regions(), network.sizes, twice);
  const std::size_t slots = slow.edge_count.size();
  ASSERT_EQ(fast.slot_count(), slots) << what;
  for (std::size_t step = 0;; ++step) {
    ASSERT_LE(step, slots) << what;
    for (std::size_t k = 0; k < slots; ++k) {
      ASSERT_EQ(fast.edge_count(k), slow.edge_count[k]) << what << " step " << step << " slot " << k;
      if (slow.edge_count[k] == consumed_slot) continue;
      ASSERT_EQ(fast.edge_a(k), slow.edge_a[k]) << what << " step " << step << " slot " << k;
      ASSERT_EQ(fast.edge_b(k), slow.edge_b[k]) << what << " step " << step << " slot " << k;
      // By value: the sign of a zero statistic may differ, which no shift sees.
      ASSERT_EQ(fast.edge_diff(k), slow.edge_diff[k]) << what << " step " << step << " slot " << k;
    }
    for (std::int32_t g = 0; g <= network.regions(); ++g) {
      ASSERT_EQ(fast.group_size(g), slow.group_size[static_cast<std::size_t>(g)])
          << what << " step " << step << " group " << g;
    }
    if (slots == 0) break;
    std::size_t best = 0;
    for (std::size_t k = 1; k < slots; ++k) {
      if (slow.edge_count[k] > slow.edge_count[best]) best = k;
    }
    if (slow.edge_count[best] < 0) break;
    const std::int32_t a = slow.edge_a[best];
    const std::int32_t b = slow.edge_b[best];
    const std::int32_t shift = rint_to_i32(static_cast<double>(slow.edge_diff[best]) /
                                           static_cast<double>(slow.edge_count[best]));
    const auto slot = static_cast<std::int32_t>(best);
    if (slow.group_size[static_cast<std::size_t>(a)] > slow.group_size[static_cast<std::size_t>(b)]) {
      slow.join(slot, a, b, shift);
      fast.join(slot, a, b, shift);
    } else {
      slow.join(slot, b, a, wrapping_neg(shift));
      fast.join(slot, b, a, wrapping_neg(shift));
    }
  }
  for (std::int32_t l = 0; l <= network.regions(); ++l) {
    ASSERT_EQ(fast.fold(l), slow.folds[static_cast<std::size_t>(l)]) << what << " label " << l;
  }
  const auto solved = to_vector(Tracker(edges, network.regions(), network.sizes, twice).solve());
  ASSERT_EQ(solved, to_vector(slow.folds)) << what;
}

TEST(FastCore, NetworkStepsMatchOnDenseRandomGraphs) {
  // Few distinct counts and sizes: ties in selection and in size, so the
  // orientation of every slot decides keepers, and keepers change often.
  std::mt19937 rng(2024);
  for (int trial = 0; trial < 300; ++trial) {
    const auto regions = static_cast<std::int32_t>(2 + rng() % 40);
    const auto density = static_cast<int>(5 + rng() % 95);
    Network network(regions);
    for (auto& size : network.sizes) size = 1 + static_cast<std::int32_t>(rng() % 3);
    for (std::int32_t a = 1; a <= regions; ++a) {
      for (std::int32_t b = 1; b < a; ++b) {
        if (static_cast<int>(rng() % 100) >= density) continue;
        const auto count = 1 + static_cast<std::int32_t>(rng() % 4);
        network.add(a, b, count, static_cast<double>(static_cast<int>(rng() % 161) - 80),
                    static_cast<double>(static_cast<int>(rng() % 161) - 80));
      }
    }
    expect_same_steps(network, 2.0 * (1.0 + static_cast<double>(rng() % 4)),
                      "trial " + std::to_string(trial));
  }
}

TEST(FastCore, NetworkStepsMatchWhenHubsMerge) {
  // Two hubs that share most of their many neighbours and merge first: one
  // step fuses hundreds of parallel boundaries, then the merged hub absorbs
  // its neighbours one after another over a very long list, while the
  // neighbours, chained to each other, re-attach and fuse as well.
  std::mt19937 rng(7);
  for (int trial = 0; trial < 6; ++trial) {
    const std::int32_t leaves = 200 + 150 * trial;
    Network network(leaves + 2);
    network.sizes[0] = 1000;
    network.sizes[1] = trial % 2 == 0 ? 1000 : 999;  // equal sizes: edge_b keeps
    network.add(1, 2, 1000000, 0.0, 20.0 * 1000000 * (trial % 3));
    for (std::int32_t leaf = 3; leaf <= leaves + 2; ++leaf) {
      network.sizes[static_cast<std::size_t>(leaf) - 1] = 1 + static_cast<std::int32_t>(rng() % 5);
      const auto v = static_cast<double>(static_cast<int>(rng() % 121) - 60);
      if (rng() % 8 != 0) network.add(leaf, 1, 1 + static_cast<std::int32_t>(rng() % 6), v, 0.0);
      if (rng() % 8 != 0) network.add(leaf, 2, 1 + static_cast<std::int32_t>(rng() % 6), v, 5.0);
      if (leaf > 3 && rng() % 2 == 0) {
        network.add(leaf, leaf - 1, 1 + static_cast<std::int32_t>(rng() % 3), v, -v);
      }
    }
    expect_same_steps(network, 20.0, "trial " + std::to_string(trial));
  }
}

TEST(FastCore, NetworkStepsMatchWhenKeepersAlternate) {
  // Two growing clusters whose boundaries are taken in turn (counts fall
  // along the sequence, interleaved), so the keeper changes at every step;
  // leaves also touch both clusters and each other, so boundaries already
  // turned toward one keeper are re-attached to, or fused into, the other.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    const auto leaves = static_cast<std::int32_t>(20 + rng() % 80);
    Network network(2 * leaves + 2);
    network.sizes[0] = 500;
    network.sizes[1] = 500;
    for (std::int32_t i = 0; i < leaves; ++i) {
      const std::int32_t left = 3 + 2 * i;
      const std::int32_t right = left + 1;
      const std::int32_t count = 4 * (leaves - i) + 100;
      network.add(left, 1, count, static_cast<double>(static_cast<int>(rng() % 41) - 20), 0.0);
      network.add(right, 2, count - 1, static_cast<double>(static_cast<int>(rng() % 41) - 20), 0.0);
      if (rng() % 3 == 0) network.add(left, 2, 1 + static_cast<std::int32_t>(rng() % 3), 7.0, 0.0);
      if (rng() % 3 == 0) network.add(right, 1, 1 + static_cast<std::int32_t>(rng() % 3), -7.0, 0.0);
      if (i > 0 && rng() % 2 == 0) network.add(left, left - 2, 1, 3.0, -3.0);
      if (i > 0 && rng() % 2 == 0) network.add(right, right - 2, 2, -3.0, 3.0);
    }
    for (std::size_t g = 2; g < network.sizes.size(); ++g) {
      network.sizes[g] = 1 + static_cast<std::int32_t>(rng() % 3);
    }
    expect_same_steps(network, 2.0 * (1.0 + static_cast<double>(rng() % 9)),
                      "trial " + std::to_string(trial));
  }
}

TEST(FastCore, NetworkStepsMatchWhenLargeGroupsAreAbsorbedInTurn) {
  // A chain of hubs, each with its own leaves, each hub larger than all
  // before it together, the boundaries between hubs taken first: every step
  // moves the whole group grown so far into the next hub, so its leaves'
  // boundaries are re-attached again and again, and the lookup of pairs has
  // to be filled afresh while the merges run.
  std::mt19937 rng(5);
  for (int trial = 0; trial < 3; ++trial) {
    const std::int32_t hubs = 12;
    const std::int32_t leaves = 30 + 10 * trial;
    Network network(hubs * (leaves + 1));
    for (std::int32_t h = 1; h <= hubs; ++h) {
      network.sizes[static_cast<std::size_t>(h) - 1] = 1000 << h;
      if (h > 1) {
        network.add(h, h - 1, 100000 - h, static_cast<double>(static_cast<int>(rng() % 81) - 40),
                    0.0);
      }
      for (std::int32_t k = 0; k < leaves; ++k) {
        const std::int32_t leaf = hubs + (h - 1) * leaves + k + 1;
        network.sizes[static_cast<std::size_t>(leaf) - 1] = 1 + static_cast<std::int32_t>(rng() % 5);
        network.add(leaf, h, 1 + static_cast<std::int32_t>(rng() % 6),
                    static_cast<double>(static_cast<int>(rng() % 121) - 60), 0.0);
      }
    }
    expect_same_steps(network, 20.0, "trial " + std::to_string(trial));
  }
}

TEST(FastCore, EdgesOfBlockyGridsWithUpTo2To16RegionsMatch) {
  // Tens of thousands of contacts in patches, with holes: region numbers that
  // fill 16 bits exactly (narrow keys) or one more (wide keys).
  std::mt19937_64 rng(7);
  const std::int32_t counts[] = {3000, 65535, 65536};
  for (int trial = 0; trial < 6; ++trial) {
    const std::size_t nrays = 150 + 11 * static_cast<std::size_t>(trial);
    const std::size_t ngates = 230 + 7 * static_cast<std::size_t>(trial);
    const std::int32_t regions = counts[trial % 3];
    std::vector<std::int32_t> labels(nrays * ngates);
    for (std::size_t r = 0; r < nrays; ++r) {
      for (std::size_t g = 0; g < ngates; ++g) {
        std::mt19937_64 patch((r / 4) * 1000003 + g / 6 + static_cast<std::size_t>(trial) * 7919);
        labels[r * ngates + g] = static_cast<std::int32_t>(1 + patch() % static_cast<std::uint64_t>(regions));
        if (rng() % 10 == 0) labels[r * ngates + g] = 0;
      }
    }
    labels[rng() % labels.size()] = regions;
    std::vector<float> vel(labels.size());
    for (auto& v : vel) {
      v = static_cast<float>(std::ldexp(static_cast<double>(rng() % 2001) - 1000,
                                        static_cast<int>(rng() % 40) - 20));
    }
    expect_edges_match(labels, vel, nrays, ngates, trial % 2 == 0, 1 + trial % 3, trial, trial);
  }
}

TEST(FastCore, SweepsWithAVelocityBeyondNyquistLateInTheScanMatch) {
  // The first rays are labelled within the Nyquist interval before a later
  // one asks for wider limits; masked, the same velocity asks for nothing.
  std::mt19937 rng(11);
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t nrays = 8 + rng() % 30;
    const std::size_t ngates = 16 + rng() % 50;
    std::vector<float> vel(nrays * ngates);
    std::vector<std::uint8_t> mask(vel.size());
    for (std::size_t i = 0; i < vel.size(); ++i) {
      const double truth = 25.0 * std::sin(0.002 * static_cast<double>(i) + trial);
      vel[i] = static_cast<float>(truth - 20.0 * std::round(truth / 20.0));
      // The lowest velocities only in the first half: the limits depend on
      // the extremes of the rays read before the wider limits were asked for.
      if (i >= vel.size() / 2) vel[i] = std::max(vel[i], -4.0f);
      mask[i] = rng() % 9 == 0 ? 1 : 0;
    }
    vel[rng() % ngates] = -9.99f;
    const std::size_t late = (nrays - 1 - rng() % 3) * ngates + rng() % ngates;
    vel[late] = trial % 3 == 0 ? 10.0f : (trial % 3 == 1 ? -10.5f : 37.0f);
    mask[late] = trial % 4 == 3 ? 1 : 0;
    SweepParams params;
    params.interval_splits = 1 + trial % 8;
    const bool wrap = trial % 2 == 0;
    const auto fast = to_vector(sweep_folds(vel, nrays, ngates, mask, 10.0, wrap, params));
    const auto slow =
        to_vector(straightforward::sweep_folds(vel, nrays, ngates, mask, 10.0, wrap, params));
    ASSERT_EQ(fast, slow) << trial;
  }
}

}  // namespace
}  // namespace vornak
