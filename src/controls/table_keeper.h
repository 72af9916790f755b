#pragma once

// The node table kept in the state file across runs: restored at start-up,
// saved whenever it changed (at most once a second) and at the stop. A file
// that cannot be used is set aside for the operator, never deleted, and
// never overwritten by a table that is not the whole of it.

#include <cstdint>
#include <string>

#include "controls/gate.h"
#include "node/conference.h"

namespace mirx {

struct table_keeper {
  std::string path;
  std::uint64_t saved_generation = 0;  // the table generation the file holds
  std::uint64_t tried_generation = 0;  // the last generation a save was tried for
  bool save_failing = false;           // said once; said again only after a success
  bool saving_off = false;             // the file must be kept as it is for this run
};

// Puts back the entries of the file into the empty table of `c`, in their
// order, each one the gate admits. Time linear in the entries. `stopping` is
// asked as the restore goes on: once it says so the restore ends where it
// is, and nothing is saved in this run, as the table is only part of the
// file.
void restore_table(table_keeper& k, const node_gate& g, conference& c, bool (*stopping)());

// Saves the table when it changed since the last save. A failure is said once
// and tried again at the next change (or at the stop); the server runs on.
void save_table(table_keeper& k, conference& c, bool at_stop);

}  // namespace mirx
