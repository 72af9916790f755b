#pragma once

// A DExtraLink line: "CALL M HOST[:PORT]", the reflector to link to, the
// module asked for and where it listens.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace mirx::dextra {

struct link_target {
  std::string call;  // the reflector's DExtra call sign, 3..7 characters
  char module = 'A';
  std::string host;
  std::uint16_t port = 0;  // usual_port when the line names none
};

// Nothing when the line is not of that form: a call sign, one module letter
// A..Z, a host name and an optional port 1..65535, separated by spaces.
std::optional<link_target> parse_link_target(std::string_view line);

}  // namespace mirx::dextra
