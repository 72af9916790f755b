#pragma once

// The --state file: the table, the last-heard list, the hourly counts and
// the counters, kept across restarts of the dashboard. Call signs are kept
// as hex so every byte comes back exactly.

#include <string>

#include "dashboard/state.h"

namespace mirx::dashboard {

// Writes `s` to `path` so that the file is at every moment either the old
// or the new complete state: a temporary file beside it, flushed to disk,
// then renamed over it. Returns an empty text, or why it failed.
std::string save_state(const state& s, const std::string& path);

// Reads a file written by save_state into `s`. A missing file is no error
// (`s` stays as it is); a damaged one, or one that is not a regular file of
// sane size, is refused with the reason, leaving `s` unchanged. A FIFO or a
// device is never waited for.
std::string load_state(state& s, const std::string& path);

}  // namespace mirx::dashboard
