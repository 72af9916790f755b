#include "driver/histogram.h"

#include <algorithm>
#include <cmath>

namespace mirx::bench {

void histogram::add(std::int64_t ns) {
  // A negative latency is a clock step between sender and kernel stamp: it
  // counts as the smallest one rather than being lost.
  const std::int64_t bucket = std::max<std::int64_t>(ns, 0) / step_ns;
  ++counts_[static_cast<std::size_t>(std::min<std::int64_t>(bucket, buckets))];
  ++total_;
}

void histogram::merge(const histogram& other) {
  for (std::size_t i = 0; i < counts_.size(); ++i) counts_[i] += other.counts_[i];
  total_ += other.total_;
}

void histogram::clear() {
  std::fill(counts_.begin(), counts_.end(), 0);
  total_ = 0;
}

std::int64_t histogram::percentile(double fraction) const {
  if (total_ == 0) return 0;
  const auto rank = static_cast<std::uint64_t>(
      std::ceil(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(total_)));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < counts_.size(); ++i) {
    seen += counts_[i];
    if (seen >= std::max<std::uint64_t>(rank, 1))
      return static_cast<std::int64_t>(std::min(i + 1, buckets)) * step_ns;
  }
  return static_cast<std::int64_t>(buckets) * step_ns;
}

}  // namespace mirx::bench
