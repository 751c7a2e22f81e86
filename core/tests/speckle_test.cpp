// The speckle repair and the gate passes on small sweeps whose answer is
// known; under the sanitizers, the flood fills along every edge of a sweep.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "vornak/gate_values.hpp"
#include "vornak/speckle.hpp"

namespace {

using vornak::speckle::Sweep;

// Every third gate valid, on diagonals: single-gate scattered groups up to
// every edge of the sweep, all measured at 0.1 m/s.
struct Diagonals {
  std::size_t rays = 30, gates = 40;
  std::vector<std::uint8_t> excluded;
  std::vector<float> velocity;
  std::vector<std::int32_t> folds;
  Diagonals() : excluded(rays * gates), velocity(rays * gates, 0.1F), folds(rays * gates, 0) {
    for (std::size_t at = 0; at < rays * gates; ++at) excluded[at] = (at / gates + at % gates) % 3 != 0;
  }
  std::size_t repair(bool wrap, std::vector<std::int32_t>& out) const {
    const Sweep<float, std::int32_t> sweep{excluded.data(), velocity.data(), folds.data(), rays, gates, 8.0, wrap};
    out.assign(rays * gates, -7);
    const auto groups = vornak::speckle::lifted_groups(sweep, out.data());
    const std::vector<std::uint8_t> about_zero(groups.list.size(), 1);
    return vornak::speckle::put_back(sweep, groups, about_zero, out.data());
  }
};

TEST(Speckle, ALoneRaisedGateGoesBackAndRaisedSurroundingsKeepIt) {
  Diagonals sweep;
  std::vector<std::int32_t> out;
  for (const std::size_t at : {std::size_t{0}, std::size_t{29 * 40 + 37}, std::size_t{21 * 40 + 39}}) {  // edges
    sweep.folds.assign(sweep.folds.size(), 0);
    sweep.folds[at] = 1;  // valid: on a diagonal
    for (const bool wrap : {false, true}) {
      EXPECT_EQ(sweep.repair(wrap, out), 1u);
      EXPECT_EQ(out, std::vector<std::int32_t>(out.size(), 0));
    }
  }
  sweep.folds.assign(sweep.folds.size(), 1);
  EXPECT_EQ(sweep.repair(true, out), 0u);
  EXPECT_EQ(out, sweep.folds);
}

TEST(GateValues, CodesBoundAndUnfold) {
  const std::vector<double> values{1.0, -9999.0, 250.0, -64.5, 3.0, std::nan(""), 1e300};
  const std::vector<double> codes{-9999.0, -64.5};  // one missing-value code, one flag code
  std::vector<std::uint8_t> excluded(values.size());
  std::vector<float> single(values.size());
  EXPECT_EQ(vornak::gates::codes_and_bound<double>(values, 200.0, codes, 1, excluded, single), 3u);  // not the flag, nor NaN
  EXPECT_EQ(excluded, (std::vector<std::uint8_t>{0, 1, 1, 1, 0, 1, 1}));
  EXPECT_EQ(single[4], 3.0F);
  const std::vector<float> velocity{1.5F, -2.0F, 7.0F};
  const std::vector<std::int64_t> folds{1, -2, 0};
  const std::uint8_t mask[3] = {0, 0, 1};
  std::vector<float> out(3);
  vornak::gates::unfold<float, std::int64_t>(velocity, folds.data(), mask, 16.5, out);
  EXPECT_EQ(out[0], 18.0F);
  EXPECT_EQ(out[1], -35.0F);
  EXPECT_TRUE(std::isnan(out[2]));
}

}  // namespace
