#pragma once

// Registration and removal of nodes. Every accepted request is answered
// first; then the node is added, moved to its new address, or left alone when
// it is already known at that address.

#include <cstdint>

#include "node/conference.h"

namespace mirx {

// Answers a 40-byte request with its first 16 bytes, "SA" in place of the
// request identifier, to the sender at OutPort. The send is not examined.
void send_registration_reply(conference& c, const std::uint8_t* request, std::uint32_t sender_ip);

// Adds the requesting node, or moves its entry to `sender_ip`.
void register_node(conference& c, std::uint32_t sender_ip, const std::uint8_t* request);

// Adds a node the table does not hold yet.
void add_node(conference& c, std::uint32_t sender_ip, const std::uint8_t* request);

// Removes the first entry at `sender_ip`, if any.
void remove_node(conference& c, std::uint32_t sender_ip);

// Removes an entry of the table with the very lines and record of a
// disconnect from its address.
void remove_entry(conference& c, const node_entry* gone);

// Puts back an entry saved by an earlier run: appended, written to the log
// file as restored and announced to the log server as an addition. Its call1
// must not be in the table (the caller knows, so that a restore of many
// entries needs no search); false when memory ran out.
bool restore_node(conference& c, const node_entry& entry);

}  // namespace mirx
