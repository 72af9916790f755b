#include "dashboard/options.h"

#include <arpa/inet.h>

#include <charconv>

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

std::optional<int> whole_number(const std::string& text, int low, int high) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value < low || value > high)
    return std::nullopt;
  return value;
}

// The HTTP limit an option sets, or null.
int* http_limit(http_limits& l, const std::string& name) {
  if (name == "--max-streams") return &l.streams;
  if (name == "--max-streams-per-address") return &l.streams_per_address;
  if (name == "--max-connections-per-address") return &l.connections_per_address;
  if (name == "--request-deadline") return &l.deadline_seconds;
  return nullptr;
}

// Stores one option's value; returns why it was refused, or nothing.
std::string set_option(options& o, const std::string& name, const std::string& value) {
  const std::string bad = name + ": bad value \"" + value + "\"";
  if (name == "--listen" || name == "--http") {
    const auto e = parse_endpoint(value);
    if (!e) return name + " wants ADDR:PORT with an IPv4 address, not \"" + value + "\"";
    (name == "--listen" ? o.listen : o.http) = *e;
  } else if (name == "--from") {
    in_addr a{};
    if (inet_pton(AF_INET, value.c_str(), &a) != 1) return bad;
    o.policy.from.push_back(a.s_addr);
  } else if (name == "--forward") {
    o.forward = parse_endpoint(value, true);
    if (!o.forward || o.forward->port == 0) return bad;
  } else if (name == "--title") {
    o.page.title = value;
  } else if (name == "--show-address") {
    if (value == "full")
      o.page.addresses = address_mode::full;
    else if (value == "network")
      o.page.addresses = address_mode::network;
    else if (value == "none")
      o.page.addresses = address_mode::none;
    else
      return bad;
  } else if (name == "--state") {
    if (value.empty()) return bad;
    o.state_file = value;
    o.page.state_kept = true;
  } else if (int* limit = http_limit(o.limits, name)) {
    const auto n = whole_number(value, 1, 1000);
    if (!n) return bad;
    *limit = *n;
  } else if (name == "--silence-warning") {
    const auto n = whole_number(value, 1, 365 * 24 * 3600);
    if (!n) return bad;
    o.page.silence_warn_seconds = *n;
  } else {
    return "unknown option \"" + name + "\"";
  }
  return "";
}

}  // namespace

parsed_options parse_options(int argc, const char* const* argv) {
  parsed_options r;
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i], value;
    if (name == "--help" || name == "-h") {
      r.opts.help = true;
      return r;
    }
    if (const std::size_t eq = name.find('=');
        name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      r.error = name + " needs a value";
      return r;
    }
    if (std::string why = set_option(r.opts, name, value); !why.empty()) {
      r.error = why;
      return r;
    }
  }
  return r;
}

}  // namespace mirx::dashboard
