// Core buffers: addressable sizes are checked, exhausted memory aborts.
#include "vornak/buffer.hpp"

#include <gtest/gtest.h>

#include <algorithm>

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

TEST(Buffer, LargeBuffersAreZeroedAndWritableToTheLastByte) {
  // Large blocks take their own allocation path (aligned, huge pages asked
  // for): every byte must still be there, zeroed, and independent.
  for (const std::size_t bytes : {(std::size_t{2} << 20) - 1, std::size_t{2} << 20,
                                  (std::size_t{5} << 20) + 3}) {
    Buffer<unsigned char> large = zeros<unsigned char>(bytes);
    Buffer<unsigned char> other = filled<unsigned char>(bytes, 7);
    ASSERT_EQ(large.size(), bytes);
    EXPECT_EQ(std::count(large.begin(), large.end(), 0), static_cast<std::ptrdiff_t>(bytes));
    for (std::size_t i = 0; i < bytes; ++i) large[i] = static_cast<unsigned char>(i * 31);
    for (std::size_t i = 0; i < bytes; ++i) {
      ASSERT_EQ(large[i], static_cast<unsigned char>(i * 31)) << i;
    }
    EXPECT_EQ(std::count(other.begin(), other.end(), 7), static_cast<std::ptrdiff_t>(bytes));
  }
}

TEST(BufferDeathTest, ExhaustedMemoryAbortsWithOneLine) {
  // Addressable but far beyond any machine's memory.
  EXPECT_DEATH((void)zeros<char>(std::size_t{1} << 62),
               "memory allocation of 4611686018427387904 bytes failed\n");
}

}  // namespace
}  // namespace vornak
