#include "controls/gate.h"

#include <cstdio>
#include <cstring>
#include <string_view>

#include "node/datagrams.h"
#include "node/registration.h"
#include "platform/ipv4.h"

namespace mirx {
namespace {

std::string_view text_of(const shown_callsign& s) {
  return {s.text, std::strlen(s.text)};
}

// What was dropped, with the call sign it carries where it has one.
void describe(char* what, std::size_t size, const std::uint8_t* data, long length) {
  switch (kind_of(length)) {
    case datagram_kind::header:
      std::snprintf(what, size, "header of %s", printable(callsign_of(data + hdr::my_call)).text);
      break;
    case datagram_kind::voice:
      std::snprintf(what, size, "voice packet");
      break;
    case datagram_kind::registration:
      std::snprintf(what, size, "registration of %s",
                    printable(callsign_of(data + reg::call1)).text);
      break;
    case datagram_kind::disconnect:
      std::snprintf(what, size, "disconnect");
      break;
    case datagram_kind::other:
      std::snprintf(what, size, "datagram of %ld bytes", length);
      break;
  }
}

bool drop(node_gate& g, output& out, const std::uint8_t* data, long length, std::uint32_t ip,
          const char* why) {
  if (!g.limit.admit(std::time(nullptr))) return false;
  char what[48];
  describe(what, sizeof what, data, length);
  out.stamped(shown::always, "Dropped %s from %s: %s\n", what, dotted(ip).text, why);
  return false;
}

bool refuse(node_gate& g, output& out, const std::uint8_t* request, std::uint32_t ip,
            const char* why) {
  if (!g.limit.admit(std::time(nullptr))) return false;
  out.stamped(shown::always, "Registration refused %.8s %.8s %s: %s\n",
              printable(callsign_of(request + reg::call1)).text,
              printable(callsign_of(request + reg::call2)).text, dotted(ip).text, why);
  return false;
}

bool admit_registration(node_gate& g, conference& c, const std::uint8_t* request,
                        std::uint32_t ip) {
  const char* why = refusal(g, c.table, callsign_of(request + reg::call1), ip);
  return why == nullptr || refuse(g, c.out, request, ip, why);
}

// Whether the access list in force admits a node.
bool rules_admit(const node_gate& g, const callsign& call1, std::uint32_t ip) {
  if (!g.access_list) return true;
  return !g.closed && g.rules.admits(text_of(printable(call1)), ip);
}

}  // namespace

bool screen_datagram(node_gate& g, conference& c, const std::uint8_t* data, long length,
                     std::uint32_t sender_ip) {
  if (length < 0) return true;  // a failed receive: nothing to screen, the dispatch drops it
  if (g.access_list && g.rules.denies_address(sender_ip))
    return drop(g, c.out, data, length, sender_ip, "address denied by the access list");
  switch (kind_of(length)) {
    case datagram_kind::registration:
      return !reg::accepted(data) || admit_registration(g, c, data, sender_ip);
    case datagram_kind::header:
    case datagram_kind::voice:
      if (g.relay_unregistered || c.table.has_address(sender_ip)) return true;
      return drop(g, c.out, data, length, sender_ip, "sender not registered");
    default:
      return true;
  }
}

const char* refusal(const node_gate& g, const node_table& t, const callsign& call1,
                    std::uint32_t ip) {
  if (g.access_list && g.closed) return "access file not read, nobody admitted";
  if (!rules_admit(g, call1, ip)) return "not admitted by the access list";
  // The size first: the search is needed only at the limit.
  if (g.max_nodes != 0 && t.size() >= g.max_nodes && t.find(call1) == nullptr)
    return "table full (MaxNodes)";
  return nullptr;
}

std::size_t remove_refused(const node_gate& g, conference& c) {
  std::size_t removed = 0;
  for (std::size_t i = 0; i < c.table.size();) {
    const node_entry& e = c.table.entries()[i];
    if (rules_admit(g, e.call1, e.ip)) {
      ++i;
    } else {
      remove_entry(c, &e);
      ++removed;
    }
  }
  return removed;
}

void report_held(node_gate& g, output& out) {
  const std::uint64_t held = g.limit.take_held();
  if (held != 0)
    out.stamped(shown::always, "Not shown: %llu more refused or dropped, %llu since start\n",
                static_cast<unsigned long long>(held),
                static_cast<unsigned long long>(g.limit.total()));
}

}  // namespace mirx
