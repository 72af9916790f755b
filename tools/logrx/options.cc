#include "logrx/options.h"

#include <vector>

#include "cli/options.h"

namespace mirx::logrx {

const char usage_text[] =
    "usage: mirx_logrx [--port P] [--bind ADDR] [--count N] [--timeout S]\n"
    "  --port P     UDP port to listen on (default 39997; 0: any free port)\n"
    "  --bind ADDR  IPv4 address to listen on (default 0.0.0.0)\n"
    "  --count N    exit after N datagrams\n"
    "  --timeout S  exit after S seconds (fractions allowed, e.g. 0.3)\n"
    "  --help       this text\n"
    "Options are written --name value or --name=value.\n"
    "Prints one line per datagram; the port actually used goes to standard error.\n"
    "Exit status: 0, or 1 when the time ran out before N datagrams, 2 on a bad command line\n"
    "or a socket error.\n";

parse_result parse_command_line(int argc, const char* const* argv) {
  parse_result r;
  options& o = r.opts;
  const std::vector<cli::option> table = {
      {"--help", false, ~0u,
       [&o](const std::string&) {
         o.help = true;
         return std::string();
       }},
      {"--port", true, ~0u,
       [&o](const std::string& v) { return cli::port("--port", v, o.port, true); }},
      {"--bind", true, ~0u, [&o](const std::string& v) { return cli::ipv4("--bind", v, o.bind); }},
      {"--count", true, ~0u,
       [&o](const std::string& v) { return cli::whole_number("--count", v, 1, 1 << 30, o.count); }},
      {"--timeout", true, ~0u,
       [&o](const std::string& v) { return cli::seconds("--timeout", v, 1e6, o.timeout_ms); }},
  };
  // "-h" is the one short form, kept from the tool's first versions.
  if (argc == 2 && std::string(argv[1]) == "-h") {
    o.help = true;
    return r;
  }
  r.error = cli::parse(argc, argv, 1, table);
  return r;
}

}  // namespace mirx::logrx
