// Round-trip statistics in bounded memory, for a poll that may run for days: the exact minimum
// and maximum, and the median, exact for the first kExactSamples round trips and from then on
// read from a histogram whose cells are 1% wide (so within 0.5% of the true median).
#ifndef VARNO_TOOL_STATS_H
#define VARNO_TOOL_STATS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace varno::tool {

class RoundTripStats {
 public:
  static constexpr std::size_t kExactSamples = 4096;

  void add(double ms);
  std::uint64_t count() const { return count_; }
  double min() const { return min_; }
  double max() const { return max_; }
  double median() const;  // 0 when empty
  // What the statistics hold, in bytes: never more than a fixed amount, however many were added.
  std::size_t memoryBytes() const;

 private:
  // Cell i holds round trips in [kFirst * kStep^i, kFirst * kStep^(i+1)); the first and the last
  // also everything below and above.
  static constexpr double kFirstMs = 0.001;
  static constexpr std::size_t kCells = 2200;  // 1 µs to beyond 10^6 s at 1% steps
  static std::size_t cellOf(double ms);
  static double cellMiddle(std::size_t cell);

  std::uint64_t count_ = 0;
  double min_ = 0;
  double max_ = 0;
  std::vector<double> exact_;
  std::array<std::uint64_t, kCells> cells_{};
};

}  // namespace varno::tool

#endif  // VARNO_TOOL_STATS_H
