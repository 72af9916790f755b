#pragma once

// The operator controls as the process runs them: the access file read at
// start-up and again whenever it changes, the node table saved to and
// restored from the state file, and the log file reopened on request. None
// of it does anything unless configured, the reopen request aside.

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

#include "node/gate.h"

namespace mirx {

struct server;

struct controls {
  node_gate gate;
  bool timed = false;                         // there is work to look at once a second
  std::time_t last_second = 0;                // when that work was last looked at
  std::string access_text;                    // the access file as last read, good or bad
  std::optional<std::string> access_pending;  // a changed text seen once, waiting to be seen again
  bool access_read = false;                   // access_text holds what the file held then
  bool access_unreadable_said = false;
  std::uint64_t saved_generation = 0;  // the table generation the state file holds
  std::uint64_t tried_generation = 0;  // the last generation a save was tried for
  bool save_failing = false;           // said once; said again only after a success
  bool saving_off = false;             // an unusable state file could not be moved aside: keep it
};

// After the sockets are bound and the log server resolved, before the first
// datagram: sets the gate from the settings, reads the access file (an
// unreadable one admits nobody until it can be read) and restores the table.
void start_controls(server& s);

// At the start of every turn of the receive loop, io_lock not held: reopens
// the log file when asked to, and at most once a second reloads a changed
// access file, saves a changed table and sums up the refusals held back.
void tick_controls(server& s);

// The stop sequence's last save of a changed table; io_lock held.
void save_state_at_stop(server& s);

}  // namespace mirx
