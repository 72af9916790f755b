#pragma once

// The command line of mirx_dashboard. Everything is checked here, before a
// socket is opened or the state file is read.

#include <optional>
#include <string>

#include "dashboard/http_server.h"
#include "dashboard/render.h"
#include "dashboard/state.h"
#include "dashboard/udp_receiver.h"
#include "platform/ipv4.h"

namespace mirx::dashboard {

struct options {
  endpoint listen{0, 39997};  // 0.0.0.0, the server's default LogPort
  endpoint http{address_of(127, 0, 0, 1), 8080};
  source_policy policy;
  std::optional<endpoint> forward;
  std::string state_file;
  view page;
  http_limits limits;
  bool help = false;
};

// The options, or why they were refused (`error` not empty).
struct parsed_options {
  options opts;
  std::string error;
};

parsed_options parse_options(int argc, const char* const* argv);

extern const char usage_text[];

}  // namespace mirx::dashboard
