#pragma once

// The operator's controls over who is served: an access list of call signs
// and addresses, a table limit, and whether strangers' streams are relayed.
// All of them are off unless configured; then no datagram is even looked at
// here, and the server behaves as it always did.

#include <cstddef>
#include <cstdint>

#include "node/access_rules.h"
#include "node/conference.h"
#include "node/report_limit.h"

namespace mirx {

struct node_gate {
  bool screening = false;    // some control is on: every datagram passes screen_datagram
  bool access_list = false;  // an access file is configured
  bool closed = false;       // ... but has never been read: nobody is admitted
  access_rules rules;        // the rules in force
  bool relay_unregistered = true;
  std::size_t max_nodes = 0;  // 0: no limit
  report_limit limit;         // refusals and drops, reported and counted
};

// Decides before anything else happens to a datagram whether it is handled.
// Dropped: every datagram from an address a deny rule names, a registration
// the rules or the table limit refuse (it gets no reply), and, with the relay
// closed, a header or voice packet from an address no entry has. A dropped
// datagram is reported (within the limit) and must not be dispatched.
bool screen_datagram(node_gate& g, conference& c, const std::uint8_t* data, long length,
                     std::uint32_t sender_ip);

// Whether the access list in force admits a node.
bool rules_admit(const node_gate& g, const callsign& call1, std::uint32_t ip);

// Removes every entry that the rules in force refuse, as if each node had
// disconnected; returns how many went.
std::size_t remove_refused(const node_gate& g, conference& c);

// Once a second: one line for the refusals and drops not reported in full.
void report_held(node_gate& g, output& out);

}  // namespace mirx
