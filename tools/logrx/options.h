#pragma once

// The command line of mirx_logrx, read by the tools' shared parser.

#include <cstdint>
#include <string>

namespace mirx::logrx {

struct options {
  std::uint16_t port = 39997;
  std::string bind = "0.0.0.0";
  long long count = 0;  // 0: no limit
  int timeout_ms = 0;   // 0: no limit
  bool help = false;
};

struct parse_result {
  options opts;
  std::string error;  // empty: the options are good
};

parse_result parse_command_line(int argc, const char* const* argv);

extern const char usage_text[];

}  // namespace mirx::logrx
