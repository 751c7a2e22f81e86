// Core buffers: addressable sizes are checked, exhausted memory aborts.
#include "vornak/buffer.hpp"

#include <gtest/gtest.h>

#include "vornak/grid.hpp"
#include "vornak/huge_pages.hpp"

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

TEST(HugeBuffer, LargeTablesAreZeroedWritableToTheirEndAndKeepContentsAsTheyGrow) {
  // 5 MiB and a few bytes: a mapped block with a partial huge page at its end.
  const std::size_t n = (std::size_t{5} << 20) / sizeof(std::int32_t) + 3;
  HugeBuffer<std::int32_t> table = huge_zeros<std::int32_t>(n);
  EXPECT_EQ(table.front(), 0);
  EXPECT_EQ(table.back(), 0);
  for (std::size_t i = 0; i < n; ++i) table[i] = static_cast<std::int32_t>(i);
#if defined(__linux__)
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(table.data()) % (std::size_t{2} << 20), 0u);
#endif
  table.resize(2 * n + 1, -1);  // moves to a larger block
  EXPECT_EQ(table[n - 1], static_cast<std::int32_t>(n - 1));
  EXPECT_EQ(table[2 * n], -1);
  HugeBuffer<std::int32_t> small = huge_zeros<std::int32_t>(5);
  small.push_back(7);
  EXPECT_EQ(small.back(), 7);
}

TEST(HugeBufferDeathTest, ExhaustedMemoryAbortsWithOneLine) {
  EXPECT_DEATH((void)huge_zeros<char>(std::size_t{1} << 62),
               "memory allocation of 4611686018427387904 bytes failed\n");
}

}  // namespace
}  // namespace vornak
