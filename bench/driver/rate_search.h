#pragma once

// Finds the highest input rate a relay passes: doubling from a start rate
// until a trial fails, then halving the gap between the best pass and the
// lowest failure a fixed number of times. At most `max_trials` trials.

namespace mirx::bench {

class rate_search {
 public:
  rate_search(double start, double ceiling, int bisections, int max_trials = 24);
  bool done() const { return done_; }
  double next() const { return next_; }
  void record(bool passed);
  double best() const { return best_; }  // 0 when no trial passed

 private:
  double best_ = 0;    // highest rate that passed
  double failed_ = 0;  // lowest rate that failed; 0 before the first failure
  double next_;
  double ceiling_;
  int bisections_left_;
  int trials_left_;
  bool done_ = false;
};

}  // namespace mirx::bench
