#include "mirx_node/options.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

#include "node/datagrams.h"

namespace mirx::node_tool {

const char usage_text[] =
    "usage: mirx_node COMMAND [options]\n"
    "commands:\n"
    "  register  --server HOST --call1 CALL [--call2 NAME]    register and show the reply\n"
    "  listen    --server HOST --call1 CALL [--call2 NAME]    register, print the conference\n"
    "                                                          until Ctrl-C, then disconnect\n"
    "  transmit  --server HOST --my-call CALL [--your-call CALL] [--text MESSAGE]\n"
    "            [--position TEXT] [--frames N] [--flat-out] [--call1 CALL [--call2 NAME]]\n"
    "                                                          send one stream, report the\n"
    "                                                          acknowledgement\n"
    "options for every command:\n"
    "  --bind ADDR      local IPv4 address of this node (default 0.0.0.0)\n"
    "  --in-port P      the server's receiving port, InPort (default 39999)\n"
    "  --out-port P     this node's own port, the server's OutPort (default 39998)\n"
    "  --timeout S      seconds to wait for a reply or acknowledgement (default 2)\n"
    "exit status: 0 ok; 1 failure; 2 bad command line; 3 transmit was not delivered\n";

namespace {

constexpr unsigned on_register = 1, on_listen = 2, on_transmit = 4, on_all = 7;

// Stores one option's value; returns why it was refused, or nothing.
using setter = std::function<std::string(options&, const std::string&)>;

struct option_rule {
  const char* name;
  bool takes_value;
  unsigned commands;
  setter set;
};

setter plain(std::string options::*field) {
  return [field](options& o, const std::string& v) {
    o.*field = v;
    return std::string();
  };
}

setter call_sign(std::string options::*field, std::string name) {
  return [field, name](options& o, const std::string& v) {
    if (v.size() > call_size)
      return "call sign \"" + v + "\" (" + name + ") is longer than 8 characters";
    o.*field = v;
    return std::string();
  };
}

template <typename T>
std::optional<T> whole_number(const std::string& text, T low, T high) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

setter port(std::uint16_t options::*field, std::string name) {
  return [field, name](options& o, const std::string& v) {
    const auto number = whole_number<unsigned>(v, 1, 65535);
    if (!number) return name + " wants a port number from 1 to 65535, not \"" + v + "\"";
    o.*field = static_cast<std::uint16_t>(*number);
    return std::string();
  };
}

std::string set_timeout(options& o, const std::string& value) {
  char* end = nullptr;
  const double seconds = std::strtod(value.c_str(), &end);
  if (value.empty() || *end != '\0' || !(seconds > 0) || seconds > 3600)
    return "--timeout wants seconds above 0 and up to 3600, not \"" + value + "\"";
  o.timeout_ms = std::max(1, static_cast<int>(std::lround(seconds * 1000)));
  return std::string();
}

std::string set_text(options& o, const std::string& value) {
  if (value.size() > 20) return "text message \"" + value + "\" is longer than 20 characters";
  o.text = value;
  return std::string();
}

std::string set_frames(options& o, const std::string& value) {
  o.frames = whole_number<std::size_t>(value, 1, 1000000);
  if (!o.frames) return "--frames wants a number from 1 to 1000000, not \"" + value + "\"";
  return std::string();
}

std::string set_flat_out(options& o, const std::string&) {
  o.flat_out = true;
  return std::string();
}

const std::vector<option_rule>& option_rules() {
  static const std::vector<option_rule> all = {
      {"--server", true, on_all, plain(&options::server)},
      {"--call1", true, on_all, call_sign(&options::call1, "--call1")},
      {"--call2", true, on_all, call_sign(&options::call2, "--call2")},
      {"--bind", true, on_all, plain(&options::bind)},
      {"--in-port", true, on_all, port(&options::in_port, "--in-port")},
      {"--out-port", true, on_all, port(&options::out_port, "--out-port")},
      {"--timeout", true, on_all, set_timeout},
      {"--my-call", true, on_transmit, call_sign(&options::my_call, "--my-call")},
      {"--your-call", true, on_transmit, call_sign(&options::your_call, "--your-call")},
      {"--text", true, on_transmit, set_text},
      {"--position", true, on_transmit, plain(&options::position)},
      {"--frames", true, on_transmit, set_frames},
      {"--flat-out", false, on_transmit, set_flat_out},
  };
  return all;
}

std::optional<std::pair<command, unsigned>> command_named(const std::string& name) {
  if (name == "register") return std::pair{command::register_node, on_register};
  if (name == "listen") return std::pair{command::listen, on_listen};
  if (name == "transmit") return std::pair{command::transmit, on_transmit};
  if (name == "help" || name == "-h" || name == "--help") return std::pair{command::help, on_all};
  return std::nullopt;
}

// What every command needs before it can run.
std::string check_complete(const options& o) {
  if (o.cmd == command::help) return "";
  if (o.server.empty()) return "--server HOST is required";
  if (o.cmd != command::transmit && o.call1.empty()) return "--call1 CALL is required";
  if (o.cmd == command::transmit && o.my_call.empty()) return "--my-call CALL is required";
  return "";
}

}  // namespace

parse_result parse_command_line(int argc, const char* const* argv) {
  parse_result r;
  if (argc < 2) return {r.opts, "no command given"};
  const auto cmd = command_named(argv[1]);
  if (!cmd) return {r.opts, std::string("unknown command \"") + argv[1] + "\""};
  r.opts.cmd = cmd->first;
  for (int i = 2; i < argc; ++i) {
    std::string name = argv[i], value;
    const std::size_t eq = name.find('=');
    const bool inline_value = name.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_value) value = name.substr(eq + 1), name.resize(eq);
    const option_rule* rule = nullptr;
    for (const option_rule& s : option_rules())
      if (name == s.name) rule = &s;
    if (rule == nullptr) return {r.opts, "unknown option \"" + name + "\""};
    if ((rule->commands & cmd->second) == 0)
      return {r.opts, name + " does not apply to " + argv[1]};
    if (rule->takes_value && !inline_value) {
      if (i + 1 >= argc) return {r.opts, name + " needs a value"};
      value = argv[++i];
    }
    if (std::string why = rule->set(r.opts, value); !why.empty()) return {r.opts, why};
  }
  r.error = check_complete(r.opts);
  return r;
}

}  // namespace mirx::node_tool
