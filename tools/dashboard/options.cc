#include "dashboard/options.h"

#include <utility>
#include <vector>

#include "cli/options.h"
#include "platform/ipv4.h"

namespace mirx::dashboard {

const char usage_text[] =
    "usage: mirx_dashboard [options]\n"
    "  --listen ADDR:PORT      where the server's records arrive (default 0.0.0.0:39997)\n"
    "  --from ADDR             accept records only from ADDR (repeatable; default: any)\n"
    "  --forward HOST:PORT     pass every accepted datagram on unchanged\n"
    "  --http ADDR:PORT        where the page is served (default 127.0.0.1:8080)\n"
    "  --title TEXT            the page's title (default \"mirx conference\")\n"
    "  --show-address MODE     full, network (192.0.2.x) or none (default none)\n"
    "  --state FILE            keep the state across restarts in FILE\n"
    "  --max-streams N         open live-page streams at most (default 64)\n"
    "  --max-streams-per-address N\n"
    "                          of them from one client address (default 8)\n"
    "  --max-connections-per-address N\n"
    "                          open HTTP connections from one client address (default 16)\n"
    "  --request-deadline S    to send a request and read its answer (default 10)\n"
    "  --silence-warning S     warn when no record came for S seconds (default 3600)\n"
    "  --help                  this text\n";

namespace {

// The page's limits: at most a thousand of each, and a year of silence.
constexpr long long most_http_limit = 1000;
constexpr long long most_silence_seconds = 365 * 24 * 3600;

// A whole number from 1 to `high` into `out`; else `bad`, storing nothing.
std::string bounded(const std::string& bad, const std::string& value, long long high, int& out) {
  long long n = 0;
  if (!cli::whole_number("", value, 1, high, n).empty()) return bad;
  out = static_cast<int>(n);
  return "";
}

std::string address_option(const std::string& name, const std::string& value, endpoint& out) {
  const auto e = parse_endpoint(value);
  if (!e) return name + " wants ADDR:PORT with an IPv4 address, not \"" + value + "\"";
  out = *e;
  return "";
}

std::string show_address(const std::string& bad, const std::string& value, view& page) {
  static const std::pair<const char*, address_mode> modes[] = {{"full", address_mode::full},
                                                               {"network", address_mode::network},
                                                               {"none", address_mode::none}};
  for (const auto& [word, mode] : modes) {
    if (value != word) continue;
    page.addresses = mode;
    return "";
  }
  return bad;
}

// Every option's reader. A refused value is "NAME: bad value", except for
// the two addresses, whose form is spelled out.
std::vector<cli::option> option_table(options& o) {
  auto bad = [](const char* name, const std::string& value) {
    return std::string(name) + ": bad value \"" + value + "\"";
  };
  auto limit = [&o, bad](const char* name, int http_limits::*field) {
    return cli::option{name, true, ~0u, [&o, bad, name, field](const std::string& v) {
                         return bounded(bad(name, v), v, most_http_limit, o.limits.*field);
                       }};
  };
  return {
      {"--listen", true, ~0u,
       [&o](const std::string& v) { return address_option("--listen", v, o.listen); }},
      {"--http", true, ~0u,
       [&o](const std::string& v) { return address_option("--http", v, o.http); }},
      {"--from", true, ~0u,
       [&o, bad](const std::string& v) {
         const auto ip = parse_ipv4(v);
         if (!ip) return bad("--from", v);
         o.policy.from.push_back(*ip);
         return std::string();
       }},
      {"--forward", true, ~0u,
       [&o, bad](const std::string& v) {
         o.forward = parse_endpoint(v, true);
         return o.forward && o.forward->port != 0 ? std::string() : bad("--forward", v);
       }},
      {"--title", true, ~0u,
       [&o](const std::string& v) {
         o.page.title = valid_text(v);
         return std::string();
       }},
      {"--show-address", true, ~0u,
       [&o, bad](const std::string& v) {
         return show_address(bad("--show-address", v), v, o.page);
       }},
      {"--state", true, ~0u,
       [&o, bad](const std::string& v) {
         if (v.empty()) return bad("--state", v);
         o.state_file = v;
         o.page.state_kept = true;
         return std::string();
       }},
      limit("--max-streams", &http_limits::streams),
      limit("--max-streams-per-address", &http_limits::streams_per_address),
      limit("--max-connections-per-address", &http_limits::connections_per_address),
      limit("--request-deadline", &http_limits::deadline_seconds),
      {"--silence-warning", true, ~0u,
       [&o, bad](const std::string& v) {
         return bounded(bad("--silence-warning", v), v, most_silence_seconds,
                        o.page.silence_warn_seconds);
       }},
  };
}

}  // namespace

parsed_options parse_options(int argc, const char* const* argv) {
  parsed_options r;
  // Asking for help wins over everything else on the line.
  for (int i = 1; i < argc; ++i)
    if (std::string(argv[i]) == "--help" || std::string(argv[i]) == "-h") {
      r.opts.help = true;
      return r;
    }
  r.error = cli::parse(argc, argv, 1, option_table(r.opts));
  return r;
}

}  // namespace mirx::dashboard
