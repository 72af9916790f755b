#pragma once

// Latencies in 1 µs steps up to 100 ms, the rest in one overflow bucket: fine
// enough for a fan-out of a few µs per node, and a fixed size whatever the
// number of samples, so a long run costs no more memory than a short one.

#include <cstdint>
#include <vector>

namespace mirx::bench {

class histogram {
 public:
  static constexpr std::int64_t step_ns = 1000;
  static constexpr std::size_t buckets = 100000;  // up to 100 ms

  histogram() : counts_(buckets + 1, 0) {}

  void add(std::int64_t ns);
  void merge(const histogram& other);
  void clear();
  std::uint64_t count() const { return total_; }
  // The latency below which `fraction` (0..1) of the samples lie, in ns: the
  // upper edge of the bucket that holds it; 0 without samples. Samples past
  // the last bucket count as 100 ms, so a p99 of 100 ms means "at least".
  std::int64_t percentile(double fraction) const;

 private:
  std::vector<std::uint64_t> counts_;
  std::uint64_t total_ = 0;
};

}  // namespace mirx::bench
