#pragma once

// The DExtra door as the process runs it: its socket, the thread that reads
// it, and what it reports. Nothing of it exists unless DExtraPort or a
// DExtraLink is set.

namespace mirx {

struct server;

// After the controls have started (the access rules are read): opens the
// door's socket, adds the door to the conference and starts its thread.
// Ends the run when the door's port cannot be bound.
void start_dextra(server& s);

}  // namespace mirx
