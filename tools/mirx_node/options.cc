#include "mirx_node/options.h"

#include <cctype>
#include <vector>

#include "cli/options.h"
#include "dextra/dsvt.h"
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
    "DExtra (--server is a reflector; --call1 is this client's call sign):\n"
    "  link        --server HOST --call1 CALL [--module M]    link to module M and show the\n"
    "                                                          answer; the link lapses after\n"
    "                                                          30 s unless unlinked\n"
    "  unlink      --server HOST --call1 CALL --out-port P    unlink the client at port P\n"
    "  listen --dextra --server HOST --call1 CALL [--module M]\n"
    "                                                          link, print the module until\n"
    "                                                          Ctrl-C, then unlink\n"
    "  transmit --dextra --server HOST --call1 CALL --my-call CALL [--module M]\n"
    "              [--reflector CALL] and the options of transmit above but --call2 and\n"
    "              --stay-registered                           link, send one stream, unlink;\n"
    "                                                          no reflector acknowledges, so\n"
    "                                                          whether anybody heard it is\n"
    "                                                          not known\n"
    "  --module M       the module asked for, A to Z, also this client's own (default A)\n"
    "  --reflector CALL the reflector's DExtra name for the header (default: the name\n"
    "                   its keepalives carry)\n"
    "options for every command:\n"
    "  --bind ADDR      local IPv4 address of this node (default 0.0.0.0)\n"
    "  --in-port P      the server's receiving port, InPort (default 39999; DExtra 30001)\n"
    "  --out-port P     this node's own port, the server's OutPort (default 39998;\n"
    "                   DExtra: any free port)\n"
    "  --timeout S      seconds to wait for a reply or acknowledgement (default 2;\n"
    "                   fractions allowed, e.g. 0.3)\n"
    "Options are written --name value or --name=value. Call signs hold at most 8 bytes,\n"
    "the text message 20; DExtra call signs of a client or reflector 3 to 7 letters and\n"
    "digits.\n"
    "exit status: 0 ok (transmit: the server sent the stream to at least one entry of\n"
    "its node table, which proves nothing about a listener; DExtra: the stream was\n"
    "sent); 1 failure; 2 bad command line; 3 transmit was not delivered (the server had\n"
    "no entry to send it to), or a DExtra link was refused (NAK)\n";

namespace {

constexpr unsigned on_register = 1, on_listen = 2, on_transmit = 4, on_disconnect = 8;
constexpr unsigned on_link = 16, on_unlink = 32;
constexpr unsigned on_all =
    on_register | on_listen | on_transmit | on_disconnect | on_link | on_unlink;
constexpr unsigned registering = on_register | on_listen | on_transmit;
constexpr unsigned linking = on_listen | on_transmit | on_link | on_unlink;
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
      {"--call1", true, registering | on_link | on_unlink, call(&options::call1, "--call1")},
      {"--call2", true, registering,
       [&o, set = call(&options::call2, "--call2")](const std::string& v) {
         o.call2_given = true;
         return set(v);
       }},
      {"--bind", true, on_all,
       [&o](const std::string& v) { return cli::ipv4("--bind", v, o.bind); }},
      {"--in-port", true, on_all,
       [&o, set = port(&options::in_port, "--in-port")](const std::string& v) {
         o.in_port_given = true;
         return set(v);
       }},
      {"--out-port", true, on_all,
       [&o, set = port(&options::out_port, "--out-port")](const std::string& v) {
         o.out_port_given = true;
         return set(v);
       }},
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
      {"--dextra", false, on_listen | on_transmit, flag(&options::dextra)},
      {"--module", true, linking,
       [&o](const std::string& v) {
         if (v.size() != 1 || !std::isalpha(static_cast<unsigned char>(v[0])))
           return "--module wants one letter from A to Z, not \"" + v + "\"";
         o.module = static_cast<char>(std::toupper(static_cast<unsigned char>(v[0])));
         return std::string();
       }},
      {"--reflector", true, on_transmit, text(&options::reflector)},
  };
}

std::optional<std::pair<command, unsigned>> command_named(const std::string& name) {
  if (name == "register") return std::pair{command::register_node, on_register};
  if (name == "listen") return std::pair{command::listen, on_listen};
  if (name == "transmit") return std::pair{command::transmit, on_transmit};
  if (name == "disconnect") return std::pair{command::disconnect, on_disconnect};
  if (name == "link") return std::pair{command::link, on_link};
  if (name == "unlink") return std::pair{command::unlink, on_unlink};
  if (name == "help" || name == "-h" || name == "--help") return std::pair{command::help, on_all};
  return std::nullopt;
}

// A client's or reflector's call sign leaves the 8th byte to the module
// letter.
std::string dextra_call(const char* option, const std::string& call) {
  if (dextra::valid_call_text(call, dextra::call_size - 1)) return "";
  return std::string(option) + " wants a DExtra call sign, 3 to 7 letters and digits, not \"" +
         call + "\"";
}

// What DExtra needs beyond the rest: call signs that strict reflectors take.
std::string check_dextra(const options& o) {
  if (o.call1.empty()) return "--call1 CALL is required";
  if (auto why = dextra_call("--call1", o.call1); !why.empty()) return why;
  if (!o.reflector.empty())
    if (auto why = dextra_call("--reflector", o.reflector); !why.empty()) return why;
  std::uint8_t my[dextra::call_size];
  dextra::put_call(my, o.my_call);
  if (o.cmd == command::transmit && !dextra::plausible_call(my))
    return "--my-call \"" + o.my_call +
           "\" would make a header that reflectors drop: letters, digits and spaces, not three "
           "digits first";
  // From any other port the request would speak for no client.
  if (o.cmd == command::unlink && !o.out_port_given)
    return "unlink needs --out-port P, the port of the client linked";
  if (o.call2_given) return "--call2 does not apply to DExtra";
  if (o.stay_registered) return "--stay-registered does not apply to DExtra";
  return "";
}

// What every command needs before it can run.
std::string check_complete(const options& o) {
  if (o.cmd == command::help) return "";
  if (o.server.empty()) return "--server HOST is required";
  if (o.dextra) {
    if (o.cmd == command::transmit && o.my_call.empty()) return "--my-call CALL is required";
    if (auto why = check_dextra(o); !why.empty()) return why;
  } else if (o.module != 'A' || !o.reflector.empty()) {
    return std::string(o.reflector.empty() ? "--module" : "--reflector") + " needs --dextra";
  }
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
  options& o = r.opts;
  if (o.cmd == command::link || o.cmd == command::unlink) o.dextra = true;
  // A reflector answers at the port a datagram came from, so any free one
  // will do, and a fixed 30001 would clash with a reflector on this machine.
  if (o.dextra && !o.in_port_given) o.in_port = dextra::usual_port;
  if (o.dextra && !o.out_port_given) o.out_port = 0;
  if (r.error.empty()) r.error = check_complete(o);
  return r;
}

}  // namespace mirx::node_tool
