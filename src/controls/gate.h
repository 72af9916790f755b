#pragma once

// The operator's controls over who is served: an access list of call signs
// and addresses, a table limit, and whether strangers' streams are relayed.
// All of them are off unless configured; then no datagram is even looked at
// here, and the server behaves as it always did.

#include <cstddef>
#include <cstdint>

#include "controls/access_rules.h"
#include "controls/report_limit.h"
#include "node/conference.h"

namespace mirx {

struct node_gate {
  bool screening = false;    // some control is on: every datagram passes screen_datagram
  bool access_list = false;  // an access file is configured
  bool closed = false;       // ... but has never been read: nobody is admitted
  access_rules rules;        // the rules in force
  bool relay_unregistered = true;
  std::size_t max_nodes = 0;        // 0: no limit
  report_limit limit;               // refusals and drops, reported and counted
  std::uint32_t rules_version = 0;  // one more each time new rules are put in force
};

// Decides before anything else happens to a datagram whether it is handled.
// Dropped: every datagram from an address a deny rule names, a registration
// the rules or the table limit refuse (it gets no reply), and, with the relay
// closed, a header or voice packet from an address no entry has. A dropped
// datagram is reported (within the limit) and must not be dispatched.
bool screen_datagram(node_gate& g, conference& c, const std::uint8_t* data, long length,
                     std::uint32_t sender_ip);

// The one admission rule, for a registration and a restored entry alike:
// the access list in force, then the table limit, which a call sign the
// table holds already passes (a node may always move or repeat itself).
// Why `call1` at `ip` is refused, or null when it is admitted.
const char* refusal(const node_gate& g, const node_table& t, const callsign& call1,
                    std::uint32_t ip);
inline bool admits(const node_gate& g, const node_table& t, const node_entry& e) {
  return refusal(g, t, e.call1, e.ip) == nullptr;
}

// Removes every entry that the rules in force refuse, as if each node had
// disconnected; returns how many went.
std::size_t remove_refused(const node_gate& g, conference& c);

// Once a second: one line for the refusals and drops not reported in full.
void report_held(node_gate& g, output& out);

}  // namespace mirx
