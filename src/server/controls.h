#pragma once

// The operator controls as the process runs them: set up from the settings
// at start-up, screened per datagram, and the housekeeping of the receive
// loop. The controls themselves live in controls/; here are only when they
// run and what they are given. None of it does anything unless configured,
// the log reopen aside.

#include <cstdint>

#include "controls/access_watch.h"
#include "controls/gate.h"
#include "controls/idle_expiry.h"
#include "controls/table_keeper.h"

namespace mirx {

struct server;

struct controls {
  node_gate gate;
  access_watch access;
  table_keeper keeper;
  idle_expiry idle;
  bool timed = false;            // there is work to look at once a second
  std::int64_t last_second = 0;  // when that work was last done (steady ms)
};

// After the sockets are bound and the log server resolved, before the first
// datagram: sets the gate from the settings, reads the access file (an
// unreadable one admits nobody until it can be read) and restores the table.
// A stop that arrives meanwhile cuts the restore short.
void start_controls(server& s);

// Whether a received datagram is handled; io_lock held. Counts it as heard
// from its sender for the idle expiry.
bool controls_admit(server& s, const std::uint8_t* data, long length, std::uint32_t sender_ip);

// At the start of every turn of the receive loop, io_lock held: reopens the
// log file when asked to, and once a second reloads a changed access file,
// saves a changed table, ends idle entries and sums up the refusals held
// back.
void controls_housekeeping(server& s);

// The stop sequence's last save of a changed table; io_lock held.
void save_state_at_stop(server& s);

}  // namespace mirx
