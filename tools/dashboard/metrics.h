#pragma once

// The Prometheus text of /metrics: the state's figures and the HTTP side's.

#include <cstdint>
#include <string>

#include "dashboard/render.h"
#include "dashboard/state.h"

namespace mirx::dashboard {

// What the HTTP side reports beside the state.
struct serving_figures {
  int streams = 0;                    // open event streams
  std::uint64_t streams_refused = 0;  // event streams answered 503, since start
};

// The whole text: what the state gives, then the HTTP side's figures. The
// first part changes only with the state, so it is built once per change
// and shared; the second is a few lines made per answer.
std::string metrics_text(const state& s, const view& v, const serving_figures& serving);
std::string metrics_state_text(const state& s, const view& v);
std::string metrics_serving_text(const serving_figures& serving);

}  // namespace mirx::dashboard
