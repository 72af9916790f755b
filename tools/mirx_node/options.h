#pragma once

// The command line of mirx_node: a command, then options read by the tools'
// shared parser. All checks that need no network happen here, so that a bad
// call sign, port or address is refused before anything is sent.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "mirx_node/position_report.h"

namespace mirx::node_tool {

enum class command { help, register_node, listen, transmit, disconnect, link, unlink };

struct options {
  command cmd = command::help;
  std::string server;
  std::string call1;  // the node's call sign; transmit registers only when given
  std::string call2 = "MIRXNODE";
  bool call2_given = false;
  std::string bind = "0.0.0.0";
  std::uint16_t in_port = 39999;   // where the server receives
  std::uint16_t out_port = 39998;  // where the server sends: this node's own port
  bool in_port_given = false, out_port_given = false;
  // DExtra: --server is a reflector, --call1 this client's call sign and
  // `module` both the module asked for and the client's own module letter.
  bool dextra = false;
  char module = 'A';
  std::string reflector;  // empty: named by its keepalive
  std::string my_call;
  std::string your_call = "CQCQCQ";
  std::string text;
  std::string position;  // raw D-PRS bytes
  std::optional<fix> gps;
  std::optional<aprs_request> aprs;
  std::optional<std::size_t> frames;
  bool flat_out = false;
  bool stay_registered = false;
  int timeout_ms = 2000;
};

// Either the options or, when `error` is not empty, why they were refused.
struct parse_result {
  options opts;
  std::string error;
};

parse_result parse_command_line(int argc, const char* const* argv);

extern const char usage_text[];

}  // namespace mirx::node_tool
