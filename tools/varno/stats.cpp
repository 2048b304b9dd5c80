#include "stats.h"

#include <algorithm>
#include <cmath>

namespace varno::tool {
namespace {

constexpr double kStep = 1.01;

}  // namespace

std::size_t RoundTripStats::cellOf(double ms) {
  if (!(ms > kFirstMs)) return 0;
  const double cell = std::floor(std::log(ms / kFirstMs) / std::log(kStep));
  return cell >= kCells - 1 ? kCells - 1 : static_cast<std::size_t>(cell);
}

double RoundTripStats::cellMiddle(std::size_t cell) {
  return kFirstMs * std::pow(kStep, static_cast<double>(cell) + 0.5);
}

void RoundTripStats::add(double ms) {
  if (count_ == 0 || ms < min_) min_ = ms;
  if (count_ == 0 || ms > max_) max_ = ms;
  ++count_;
  ++cells_[cellOf(ms)];
  if (count_ <= kExactSamples) {
    exact_.push_back(ms);
  } else if (!exact_.empty()) {
    exact_.clear();
    exact_.shrink_to_fit();
  }
}

double RoundTripStats::median() const {
  if (count_ == 0) return 0;
  if (count_ <= kExactSamples) {
    std::vector<double> sorted = exact_;
    std::sort(sorted.begin(), sorted.end());
    const std::size_t n = sorted.size();
    return n % 2 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
  }
  const std::uint64_t middle = (count_ + 1) / 2;
  std::uint64_t seen = 0;
  for (std::size_t cell = 0; cell < kCells; ++cell) {
    seen += cells_[cell];
    if (seen >= middle) return std::clamp(cellMiddle(cell), min_, max_);
  }
  return max_;
}

std::size_t RoundTripStats::memoryBytes() const {
  return sizeof *this + exact_.capacity() * sizeof(double);
}

}  // namespace varno::tool
