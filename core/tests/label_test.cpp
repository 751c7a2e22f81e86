// Four-connected labelling of one interval's membership.
#include "vornak/label.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace vornak {
namespace {

std::vector<std::int32_t> labels_of(const std::vector<std::uint8_t>& inside, std::size_t nrays,
                                    std::size_t ngates, std::int32_t* count = nullptr) {
  const Components c = label_components(inside, nrays, ngates);
  if (count != nullptr) *count = c.count;
  return {c.labels.begin(), c.labels.end()};
}

TEST(LabelComponents, NumbersComponentsInScanOrderOfTheirFirstGate) {
  // Ray 0: . x x x ; ray 1: x . . x ; ray 2: x x . .
  const std::vector<std::uint8_t> inside{0, 1, 1, 1, 1, 0, 0, 1, 1, 1, 0, 0};
  std::int32_t count = 0;
  EXPECT_EQ(labels_of(inside, 3, 4, &count),
            (std::vector<std::int32_t>{0, 1, 1, 1, 2, 0, 0, 1, 2, 2, 0, 0}));
  EXPECT_EQ(count, 2);
}

TEST(LabelComponents, CornerContactDoesNotConnect) {
  const std::vector<std::uint8_t> inside{1, 0, 0, 1};
  std::int32_t count = 0;
  EXPECT_EQ(labels_of(inside, 2, 2, &count), (std::vector<std::int32_t>{1, 0, 0, 2}));
  EXPECT_EQ(count, 2);
}

TEST(LabelComponents, NeitherRaysNorGatesWrap) {
  // Last gate of ray 0 beside first gate of ray 1 in memory; the same gate
  // on the first and the last ray.
  const std::vector<std::uint8_t> inside{0, 0, 1, 1, 0, 0, 0, 0, 1};
  std::int32_t count = 0;
  EXPECT_EQ(labels_of(inside, 3, 3, &count), (std::vector<std::int32_t>{0, 0, 1, 2, 0, 0, 0, 0, 3}));
  EXPECT_EQ(count, 3);
}

TEST(LabelComponents, AUShapeJoinedLateIsStillOneComponent) {
  // Two arms that meet only on the last ray: the union happens after both
  // arms have their own roots.
  const std::vector<std::uint8_t> inside{1, 0, 1, 1, 0, 1, 1, 1, 1};
  std::int32_t count = 0;
  EXPECT_EQ(labels_of(inside, 3, 3, &count), (std::vector<std::int32_t>{1, 0, 1, 1, 0, 1, 1, 1, 1}));
  EXPECT_EQ(count, 1);
}

TEST(LabelComponents, EmptyAndAllOutside) {
  std::int32_t count = -1;
  EXPECT_TRUE(labels_of({}, 0, 3, &count).empty());
  EXPECT_EQ(count, 0);
  EXPECT_EQ(labels_of({0, 0, 0}, 1, 3, &count), (std::vector<std::int32_t>{0, 0, 0}));
  EXPECT_EQ(count, 0);
}

TEST(FindRoot, HalvesThePathOnTheWay) {
  // Chain 4 -> 3 -> 2 -> 1 -> 0.
  std::vector<std::int32_t> parent{0, 0, 1, 2, 3};
  EXPECT_EQ(find_root(parent, 4), 0);
  // 4 now points at its former grandparent 2, and 2 at 0.
  EXPECT_EQ(parent, (std::vector<std::int32_t>{0, 0, 0, 2, 2}));
  EXPECT_EQ(find_root(parent, 0), 0);
}

// Flood fill as an independent check of connectivity and numbering.
std::vector<std::int32_t> flood_labels(const std::vector<std::uint8_t>& inside, int nrays,
                                       int ngates) {
  std::vector<std::int32_t> out(inside.size(), 0);
  std::int32_t next = 0;
  for (int start = 0; start < nrays * ngates; ++start) {
    if (!inside[start] || out[start]) continue;
    out[start] = ++next;
    std::vector<int> stack{start};
    while (!stack.empty()) {
      const int i = stack.back();
      stack.pop_back();
      const int r = i / ngates;
      const int g = i % ngates;
      const int nbr[4][2] = {{r - 1, g}, {r + 1, g}, {r, g - 1}, {r, g + 1}};
      for (const auto& rc : nbr) {
        if (rc[0] < 0 || rc[0] >= nrays || rc[1] < 0 || rc[1] >= ngates) continue;
        const int j = rc[0] * ngates + rc[1];
        if (inside[j] && !out[j]) {
          out[j] = next;
          stack.push_back(j);
        }
      }
    }
  }
  return out;
}

TEST(LabelComponents, AgreesWithAFloodFillOnRandomMasks) {
  std::mt19937 rng(20261207);
  for (int trial = 0; trial < 500; ++trial) {
    const int nrays = 1 + static_cast<int>(rng() % 12);
    const int ngates = 1 + static_cast<int>(rng() % 12);
    const unsigned density = 30 + rng() % 50;
    std::vector<std::uint8_t> inside(static_cast<std::size_t>(nrays * ngates));
    for (auto& b : inside) b = (rng() % 100) < density ? 1 : 0;
    ASSERT_EQ(labels_of(inside, static_cast<std::size_t>(nrays), static_cast<std::size_t>(ngates)),
              flood_labels(inside, nrays, ngates))
        << "trial " << trial;
  }
}

}  // namespace
}  // namespace vornak
