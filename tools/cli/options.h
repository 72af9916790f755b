#pragma once

// The command-line reader of the tools: one parser and one style of message
// for mirx_node and mirx_logrx. Options are "--name value" or "--name=value";
// a fault is one short sentence naming the option (and the value) at fault,
// which the tool prints after its own name before ending with exit_usage.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace mirx::cli {

// The exit status of a bad command line, the same for every tool.
inline constexpr int exit_usage = 2;

// Takes an option's value (empty for a switch); returns why it was refused,
// or an empty text.
using setter = std::function<std::string(const std::string& value)>;

struct option {
  std::string name;  // "--port"
  bool takes_value = true;
  unsigned scope = ~0u;  // the commands it applies to, one bit each
  setter set;
};

// Reads argv[first] to argv[argc - 1] against `table` for the command whose
// bit is `scope` and whose name, for messages, is `command`. Returns the
// first fault, or an empty text.
std::string parse(int argc, const char* const* argv, int first, const std::vector<option>& table,
                  unsigned scope = ~0u, const std::string& command = "");

// Value readers: each stores the value and returns an empty text, or returns
// the fault without storing anything.
std::string whole_number(const std::string& option, const std::string& value, long long low,
                         long long high, long long& out);
std::string port(const std::string& option, const std::string& value, std::uint16_t& out,
                 bool zero_allowed = false);
// Seconds, fractions allowed, above 0 and up to `max`; kept in milliseconds.
std::string seconds(const std::string& option, const std::string& value, double max, int& out_ms);
// A dotted IPv4 address, read strictly: four decimal numbers 0..255, no
// leading zeros ("010" reads as octal to some and decimal to others).
std::string ipv4(const std::string& option, const std::string& value, std::string& out);
// A text that must fit a field of `limit` bytes; `what` names it ("call
// sign"). Lengths are bytes, as the field holds them, whatever the encoding.
std::string fitting(const std::string& what, const std::string& option, const std::string& value,
                    std::size_t limit, std::string& out);

// Prints "PROGRAM: message" and the hint to the usage on standard error;
// returns exit_usage.
int refuse(const char* program, const std::string& message);

}  // namespace mirx::cli
