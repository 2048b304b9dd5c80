// The poll's round-trip statistics: bounded however long a poll runs, and still right.
#include <gtest/gtest.h>

#include <cstdint>

#include "stats.h"

namespace varno::tool {
namespace {

TEST(RoundTripStats, ExactWhileSmall) {
  RoundTripStats stats;
  for (const double ms : {5.0, 1.0, 3.0, 2.0}) stats.add(ms);
  EXPECT_EQ(stats.count(), 4u);
  EXPECT_EQ(stats.min(), 1.0);
  EXPECT_EQ(stats.max(), 5.0);
  EXPECT_EQ(stats.median(), 2.5);
}

TEST(RoundTripStats, MemoryStaysBoundedAndTheMedianClose) {
  RoundTripStats stats;
  std::size_t most = 0;
  // Two million round trips, 0.5 ms to 20.5 ms, evenly spread: the median is 10.5 ms.
  for (std::uint64_t i = 0; i < 2'000'000; ++i) {
    stats.add(0.5 + static_cast<double>((i * 7919) % 20001) / 1000.0);
    if (i % 4096 == 0 && stats.memoryBytes() > most) most = stats.memoryBytes();
  }
  EXPECT_LE(most, 64u * 1024u);
  EXPECT_EQ(stats.count(), 2'000'000u);
  EXPECT_EQ(stats.min(), 0.5);
  EXPECT_EQ(stats.max(), 20.5);
  EXPECT_NEAR(stats.median(), 10.5, 10.5 * 0.006);
}

}  // namespace
}  // namespace varno::tool
