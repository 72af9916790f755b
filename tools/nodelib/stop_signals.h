#pragma once

// The stop requests of the tools' long runs: the console's interrupt, a
// termination request and, on Windows, Ctrl-Break.

namespace mirx::nodes {

// Calls `handler` for each stop request. On Linux the handler runs without
// SA_RESTART, so the request also cuts the current wait short and a loop
// notices it at once. On Windows the runtime calls it on a thread of its own
// and a wait in progress runs on, so callers wait in short steps.
void catch_stop_signals(void (*handler)(int));

}  // namespace mirx::nodes
