#include <gtest/gtest.h>

#include <vector>

#include "driver/histogram.h"
#include "driver/node_farm.h"
#include "driver/rate_search.h"
#include "nodelib/udp_endpoint.h"

namespace mirx::bench {
namespace {

TEST(histogram, PercentilesAreUpperBucketEdgesAndOverflowSaturates) {
  histogram h;
  EXPECT_EQ(h.percentile(0.99), 0);          // no samples
  for (int i = 0; i < 99; ++i) h.add(1500);  // 1.5 µs: second bucket
  h.add(250000000);                          // 250 ms: past the last bucket
  EXPECT_EQ(h.count(), 100u);
  EXPECT_EQ(h.percentile(0.5), 2000);
  EXPECT_EQ(h.percentile(0.99), 2000);
  EXPECT_EQ(h.percentile(1.0), 100000000);
  h.add(-5);  // a clock step: counted as the smallest
  EXPECT_EQ(h.percentile(0.0), 1000);

  histogram other;
  for (int i = 0; i < 200; ++i) other.add(7200);
  h.merge(other);
  EXPECT_EQ(h.count(), 301u);
  EXPECT_EQ(h.percentile(0.5), 8000);
  h.clear();
  EXPECT_EQ(h.count(), 0u);
}

// Feeds a search from a relay that passes every rate up to `capacity`.
std::vector<double> trials(rate_search s, double capacity, double* best) {
  std::vector<double> tried;
  for (int i = 0; i < 100 && !s.done(); ++i) {
    tried.push_back(s.next());
    s.record(s.next() <= capacity);
  }
  *best = s.best();
  return tried;
}

TEST(rate_search, DoublesThenBisectsAndStopsByItself) {
  struct row {
    double capacity;
    std::vector<double> tried;
    double best;
  };
  const row rows[] = {
      // Doubling 250, 500, 1000 (fails), then halving the gap twice.
      {700, {250, 500, 1000, 750, 625}, 625},
      // Never fails: stops at the ceiling.
      {1e9, {250, 500, 1000, 2000}, 2000},
      // Fails at once: halves downwards, and may find nothing.
      {100, {250, 125, 62.5}, 62.5},
      {10, {250, 125, 62.5}, 0},
  };
  for (const row& r : rows) {
    double best = -1;
    EXPECT_EQ(trials(rate_search(250, 2000, 2), r.capacity, &best), r.tried) << r.capacity;
    EXPECT_EQ(best, r.best) << r.capacity;
  }
}

TEST(node_address, ThousandNodesOnDistinctLoopbackAddresses) {
  EXPECT_EQ(nodes::dotted(node_address(0)), "127.0.1.1");
  EXPECT_EQ(nodes::dotted(node_address(249)), "127.0.1.250");
  EXPECT_EQ(nodes::dotted(node_address(250)), "127.0.2.1");
  EXPECT_EQ(nodes::dotted(node_address(999)), "127.0.4.250");
}

}  // namespace
}  // namespace mirx::bench
