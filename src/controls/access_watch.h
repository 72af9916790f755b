#pragma once

// The access file as the running server watches it: read at start-up, then
// looked at once a second. Whatever the file turns out to be (missing,
// empty, cut short, not a regular file, endless, a bad line), the rules in
// force change only to the rules of a good file, and before the first good
// one nobody is admitted.

#include <optional>
#include <string>

#include "controls/gate.h"
#include "node/conference.h"

namespace mirx {

struct access_watch {
  std::string path;
  std::string text;                    // the file as last read, good or bad
  std::optional<std::string> pending;  // a changed text seen once, waiting to be seen again
  bool read = false;                   // `text` holds what the file held then
  bool unreadable_said = false;        // said once until the file can be read again
};

// At start-up: puts the file's rules in force and opens the gate, or says
// why not and leaves it closed.
void read_access_at_start(access_watch& w, node_gate& g, conference& c);

// Once a second: a changed file is put in force only when two looks in a
// row found the same text, so that a file caught while an editor writes it
// (cut short, yet perhaps good) is never used. Entries the new rules refuse
// are removed as if their nodes had disconnected.
void look_at_access(access_watch& w, node_gate& g, conference& c);

}  // namespace mirx
