#include "driver/rate_search.h"

#include <algorithm>

namespace mirx::bench {

rate_search::rate_search(double start, double ceiling, int bisections, int max_trials)
    : next_(start), ceiling_(ceiling), bisections_left_(bisections), trials_left_(max_trials) {}

void rate_search::record(bool passed) {
  if (done_) return;
  const double tried = next_;
  if (passed) {
    best_ = std::max(best_, tried);
  } else {
    failed_ = failed_ == 0 ? tried : std::min(failed_, tried);
  }
  --trials_left_;
  if (failed_ == 0) {  // still doubling
    next_ = std::min(tried * 2, ceiling_);
    done_ = tried >= ceiling_ || trials_left_ <= 0;
    return;
  }
  // Bisecting between the best pass (or nothing) and the lowest failure.
  next_ = best_ > 0 ? (best_ + failed_) / 2 : tried / 2;
  done_ = bisections_left_-- <= 0 || trials_left_ <= 0 || next_ < 1;
}

}  // namespace mirx::bench
