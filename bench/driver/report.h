#pragma once

// The summary lines the driver prints, one per relay and run: what was
// delivered, lost and how late, and the relay's CPU time per delivery, each
// also as a ratio to the reference relay measured in the same run.

#include <string>

#include "driver/phase.h"

namespace mirx::bench {

struct run_label {
  int nodes;
  int streams;
  double total_pps;
  std::string relay;
};

double cpu_per_delivery_us(const phase_result& r);

// `reference` is null for the reference's own line.
std::string run_line(const run_label& label, const phase_result& r, const phase_result* reference);

std::string rate_line(int nodes, const std::string& relay, double best_pps,
                      const phase_result& at_best, double reference_best_pps);

}  // namespace mirx::bench
