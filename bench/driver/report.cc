#include "driver/report.h"

#include <algorithm>
#include <cstdio>

namespace mirx::bench {
namespace {

double ms(std::int64_t ns) {
  return static_cast<double>(ns) / 1e6;
}

double ratio(double a, double b) {
  return b > 0 ? a / b : 0;
}

}  // namespace

double cpu_per_delivery_us(const phase_result& r) {
  return r.got.relayed == 0 ? 0 : static_cast<double>(r.cpu_ns) / 1e3 / r.got.relayed;
}

double median(std::vector<double> v) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  const std::size_t m = v.size() / 2;
  return v.size() % 2 == 1 ? v[m] : (v[m - 1] + v[m]) / 2;
}

ratios median_ratios(const std::vector<phase_result>& rounds,
                     const std::vector<phase_result>& reference_rounds) {
  std::vector<double> cpu, p99;
  for (std::size_t i = 0; i < rounds.size() && i < reference_rounds.size(); ++i) {
    cpu.push_back(ratio(cpu_per_delivery_us(rounds[i]), cpu_per_delivery_us(reference_rounds[i])));
    p99.push_back(ratio(static_cast<double>(rounds[i].got.latency.percentile(0.99)),
                        static_cast<double>(reference_rounds[i].got.latency.percentile(0.99))));
  }
  return {median(cpu), median(p99)};
}

std::string run_line(const run_label& l, const phase_result& r, const ratios* vs) {
  char text[512];
  const std::int64_t p99 = r.got.latency.percentile(0.99);
  int n = std::snprintf(
      text, sizeof text,
      "run N=%d S=%d in=%.0f/s %-10s dlv/s=%.0f loss=%.3f%% p50=%.3fms p99=%.3fms "
      "cpu/dlv=%.3fus drops=%llu%s",
      l.nodes, l.streams, l.total_pps, l.relay.c_str(),
      r.seconds > 0 ? static_cast<double>(r.got.relayed) / r.seconds : 0, 100 * r.loss(),
      ms(r.got.latency.percentile(0.5)), ms(p99), cpu_per_delivery_us(r),
      static_cast<unsigned long long>(r.in_drops), r.settled ? "" : " UNSETTLED");
  if (vs != nullptr && n > 0 && n < static_cast<int>(sizeof text))
    std::snprintf(text + n, sizeof text - static_cast<std::size_t>(n),
                  "  vs ref: cpu x%.2f p99 x%.2f", vs->cpu, vs->p99);
  return text;
}

std::string rate_line(int nodes, const std::string& relay, double best, const phase_result& r,
                      double reference_best) {
  char text[512];
  std::snprintf(text, sizeof text,
                "max N=%d S=5 %-10s in=%.0f/s dlv/s=%.0f loss=%.3f%% p99=%.3fms "
                "cpu/dlv=%.3fus  vs ref: rate x%.2f",
                nodes, relay.c_str(), best,
                r.seconds > 0 ? static_cast<double>(r.got.relayed) / r.seconds : 0, 100 * r.loss(),
                ms(r.got.latency.percentile(0.99)), cpu_per_delivery_us(r),
                ratio(best, reference_best));
  return text;
}

}  // namespace mirx::bench
