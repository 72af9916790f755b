#pragma once

// A peer of the DExtra door: a client (a hotspot, a gateway, another
// reflector) that linked to us, or a reflector we link to.

#include <cstdint>
#include <string_view>

#include "dextra/dsvt.h"
#include "dextra/wire.h"

namespace mirx::dextra {

enum class peer_kind : std::uint8_t { client, link };

struct peer {
  peer_kind kind = peer_kind::client;
  endpoint at;
  // A client: its call sign as it linked. A link: the reflector's.
  std::uint8_t call[call_size] = {};
  // A client: its own module letter. A link: ours (the module asked for).
  char own_module = ' ';
  // The module linked to: a client's choice, or the one a link asks for.
  char module = 'A';
  // The repeater fields of the headers sent to this peer.
  std::uint8_t rpt1[call_size] = {};
  std::uint8_t rpt2[call_size] = {};
  bool up = true;  // a client always; a link once answered
  std::int64_t last_heard_ms = 0;

  std::string_view call_text() const { return {reinterpret_cast<const char*>(call), call_size}; }
  // The call sign as the access rules take it: trailing spaces left out.
  std::string_view call_sign() const {
    const std::string_view c = call_text();
    return c.substr(0, c.find_last_not_of(' ') + 1);
  }
};

// What happened to a peer, for the lines and records that report it.
enum class peer_change : std::uint8_t {
  linked = 1,         // a client linked (ACK sent)
  unlinked = 2,       // a client unlinked
  dropped = 3,        // a client silent for the limit, dropped
  refused = 4,        // a link request refused by the access rules (NAK sent)
  full = 5,           // a link request refused: the door is full (NAK sent)
  link_trying = 6,    // a link asks to be linked
  link_up = 7,        // a link was accepted
  link_refused = 8,   // a link was refused; it asks again after a pause
  link_lost = 9,      // a link's reflector fell silent or dropped it
  link_unknown = 10,  // a link's host has no address; tried again after a pause
};

}  // namespace mirx::dextra
