#include "vornak/util.hpp"

#include <gtest/gtest.h>

namespace vornak {
namespace {

TEST(Linspace, ZeroAndOneValue) {
  EXPECT_TRUE(linspace(-10, 10, 0).empty());
  const auto one = linspace(-10, 10, 1);
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0], -10.0);
}

TEST(Linspace, ProductThenSumAndTheLastValueIsTheEndItself) {
  const double start = -10.0;
  const double end = 10.0;
  const auto values = linspace(start, end, 4);
  ASSERT_EQ(values.size(), 4u);
  const double step = (end - start) / 3.0;
  EXPECT_EQ(values[0], start);
  EXPECT_EQ(values[1], 1.0 * step + start);
  EXPECT_EQ(values[2], 2.0 * step + start);
  EXPECT_EQ(values[3], end);
}

TEST(Linspace, LastValueIsExactWhereTheFormulaWouldMissIt) {
  // 5 * step + start lands one ulp off -1.3 here; the last value must not.
  const auto values = linspace(-3.0, -1.3, 6);
  ASSERT_EQ(values.size(), 6u);
  EXPECT_NE(5.0 * ((-1.3 - -3.0) / 5.0) + -3.0, -1.3);
  EXPECT_EQ(values[5], -1.3);
}

}  // namespace
}  // namespace vornak
