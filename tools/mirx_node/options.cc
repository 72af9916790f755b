#include "mirx_node/options.h"

#include <vector>

#include "cli/options.h"
#include "node/datagrams.h"

namespace mirx::node_tool {

const char usage_text[] =
    "usage: mirx_node COMMAND [options]\n"
    "commands:\n"
    "  register    --server HOST --call1 CALL [--call2 NAME]  register and show the reply;\n"
    "                                                          the node stays registered\n"
    "  disconnect  --server HOST                              take this node's address off\n"
    "                                                          the server\n"
    "  listen      --server HOST --call1 CALL [--call2 NAME]  register, print the conference\n"
    "                                                          until Ctrl-C, then disconnect\n"
    "  transmit    --server HOST --my-call CALL [--your-call CALL] [--text MESSAGE]\n"
    "              [--position BYTES | --gps LAT,LON[,ALT] | --aprs LAT,LON[,SYMBOL][,COMMENT]]\n"
    "              [--frames N] [--flat-out] [--call1 CALL [--call2 NAME] [--stay-registered]]\n"
    "                                                          send one stream, report the\n"
    "                                                          acknowledgement; a node\n"
    "                                                          registered with --call1 is\n"
    "                                                          disconnected afterwards\n"
    "options for every command:\n"
    "  --bind ADDR      local IPv4 address of this node (default 0.0.0.0)\n"
    "  --in-port P      the server's receiving port, InPort (default 39999)\n"
    "  --out-port P     this node's own port, the server's OutPort (default 39998)\n"
    "  --timeout S      seconds to wait for a reply or acknowledgement (default 2;\n"
    "                   fractions allowed, e.g. 0.3)\n"
    "Options are written --name value or --name=value. Call signs hold at most 8 bytes,\n"
    "the text message 20.\n"
    "exit status: 0 ok (transmit: the server sent the stream to at least one entry of\n"
    "its node table, which proves nothing about a listener); 1 failure; 2 bad command\n"
    "line; 3 transmit was not delivered (the server had no entry to send it to)\n";

namespace {

constexpr unsigned on_register = 1, on_listen = 2, on_transmit = 4, on_disconnect = 8;
constexpr unsigned on_all = on_register | on_listen | on_transmit | on_disconnect;
constexpr unsigned registering = on_register | on_listen | on_transmit;
constexpr std::size_t position_most = 256;  // bytes of --position

std::vector<cli::option> option_table(options& o) {
  const auto text = [&o](std::string options::*field) {
    return [&o, field](const std::string& v) {
      o.*field = v;
      return std::string();
    };
  };
  const auto call = [&o](std::string options::*field, std::string name) {
    return [&o, field, name](const std::string& v) {
      return cli::fitting("call sign", name, v, call_size, o.*field);
    };
  };
  const auto port = [&o](std::uint16_t options::*field, std::string name) {
    return [&o, field, name](const std::string& v) { return cli::port(name, v, o.*field); };
  };
  const auto flag = [&o](bool options::*field) {
    return [&o, field](const std::string&) {
      o.*field = true;
      return std::string();
    };
  };
  return {
      {"--help", false, on_all,
       [&o](const std::string&) {
         o.cmd = command::help;
         return std::string();
       }},
      {"--server", true, on_all, text(&options::server)},
      {"--call1", true, registering, call(&options::call1, "--call1")},
      {"--call2", true, registering,
       [&o, set = call(&options::call2, "--call2")](const std::string& v) {
         o.call2_given = true;
         return set(v);
       }},
      {"--bind", true, on_all,
       [&o](const std::string& v) { return cli::ipv4("--bind", v, o.bind); }},
      {"--in-port", true, on_all, port(&options::in_port, "--in-port")},
      {"--out-port", true, on_all, port(&options::out_port, "--out-port")},
      {"--timeout", true, on_all,
       [&o](const std::string& v) { return cli::seconds("--timeout", v, 3600, o.timeout_ms); }},
      {"--my-call", true, on_transmit, call(&options::my_call, "--my-call")},
      {"--your-call", true, on_transmit, call(&options::your_call, "--your-call")},
      {"--text", true, on_transmit,
       [&o](const std::string& v) {
         return cli::fitting("text message", "--text", v, 20, o.text);
       }},
      // More would only make a longer transmission: a radio's report of
      // three NMEA sentences and a message line is about 200 bytes.
      {"--position", true, on_transmit,
       [&o](const std::string& v) {
         return cli::fitting("position", "--position", v, position_most, o.position);
       }},
      {"--gps", true, on_transmit,
       [&o](const std::string& v) { return read_gps("--gps", v, o.gps.emplace()); }},
      {"--aprs", true, on_transmit,
       [&o](const std::string& v) { return read_aprs("--aprs", v, o.aprs.emplace()); }},
      {"--frames", true, on_transmit,
       [&o](const std::string& v) {
         long long n = 0;
         std::string why = cli::whole_number("--frames", v, 1, 1000000, n);
         if (why.empty()) o.frames = static_cast<std::size_t>(n);
         return why;
       }},
      {"--flat-out", false, on_transmit, flag(&options::flat_out)},
      {"--stay-registered", false, on_transmit, flag(&options::stay_registered)},
  };
}

std::optional<std::pair<command, unsigned>> command_named(const std::string& name) {
  if (name == "register") return std::pair{command::register_node, on_register};
  if (name == "listen") return std::pair{command::listen, on_listen};
  if (name == "transmit") return std::pair{command::transmit, on_transmit};
  if (name == "disconnect") return std::pair{command::disconnect, on_disconnect};
  if (name == "help" || name == "-h" || name == "--help") return std::pair{command::help, on_all};
  return std::nullopt;
}

// What every command needs before it can run.
std::string check_complete(const options& o) {
  if (o.cmd == command::help) return "";
  if (o.server.empty()) return "--server HOST is required";
  const bool transmit = o.cmd == command::transmit;
  if ((o.cmd == command::register_node || o.cmd == command::listen) && o.call1.empty())
    return "--call1 CALL is required";
  if (transmit && o.my_call.empty()) return "--my-call CALL is required";
  if (!o.position.empty() + o.gps.has_value() + o.aprs.has_value() > 1)
    return "--position, --gps and --aprs exclude each other";
  if (o.aprs && !aprs_source(o.my_call))
    return "--aprs needs a --my-call that makes an APRS call sign (letters and digits, an "
           "optional SSID), not \"" +
           o.my_call + "\"";
  if (o.stay_registered && o.call1.empty()) return "--stay-registered needs --call1";
  // Without --call1 transmit registers nothing, so a name for it would be
  // dropped without a word.
  if (o.call2_given && o.call1.empty()) return "--call2 needs --call1";
  return "";
}

}  // namespace

parse_result parse_command_line(int argc, const char* const* argv) {
  parse_result r;
  if (argc < 2) return {r.opts, "no command given"};
  const auto cmd = command_named(argv[1]);
  if (!cmd) return {r.opts, std::string("unknown command \"") + argv[1] + "\""};
  r.opts.cmd = cmd->first;
  r.error = cli::parse(argc, argv, 2, option_table(r.opts), cmd->second, argv[1]);
  if (r.error.empty()) r.error = check_complete(r.opts);
  return r;
}

}  // namespace mirx::node_tool
