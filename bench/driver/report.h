#pragma once

// The summary lines the driver prints, one per relay and run: what was
// delivered, lost and how late, and the relay's CPU time per delivery, each
// also as a ratio to the reference relay measured in the same run.

#include <string>
#include <vector>

#include "driver/phase.h"

namespace mirx::bench {

struct run_label {
  int nodes;
  int streams;
  double total_pps;
  std::string relay;
};

double cpu_per_delivery_us(const phase_result& r);

// A relay against the reference: the median over the rounds of the ratio
// within each round, so that a noisy spell that hits one round does not
// decide the figure.
struct ratios {
  double cpu = 0;
  double p99 = 0;
};
ratios median_ratios(const std::vector<phase_result>& rounds,
                     const std::vector<phase_result>& reference_rounds);

// `vs_reference` is null for the reference's own line.
std::string run_line(const run_label& label, const phase_result& total, const ratios* vs_reference);

std::string rate_line(int nodes, const std::string& relay, double best_pps,
                      const phase_result& at_best, double reference_best_pps);

}  // namespace mirx::bench
