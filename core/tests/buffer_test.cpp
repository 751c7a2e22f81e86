// Core buffers: addressable sizes are checked, exhausted memory aborts.
#include "vornak/buffer.hpp"

#include <gtest/gtest.h>

#include "vornak/grid.hpp"

namespace vornak {
namespace {

TEST(Buffer, UnaddressableSizesAreTheCapacityFailure) {
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)zeros<double>(max_elements<double> + 1), Failure);
  EXPECT_THROW((void)filled<std::int32_t>(std::numeric_limits<std::size_t>::max(), 1), Failure);
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("capacity overflow"), std::string::npos);
}

TEST(Buffer, GateCountRejectsGridsBeyondSignedIndices) {
  EXPECT_EQ(gate_count(0, std::numeric_limits<std::size_t>::max()), 0u);
  EXPECT_EQ(gate_count(46340, 46340), 46340u * 46340u);
  testing::internal::CaptureStderr();
  EXPECT_THROW((void)gate_count(65536, 32768), Failure);  // exactly 2^31
  (void)testing::internal::GetCapturedStderr();
}

TEST(BufferDeathTest, ExhaustedMemoryAbortsWithOneLine) {
  // Addressable but far beyond any machine's memory.
  EXPECT_DEATH((void)zeros<char>(std::size_t{1} << 62),
               "memory allocation of 4611686018427387904 bytes failed\n");
}

}  // namespace
}  // namespace vornak
